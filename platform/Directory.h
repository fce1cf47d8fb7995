// Directory enumeration: the entries of one directory with the facts a
// listing needs, through a handle that closes itself.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zevra::platform {

struct DirectoryEntry {
  // Without directory; never "." or "..". Internal text, fit to join to a
  // path for the file functions: on Windows converted from the wide name,
  // on POSIX the file system's bytes (UTF-8 in any usual locale).
  std::string name;
  bool isDirectory = false;  // the folder bit; links are followed on POSIX
  bool isRegular = false;    // a file that can be read as bytes (not a device, FIFO or folder)
  uint32_t attributes = 0;   // the attribute word (kAttribute… in platform/File.h)
  int64_t size = 0;
  int64_t lastWriteTime = 0;  // seconds since 1970, UTC; 0 when unknown
};

class DirectoryReader {
 public:
  DirectoryReader() = default;
  DirectoryReader(DirectoryReader&& other) noexcept;
  DirectoryReader& operator=(DirectoryReader&& other) noexcept;
  DirectoryReader(const DirectoryReader&) = delete;
  DirectoryReader& operator=(const DirectoryReader&) = delete;
  ~DirectoryReader();

  // Not open when the directory cannot be read (error in LastErrorCode).
  static DirectoryReader Open(const std::string& path);
  bool IsOpen() const { return handle_ != nullptr; }

  // The next entry in the file system's own order; false at the end. An
  // entry whose facts cannot be read comes with them all false and 0.
  bool Next(DirectoryEntry& entry);

 private:
  struct Handle;
  struct HandleCloser {
    void operator()(Handle* handle) const;
  };
  std::unique_ptr<Handle, HandleCloser> handle_;
};

}  // namespace zevra::platform
