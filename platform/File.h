// Files: an owning handle, whole-file helpers, file facts and mapped views.
// Every handle is released by its destructor, so no caller closes by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Native.h"  // NativeFile, kNoFile

namespace zevra::platform {

struct FileFacts;

class File {
 public:
  File() = default;
  explicit File(NativeFile handle) : handle_(handle) {}
  File(File&& other) noexcept : handle_(other.Release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { Close(); }

  // Existing file for reading.
  static File OpenRead(const std::string& path);
  // Existing regular file for reading. Anything else (a FIFO, a socket, a
  // device, a directory) is refused without blocking: not open, with the
  // access-denied error in LastErrorCode.
  static File OpenReadRegular(const std::string& path);
  // The same, with the facts of the opened file from the same query of the
  // OS (empty when it is not opened): size and time without asking again.
  static File OpenReadRegular(const std::string& path, FileFacts& facts);
  // Whatever the path names, for reading and without blocking (a folder
  // too), with its facts from one query of the open file: one look-up of
  // the path serves both "what is it" and the reading that follows. When it
  // cannot be opened the facts are those of the path itself (a file may be
  // there and not readable); a path that does not exist is not asked twice.
  // The error of the failed open stays in LastErrorCode.
  static File OpenWithFacts(const std::string& path, FileFacts& facts);
  // Created when missing, kept when present; every write lands at the end
  // of the file as one unit (O_APPEND, FILE_APPEND_DATA), also across
  // processes.
  static File OpenAppend(const std::string& path);
  // Created when missing, truncated when present; reading and writing.
  static File CreateAlways(const std::string& path);
  // Created only when no file of that name exists.
  static File CreateNew(const std::string& path);

  bool IsOpen() const { return handle_ != kNoFile; }
  explicit operator bool() const { return IsOpen(); }
  NativeFile Handle() const { return handle_; }
  NativeFile Release() {
    NativeFile h = handle_;
    handle_ = kNoFile;
    return h;
  }
  void Close();

  // Bytes read, 0 at the end of the file, -1 on failure (see LastErrorCode).
  int64_t Read(void* buffer, size_t length);
  // Reads at offset without asking where the file pointer stands. The
  // pointer may move (a positional read on Windows leaves it behind the
  // bytes read), so a handle is read either by offset or in sequence with
  // Read, never both.
  int64_t ReadAt(void* buffer, size_t length, int64_t offset) const;
  // Writes all bytes in one call where the OS allows it; false on failure.
  bool WriteAll(const void* data, size_t length);
  bool SeekToEnd();
  // -1 on failure.
  int64_t Size() const;
  // Last write time in seconds since 1970 (UTC); -1 on failure.
  int64_t LastWriteTime() const;

 private:
  NativeFile handle_ = kNoFile;
};

// The attribute bits of a file as Windows keeps them. POSIX derives them
// from the file's type and mode: a folder has kAttributeDirectory, a
// regular file kAttributeArchive, and either one without any write
// permission also kAttributeReadOnly; other file types have none.
inline constexpr uint32_t kAttributeReadOnly = 0x1;
inline constexpr uint32_t kAttributeHidden = 0x2;
inline constexpr uint32_t kAttributeSystem = 0x4;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;
inline constexpr uint32_t kAttributeReparsePoint = 0x400;
inline constexpr uint32_t kAttributeNotContentIndexed = 0x2000;

// Whether an attribute word is one of a folder the server enters: the
// folder bit alone or with read-only, hidden and archive, except folder +
// read-only + hidden without archive. Junctions and links (reparse points),
// system folders and anything else do not count; the not-content-indexed
// mark is only a hint to the search indexer and is looked through.
bool IsPlainDirectoryAttributes(uint32_t attributes);

struct FileFacts {
  bool exists = false;
  // POSIX: the path is (or links to) a folder. Windows: the attribute word
  // passes IsPlainDirectoryAttributes.
  bool isDirectory = false;
  bool isRegular = false;  // Windows: a disk file, neither a folder nor a device
  uint32_t attributes = 0;
  int64_t size = 0;
  int64_t lastWriteTime = 0;  // seconds since 1970, UTC
};

// Facts of an open file from one query of the OS; exists is false when the
// query failed (the error is left in LastErrorCode).
FileFacts FactsOf(const File& file);

// What SendFileToSocket did.
enum class SendFileStatus {
  kSent,        // `sent` bytes (at least one) went to the socket
  kWouldBlock,  // the socket takes nothing more now
  kEndOfFile,   // the file ends before offset: it shrank since it was measured
  kFailed,      // any other failure; the error is in LastErrorCode
};
// Copies up to count bytes of file, from offset on, to a non-blocking
// socket inside the kernel (sendfile on Linux), without moving the file's
// own position and without a buffer in the process. A peer that has gone
// never ends the process: SIGPIPE is blocked in the calling thread from
// its first call on.
SendFileStatus SendFileToSocket(intptr_t socket, NativeFile file, int64_t offset, size_t count, size_t& sent);
// The most one SendFileToSocket call moves (Windows reads through a buffer
// of this size, Linux's sendfile stops a little short of 2 GiB). A call
// asked for no more than this that moves less has met a full socket.
size_t SendFileLargestCall();
// Writes up to length bytes to a non-blocking socket, telling the kernel
// that more follows at once (MSG_MORE), so a short head and the file bytes
// sent right after it share segments instead of the head going out alone.
// Bytes written, or -1 (would block: LastErrorCode says so) on failure.
int64_t SendToSocketWithMoreToCome(intptr_t socket, const void* data, size_t length);
// Whether an error code of SendToSocketWithMoreToCome means "try later".
bool IsWouldBlock(int code);

// A second handle to an open file; not open on failure. Lets a send queue
// keep sending from a file after its caller has closed its own handle.
File DuplicateFile(NativeFile file);

// Facts of a path, following links. exists is false when the path cannot be
// queried (the error is left in LastErrorCode).
FileFacts QueryFile(const std::string& path);

// Reads a whole file; false (out untouched) when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& out);

// Moves a file over an existing target as one atomic step.
bool ReplaceFileWith(const std::string& from, const std::string& to);
// Removes the name; a file still open elsewhere (a compressed copy being
// sent) keeps its bytes for those descriptors until they close. POSIX
// unlink does that by itself; the Windows side opens files with delete
// sharing so that the removal is allowed while they are open.
bool RemoveFile(const std::string& path);

// A read-only view of part of a file. Unmapped by its destructor.
class MappedView {
 public:
  MappedView() = default;
  MappedView(MappedView&& other) noexcept;
  MappedView& operator=(MappedView&& other) noexcept;
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() { Unmap(); }

  // offset must be a multiple of AllocationGranularity(). An empty view of a
  // zero length succeeds without mapping anything.
  static MappedView Map(const File& file, int64_t offset, size_t length);

  bool IsMapped() const { return valid_; }
  const uint8_t* Data() const { return static_cast<const uint8_t*>(data_); }
  size_t Length() const { return length_; }
  void Unmap();

 private:
  void* data_ = nullptr;
  size_t length_ = 0;
  bool valid_ = false;
};

}  // namespace zevra::platform
