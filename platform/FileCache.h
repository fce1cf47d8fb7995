// A cache of open files and their facts, kept fresh by the file system's
// change notifications.
//
// The rule it keeps: a look-up that starts after a change to a path has
// completed never returns what the path held before. The notifications of
// every completed change are queued by the OS before the changing call
// returns, and every look-up first takes in all queued notifications (under
// the cache's lock, so a thread that finds the queue empty cannot overtake
// one that is still applying what it read). An entry is kept only when every
// change that could alter it is notified: the path holds no link, and every
// folder from the root down is watched, so a renamed folder, a file written
// in place, replaced, truncated, deleted or given other permissions all
// drop it. Where the OS gives no notifications, or its queue overflowed,
// the cache keeps nothing (or drops all it kept) and every look-up reads the
// facts afresh.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "platform/File.h"

namespace zevra::platform {

// One look at a path: what File::OpenWithFacts found, kept whole. Never
// changes once made; a newer version of the path is a new entry.
struct FileCacheEntry {
  std::string path;
  FileFacts facts;
  int openError = 0;  // of the open when file is not open
  File file;          // the path opened for reading, when it could be
  bool hasBytes = false;
  std::string bytes;  // the whole content of a small regular file

  // What callers derive from this version (an answer head, the compressed
  // copy): worked out once and dropped with the version. Slots are the
  // callers' to number; a value once set stays.
  static constexpr size_t kDerivedSlots = 4;
  mutable std::atomic<std::shared_ptr<const void>> derived[kDerivedSlots];
};
using FileCacheRef = std::shared_ptr<const FileCacheEntry>;

struct FileCacheLimits {
  // Entries kept: each holds a descriptor.
  size_t entries = 4096;
  // Bytes of small files kept in memory, all entries together.
  int64_t bytes = int64_t{64} << 20;
  // Files up to this size keep their content.
  int64_t smallFile = int64_t{32} << 10;
  // Watches held at once; beyond it the cache starts over empty.
  size_t watches = 16384;
};

class FileCache {
 public:
  explicit FileCache(FileCacheLimits limits = FileCacheLimits{});
  ~FileCache();
  FileCache(const FileCache&) = delete;
  FileCache& operator=(const FileCache&) = delete;

  // Whether notifications work here; without them nothing is kept.
  bool Active() const;
  // The path as it is now: the kept entry when nothing changed since it was
  // made, else a fresh look (kept when that can be done exactly). Never null.
  FileCacheRef Open(const std::string& path);

  size_t Count() const;
  int64_t Bytes() const;
  // Times the notification queue overflowed (and everything was dropped).
  uint64_t Overflows() const;
  void Clear();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The process-wide cache of the server's answers.
FileCache& SharedFileCache();

// A fresh look at a path, kept by nobody: File::OpenWithFacts and, for a
// small regular file, its whole content.
FileCacheRef LookAtFile(const std::string& path, int64_t smallFile);

}  // namespace zevra::platform
