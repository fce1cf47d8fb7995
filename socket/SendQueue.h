// A connection's send queue: what Send and SendFile accepted and the kernel
// has not taken yet, in order. Plain code with no I/O of its own, so that it
// is tested and fuzzed apart from the sockets.
//
// The front is one byte buffer with a read offset, kept between answers (no
// allocation per request) unless it grew large, so an idle connection holds
// little. What was queued behind a file region waits in `later_`, which is
// empty (and holds no memory) unless a file region is queued: a file region
// is a handle of the queue's own and a range, never bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/File.h"

namespace zevra::socket {

class SendQueue {
 public:
  struct FileRegion {
    platform::File file;
    int64_t offset = 0;
    int64_t length = 0;
  };

  // Every byte not yet written, file regions included.
  size_t Pending() const { return bytes_.size() - head_ + laterBytes_; }
  // Bytes held in memory: what the queue bound counts.
  size_t MemoryPending() const { return bytes_.size() - head_ + laterMemory_; }
  // File regions queued, each holding an open file.
  size_t FileCount() const { return files_; }
  // The front bytes to write (none while a file region is at the front).
  const uint8_t* Data() const { return bytes_.data() + head_; }
  size_t FrontLength() const { return bytes_.size() - head_; }
  void Append(const uint8_t* data, size_t length);
  // Marks the first `length` front bytes written.
  void Consume(size_t length);
  // Queues length bytes of file from offset; `file` becomes the queue's.
  void AppendFile(platform::File file, int64_t offset, int64_t length);
  // The file region at the front once the front bytes are written, or null.
  FileRegion* FrontFile();
  // Marks `length` bytes of the front region written.
  void ConsumeFile(size_t length);
  // Forgets the queued bytes and regions; keeps a small buffer for the next
  // answer.
  void Clear();
  // Gives the memory back.
  void Release();

 private:
  static constexpr size_t kKeptCapacity = 64 * 1024;
  struct Later {
    std::vector<uint8_t> bytes;  // when region.file is not open
    FileRegion region;
  };
  // Moves queued bytes that follow a finished region to the front buffer.
  void Advance();

  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
  std::vector<Later> later_;
  size_t laterBytes_ = 0;
  size_t laterMemory_ = 0;
  size_t files_ = 0;
};

}  // namespace zevra::socket
