// Static file delivery: validators and 304, byte ranges, compressed copies
// in WebCache/, and the paced body loop over mapped views.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/File.h"
#include "platform/FileCache.h"
#include "server/core/ConnectionContext.h"
#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// h = h * 31 + byte + 1 over the bytes from the last to the first, with
// unsigned bytes and 32-bit wrap-around. "abc" gives 99267.
uint32_t TextHash(std::string_view bytes);
// The hash as a signed decimal with "m" for the minus sign: "m12", "345".
std::string HashText(std::string_view bytes);

// The ETag of a file version: "\"" + HashText(path) + ":" +
// HashText(lastModified) + "\"".
std::string EntityTagOf(std::string_view localPath, std::string_view lastModified);
// programDirectory/WebCache/cache_<HashText(path)>_<HashText(lastModified)>.
std::string GzipCachePath(std::string_view programDirectory, std::string_view localPath,
                          std::string_view lastModified);

// Files up to this size get a compressed copy; larger ones go out as they are.
inline constexpr int64_t kGzipCacheLimit = 10481024;

// What a Range header asks of a file of a given size.
struct ByteRange {
  enum Kind {
    kWhole,          // no usable Range: the whole file, 200
    kPartial,        // first..last (inclusive, within the file), 206
    kUnsatisfiable,  // 416 with Content-Range "bytes */size"
  };
  Kind kind = kWhole;
  int64_t first = 0;
  int64_t last = 0;
};

// The Range header value against a file of size bytes (RFC 9110 14.1):
//   bytes=A-   A to the end          bytes=A-B  A to min(B, size - 1)
//   bytes=-N   the last N bytes      a first byte of 0 (bytes=0-, bytes=0-99)
//                                    is answered whole, as 200
// A first byte at or beyond the end, a suffix of 0 and any range on an empty
// file are unsatisfiable. A value that does not parse (another unit, B < A,
// no digits, a number that overflows) is ignored: kWhole. For a list of
// ranges every element must parse; the answer runs from the first element's
// first byte to the end of the file, one range covering what was asked.
ByteRange ParseRange(std::string_view value, int64_t size);

// The most bytes the compressed copies in WebCache may take together. A
// copy that would go beyond makes room by removing others first; one copy
// is at most about 10 MB, so the folder never holds much more than this.
inline constexpr int64_t kGzipCacheFolderLimit = int64_t{256} * 1048576;

// Local path to the Last-Modified text its compressed copy was made for,
// with the copy's size. 2048 slots, probing from abs(TextHash(path)) mod
// 2048. Callers hold Lock() around every look-up, change and the making of
// a copy. A full table refuses new paths; it never waits.
class GzipCacheTable {
 public:
  static constexpr size_t kSlots = 2048;

  // A recorded copy that was dropped from the table: its file is the
  // caller's to remove.
  struct Dropped {
    std::string localPath;
    std::string lastModified;
  };

  std::mutex& Lock() { return lock_; }
  // The Last-Modified text recorded for the path, or null.
  const std::string* Find(std::string_view localPath) const;
  // Records (or replaces) the version of a path and the size of its copy;
  // false when the table is full and the path is not in it yet.
  // madeAt: when the reading of the source for the copy began (seconds
  // since 1970).
  bool Set(std::string_view localPath, std::string_view lastModified, int64_t copySize = 0, int64_t madeAt = 0);
  // The madeAt of the path's copy; 0 when the path is not in the table.
  int64_t MadeAt(std::string_view localPath) const;
  void Remove(std::string_view localPath);
  // Drops recorded copies, other than keep's, until bytes more fit within
  // limit; returns what was dropped, oldest-recorded first.
  std::vector<Dropped> MakeRoom(int64_t bytes, int64_t limit, std::string_view keep);
  // Whether Set would take a path that is not in the table yet.
  bool HasRoom() const { return count_ + 1 < kSlots; }
  size_t Count() const { return count_; }
  int64_t TotalBytes() const { return totalBytes_; }
  void Clear();

 private:
  enum class SlotState : uint8_t { kEmpty, kUsed, kRemoved };
  struct Slot {
    SlotState state = SlotState::kEmpty;
    std::string key;
    std::string value;
    int64_t size = 0;
    int64_t madeAt = 0;
    uint64_t order = 0;  // when it was recorded: lower is older
  };
  size_t FindSlot(std::string_view localPath) const;  // kSlots when absent
  void Drop(Slot& slot);

  std::mutex lock_;
  Slot slots_[kSlots];
  size_t count_ = 0;
  int64_t totalBytes_ = 0;
  uint64_t nextOrder_ = 0;
};

// The process-wide table of compressed copies.
GzipCacheTable& GzipCache();

// Removes every compressed copy (and unfinished copy) in WebCache. The
// table starts empty in each worker, so copies of earlier runs would
// otherwise stay on disk for good; the worker calls this once at start,
// before it serves anything.
void ClearGzipCacheFolder(std::string_view programDirectory);

// Sends the file at request.LocalPath (GET or HEAD) and ends the request:
// keeps or closes the connection by response.Connection and calls
// ResetRequestState on every path. entry is the path as the dispatcher
// found it (the file cache's entry for request.LocalPath), so the path is
// not looked up again; when it is null the path is looked at here. A file
// that is not regular is answered as one that cannot be opened. What is
// worked out once per version of the file (validators, the compressed copy
// and the head of a whole answer) is kept with the entry.
void SendStaticFile(HttpRequest& request, ResponseHead& response, ConnId conn, ConnectionContext* context,
                    platform::FileCacheRef entry);

// The 304 answer for an open file; does not end the request.
void SendNotModified(const HttpRequest& request, ResponseHead& response, ConnId conn,
                     std::string_view localPath, const platform::File& file);

}  // namespace zevra
