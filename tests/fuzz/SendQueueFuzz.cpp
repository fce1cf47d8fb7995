// Any sequence of queue operations against a plain model of the byte stream:
// what the queue hands out front to back is exactly what was queued, in
// order, and its counts (pending, in memory, open files) agree with the
// model after every step.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/File.h"
#include "platform/System.h"
#include "socket/SendQueue.h"

namespace {

using zevra::platform::File;
using zevra::socket::SendQueue;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

constexpr int64_t kFileSize = 4096;

// A file of known bytes that every region is cut from; removed at once, so
// only the open handle keeps it.
const File& Source() {
  static File file = [] {
    const std::string path = "/tmp/zevra-sendqueue-fuzz-" + std::to_string(zevra::platform::CurrentProcessId());
    File created = File::CreateAlways(path);
    std::string bytes(kFileSize, '\0');
    for (int64_t i = 0; i < kFileSize; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>('a' + i * 7 % 26);
    if (created) created.WriteAll(bytes.data(), bytes.size());
    zevra::platform::RemoveFile(path);
    return created;
  }();
  return file;
}

struct Piece {
  bool file;
  std::string bytes;  // the bytes still to come
};

struct Model {
  std::deque<Piece> pieces;
  size_t Pending() const {
    size_t total = 0;
    for (const Piece& piece : pieces) total += piece.bytes.size();
    return total;
  }
  size_t Memory() const {
    size_t total = 0;
    for (const Piece& piece : pieces) total += piece.file ? 0 : piece.bytes.size();
    return total;
  }
  size_t Files() const {
    size_t total = 0;
    for (const Piece& piece : pieces) total += piece.file ? 1 : 0;
    return total;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!Source()) return 0;
  SendQueue queue;
  Model model;
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  // Every step takes at least one byte, so the loop ends with the input.
  for (int step = 0; at < size && step < 256; ++step) {
    const uint8_t op = next() % 6;
    const size_t amount = static_cast<size_t>(next()) * 16 + next();
    if (op == 0) {
      std::string bytes(amount, '\0');
      for (size_t i = 0; i < amount; ++i) bytes[i] = static_cast<char>('A' + (step + i) % 26);
      queue.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      if (!bytes.empty()) {
        if (!model.pieces.empty() && !model.pieces.back().file) {
          model.pieces.back().bytes += bytes;
        } else {
          model.pieces.push_back({false, bytes});
        }
      }
    } else if (op == 1 && model.Files() < 32) {
      const int64_t offset = static_cast<int64_t>(amount) % kFileSize;
      const int64_t length = static_cast<int64_t>(next()) * 8 % (kFileSize - offset + 1);
      File own = zevra::platform::DuplicateFile(Source().Handle());
      Check(static_cast<bool>(own));
      queue.AppendFile(std::move(own), offset, length);
      if (length > 0) {
        std::string bytes(static_cast<size_t>(length), '\0');
        Check(Source().ReadAt(bytes.data(), bytes.size(), offset) == length);
        model.pieces.push_back({true, bytes});
      }
    } else if (op == 2 || op == 3) {
      // Writes up to `amount` bytes from the front, as a socket would.
      if (queue.FrontLength() > 0) {
        Check(!model.pieces.empty() && !model.pieces.front().file);
        std::string& expected = model.pieces.front().bytes;
        const size_t take = std::min(amount, queue.FrontLength());
        Check(take <= expected.size());
        Check(expected.compare(0, take, reinterpret_cast<const char*>(queue.Data()), take) == 0);
        queue.Consume(take);
        expected.erase(0, take);
        if (expected.empty()) model.pieces.pop_front();
      } else if (SendQueue::FileRegion* region = queue.FrontFile()) {
        Check(!model.pieces.empty() && model.pieces.front().file);
        std::string& expected = model.pieces.front().bytes;
        Check(static_cast<size_t>(region->length) == expected.size());
        const size_t take = std::min<size_t>(amount, static_cast<size_t>(region->length));
        std::string got(take, '\0');
        Check(region->file.ReadAt(got.data(), take, region->offset) == static_cast<int64_t>(take));
        Check(expected.compare(0, take, got) == 0);
        queue.ConsumeFile(take);
        expected.erase(0, take);
        if (expected.empty()) model.pieces.pop_front();
      } else {
        Check(model.pieces.empty());
      }
    } else if (op == 4 && amount % 7 == 0) {
      queue.Clear();
      model.pieces.clear();
    } else if (op == 5) {
      // A wrong-kind consume changes nothing.
      if (queue.FrontLength() > 0) {
        queue.ConsumeFile(amount);
      } else if (queue.FrontFile() == nullptr) {
        queue.Consume(amount);
      }
    }
    Check(queue.Pending() == model.Pending());
    Check(queue.MemoryPending() == model.Memory());
    Check(queue.FileCount() == model.Files());
    Check((queue.Pending() == 0) == model.pieces.empty());
  }
  return 0;
}
