// Any Range value against a file size taken from the input: the answer is
// whole, unsatisfiable, or a range that lies inside the file.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "server/response/StaticFile.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first eight bytes give the size (any non-negative 64-bit value);
  // the rest is the header value.
  if (size < 8) return 0;
  uint64_t raw = 0;
  std::memcpy(&raw, data, 8);
  const int64_t fileSize = static_cast<int64_t>(raw >> 1);
  const std::string_view value(reinterpret_cast<const char*>(data + 8), size - 8);

  const zevra::ByteRange range = zevra::ParseRange(value, fileSize);
  switch (range.kind) {
    case zevra::ByteRange::kWhole:
      break;
    case zevra::ByteRange::kUnsatisfiable:
      break;
    case zevra::ByteRange::kPartial:
      Check(fileSize > 0);
      Check(range.first >= 0 && range.first <= range.last && range.last < fileSize);
      break;
    default:
      Check(false);
  }
  // Nothing in a range value can be satisfied on an empty file.
  if (fileSize == 0) Check(zevra::ParseRange(value, 0).kind != zevra::ByteRange::kPartial);
  // Without "bytes=" there is no range at all.
  if (value.find('=') == std::string_view::npos) Check(range.kind == zevra::ByteRange::kWhole);
  return 0;
}
