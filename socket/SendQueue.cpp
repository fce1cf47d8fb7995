#include "socket/SendQueue.h"

#include <algorithm>
#include <utility>

namespace zevra::socket {

void SendQueue::Append(const uint8_t* data, size_t length) {
  if (length == 0) return;
  if (!later_.empty()) {
    // Behind a file region: these bytes wait for it.
    if (later_.back().region.file.IsOpen()) later_.emplace_back();
    later_.back().bytes.insert(later_.back().bytes.end(), data, data + length);
    laterBytes_ += length;
    laterMemory_ += length;
    return;
  }
  // Reclaim the written prefix before the buffer would grow, so a queue that
  // is drained as fast as it is filled stays the same size.
  if (head_ > 0 && bytes_.size() + length > bytes_.capacity()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), data, data + length);
}

void SendQueue::Consume(size_t length) {
  head_ += std::min(length, bytes_.size() - head_);
  if (head_ >= bytes_.size()) {
    head_ = 0;
    if (bytes_.capacity() > kKeptCapacity) {
      std::vector<uint8_t>().swap(bytes_);
    } else {
      bytes_.clear();
    }
    Advance();
  }
}

void SendQueue::AppendFile(platform::File file, int64_t offset, int64_t length) {
  if (length <= 0 || !file.IsOpen()) return;
  Later piece;
  piece.region.file = std::move(file);
  piece.region.offset = offset;
  piece.region.length = length;
  later_.push_back(std::move(piece));
  laterBytes_ += static_cast<size_t>(length);
  ++files_;
}

SendQueue::FileRegion* SendQueue::FrontFile() {
  if (head_ < bytes_.size() || later_.empty()) return nullptr;
  return later_.front().region.file.IsOpen() ? &later_.front().region : nullptr;
}

void SendQueue::ConsumeFile(size_t length) {
  FileRegion* region = FrontFile();
  if (region == nullptr) return;
  const size_t taken = std::min<size_t>(length, static_cast<size_t>(region->length));
  region->offset += static_cast<int64_t>(taken);
  region->length -= static_cast<int64_t>(taken);
  laterBytes_ -= taken;
  if (region->length == 0) {
    later_.erase(later_.begin());
    --files_;
    Advance();
  }
}

void SendQueue::Advance() {
  // The front buffer is empty here; bytes queued behind a finished region
  // become the front.
  if (head_ < bytes_.size() || later_.empty() || later_.front().region.file.IsOpen()) return;
  bytes_.swap(later_.front().bytes);
  head_ = 0;
  laterBytes_ -= bytes_.size();
  laterMemory_ -= bytes_.size();
  later_.erase(later_.begin());
  if (later_.empty()) std::vector<Later>().swap(later_);
}

void SendQueue::Clear() {
  head_ = 0;
  if (bytes_.capacity() > kKeptCapacity) {
    std::vector<uint8_t>().swap(bytes_);
  } else {
    bytes_.clear();
  }
  std::vector<Later>().swap(later_);
  laterBytes_ = 0;
  laterMemory_ = 0;
  files_ = 0;
}

void SendQueue::Release() {
  Clear();
  std::vector<uint8_t>().swap(bytes_);
}

}  // namespace zevra::socket
