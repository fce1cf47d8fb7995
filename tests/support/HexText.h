// Bytes as lower-case hex digits: how the Windows CGI probe reports what it
// was given, and how its tests spell what they expect, so that any byte
// (a quote, a soft hyphen, a lone backslash) compares exactly.
#pragma once

#include <string>

namespace zevra::test {

inline std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

}  // namespace zevra::test
