// The Range header of a static answer. Pure: text and a size in, a range
// out, so that it can be tested and fuzzed on its own.
#include <cstdint>
#include <limits>
#include <string_view>

#include "common/Text.h"
#include "server/response/StaticFile.h"

namespace zevra {
namespace {

// Digits only, at least one, no sign; false on overflow of int64.
bool ReadPosition(std::string_view text, int64_t& value) {
  if (text.empty()) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - digit) / 10) return false;
    v = v * 10 + digit;
  }
  value = static_cast<int64_t>(v);
  return true;
}

// One byte range: "A-", "A-B" or "-N". suffix is set for "-N".
struct RangeSpec {
  bool suffix = false;
  bool openEnd = false;
  int64_t first = 0;
  int64_t last = 0;
};

bool ReadSpec(std::string_view text, RangeSpec& range) {
  text = TrimBlanks(text);
  size_t dash = text.find('-');
  if (dash == std::string_view::npos) return false;
  std::string_view a = text.substr(0, dash);
  std::string_view b = text.substr(dash + 1);
  if (a.empty()) {
    range.suffix = true;
    return ReadPosition(b, range.last);
  }
  if (!ReadPosition(a, range.first)) return false;
  if (b.empty()) {
    range.openEnd = true;
    return true;
  }
  // "A-B" with B < A is invalid and the whole header is ignored.
  return ReadPosition(b, range.last) && range.last >= range.first;
}

}  // namespace

ByteRange ParseRange(std::string_view value, int64_t size) {
  ByteRange whole;
  if (value.empty() || size < 0) return whole;
  size_t equals = value.find('=');
  if (equals == std::string_view::npos) return whole;
  // Range units are case-insensitive; only bytes are known here.
  if (!EqualsIgnoreCase(TrimBlanks(value.substr(0, equals)), "bytes")) return whole;
  std::string_view set = value.substr(equals + 1);

  RangeSpec first;
  bool haveFirst = false;
  size_t elements = 0;
  // Every element is read so that a malformed list is ignored as a whole;
  // the header's length is bounded by the request head, so this loop is.
  size_t start = 0;
  for (;;) {
    size_t comma = set.find(',', start);
    std::string_view element = set.substr(start, comma == std::string_view::npos ? set.npos : comma - start);
    // Empty list elements (", ,") are allowed by the grammar and skipped.
    if (!TrimBlanks(element).empty()) {
      RangeSpec range;
      if (!ReadSpec(element, range)) return whole;
      if (!haveFirst) {
        first = range;
        haveFirst = true;
      }
      ++elements;
    }
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  if (!haveFirst) return whole;

  // A range that starts at byte 0 asks for the file from its beginning;
  // it is answered whole, as 200.
  if (!first.suffix && first.first == 0) return whole;

  ByteRange range;
  range.kind = ByteRange::kUnsatisfiable;
  if (size == 0) return range;
  if (first.suffix) {
    if (first.last == 0) return range;
    range.first = first.last >= size ? 0 : size - first.last;
    range.last = size - 1;
  } else {
    if (first.first >= size) return range;
    range.first = first.first;
    range.last = (first.openEnd || elements > 1 || first.last >= size) ? size - 1 : first.last;
  }
  range.kind = ByteRange::kPartial;
  return range;
}

}  // namespace zevra
