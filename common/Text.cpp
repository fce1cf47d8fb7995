#include "common/Text.h"

#include <cstring>
#include <limits>

namespace zevra {

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLowerChar(c);
  return out;
}

std::string AsciiUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiUpperChar(c);
  return out;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLowerChar(a[i]) != AsciiLowerChar(b[i])) return false;
  }
  return true;
}

std::string_view TrimAny(std::string_view text, std::string_view bytes) {
  const size_t first = text.find_first_not_of(bytes);
  if (first == std::string_view::npos) return text.substr(text.size());
  return text.substr(first, text.find_last_not_of(bytes) - first + 1);
}

std::vector<std::string_view> SplitText(std::string_view text, std::string_view sep) {
  std::vector<std::string_view> pieces;
  if (text.empty()) return pieces;
  if (sep.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    if (at == std::string_view::npos) {
      if (start < text.size()) pieces.push_back(text.substr(start));
      break;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + sep.size();
  }
  return pieces;
}

size_t FindIgnoreCase(std::string_view text, std::string_view what) {
  if (what.empty()) return 0;
  if (what.size() > text.size()) return std::string_view::npos;
  const char first = AsciiLowerChar(what[0]);
  for (size_t i = 0; i + what.size() <= text.size(); ++i) {
    if (AsciiLowerChar(text[i]) != first) continue;
    if (EqualsIgnoreCase(text.substr(i, what.size()), what)) return i;
  }
  return std::string_view::npos;
}

int FindText(std::string_view text, std::string_view what, bool ignoreCase) {
  size_t at = ignoreCase ? FindIgnoreCase(text, what) : text.find(what);
  return at == std::string_view::npos ? -1 : static_cast<int>(at) + 1;
}

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

int64_t ReadInteger64(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint64_t value = 0;
  const uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + (negative ? 1 : 0);
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > limit) {
      value = limit;
      // Keep consuming digits: the result stays saturated.
    }
  }
  if (negative) {
    return value == limit ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(value);
  }
  return static_cast<int64_t>(value);
}

int32_t ReadInteger(std::string_view text) {
  // A 32-bit long (Windows) keeps the low 32 bits of what it accumulated.
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  uint32_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10u + static_cast<uint32_t>(text[i] - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<int32_t>(value);
}

bool IsHttpToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) continue;
    switch (c) {
      case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
      case '-': case '.': case '^': case '_': case '`': case '|': case '~':
        continue;
      default:
        return false;
    }
  }
  return true;
}

void AppendZeroPadded(std::string& out, int64_t value, int width) {
  // Built right to left in a local buffer and appended once.
  char text[48];
  size_t at = sizeof text;
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  const int digitsWanted = width < 1 ? 1 : (width > 40 ? 40 : width);
  int digits = 0;
  do {
    text[--at] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
    ++digits;
  } while (magnitude > 0);
  while (digits < digitsWanted) {
    text[--at] = '0';
    ++digits;
  }
  if (value < 0) text[--at] = '-';
  out.append(text + at, sizeof text - at);
}

void AppendClockTime(std::string& out, int hour, int minute, int second) {
  AppendZeroPadded(out, hour, 2);
  out += ':';
  AppendZeroPadded(out, minute, 2);
  out += ':';
  AppendZeroPadded(out, second, 2);
}

void AppendDateTime(std::string& out, int year, int yearWidth, int month, int day, int hour, int minute, int second) {
  AppendZeroPadded(out, year, yearWidth);
  out += '-';
  AppendZeroPadded(out, month, 2);
  out += '-';
  AppendZeroPadded(out, day, 2);
  out += ' ';
  AppendClockTime(out, hour, minute, second);
}

std::string ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  std::string out;
  if (what.empty()) return std::string(text);
  size_t start = 0;
  for (;;) {
    size_t at = text.find(what, start);
    if (at == std::string_view::npos) break;
    out.append(text.substr(start, at - start));
    out.append(with);
    start = at + what.size();
  }
  out.append(text.substr(start));
  return out;
}

namespace {

// Length of the well-formed UTF-8 character at text[i], or 0 when the bytes
// there are not one. Follows the table of well-formed byte sequences
// (Unicode 3.9, table 3-7): no overlong forms, no surrogates, nothing above
// U+10FFFF. On 0, *bad is the length of the maximal ill-formed subpart,
// which is what one replacement character stands for.
size_t Utf8CharLength(std::string_view text, size_t i, size_t* bad) {
  const unsigned char b0 = static_cast<unsigned char>(text[i]);
  *bad = 1;
  if (b0 < 0x80) return 1;
  size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;  // C0, C1, F5..FF, or a stray continuation byte
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= text.size()) {
      *bad = k;  // truncated at the end
      return 0;
    }
    const unsigned char b = static_cast<unsigned char>(text[i + k]);
    const unsigned char kLo = k == 1 ? lo : 0x80;
    const unsigned char kHi = k == 1 ? hi : 0xBF;
    if (b < kLo || b > kHi) {
      *bad = k;
      return 0;
    }
  }
  return need + 1;
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII, the usual case of a path, go eight bytes at a time.
    while (i + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= text.size()) break;
    size_t bad = 0;
    size_t n = Utf8CharLength(text, i, &bad);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void AppendValidUtf8(std::string_view bytes, std::string& out) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
  out.reserve(out.size() + bytes.size() + 8);
  size_t i = 0;
  while (i < bytes.size()) {
    size_t bad = 0;
    size_t n = Utf8CharLength(bytes, i, &bad);
    if (n == 0) {
      out.append(kReplacement);
      i += bad;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
}


}  // namespace zevra
