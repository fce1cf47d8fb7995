// The parts of the file layer that are the same on every OS.
#include "platform/File.h"

namespace zevra::platform {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.Release();
  }
  return *this;
}

MappedView::MappedView(MappedView&& other) noexcept
    : data_(other.data_), length_(other.length_), valid_(other.valid_) {
  other.data_ = nullptr;
  other.length_ = 0;
  other.valid_ = false;
}

MappedView& MappedView::operator=(MappedView&& other) noexcept {
  if (this != &other) {
    Unmap();
    data_ = other.data_;
    length_ = other.length_;
    valid_ = other.valid_;
    other.data_ = nullptr;
    other.length_ = 0;
    other.valid_ = false;
  }
  return *this;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  File file = File::OpenRead(path);
  if (!file) return false;
  std::string content;
  int64_t size = file.Size();
  if (size > 0) content.reserve(static_cast<size_t>(size));
  char buffer[65536];
  for (;;) {
    int64_t n = file.Read(buffer, sizeof buffer);
    if (n < 0) return false;
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  out = std::move(content);
  return true;
}

bool IsPlainDirectoryAttributes(uint32_t attributes) {
  attributes &= ~kAttributeNotContentIndexed;
  switch (attributes) {
    case kAttributeDirectory:
    case kAttributeDirectory | kAttributeReadOnly:
    case kAttributeDirectory | kAttributeHidden:
    case kAttributeDirectory | kAttributeArchive:
    case kAttributeDirectory | kAttributeArchive | kAttributeReadOnly:
    case kAttributeDirectory | kAttributeArchive | kAttributeHidden:
    case kAttributeDirectory | kAttributeArchive | kAttributeReadOnly | kAttributeHidden:
      return true;
    default:
      return false;
  }
}

}  // namespace zevra::platform
