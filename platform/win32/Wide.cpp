#include "platform/win32/Wide.h"

namespace zevra::platform {

std::wstring Utf8ToWide(std::string_view text) {
  if (text.empty()) return std::wstring();
  const int length = static_cast<int>(text.size());
  const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
  if (needed > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
  return wide;
}

std::string WideToUtf8(std::wstring_view text) {
  if (text.empty()) return std::string();
  const int length = static_cast<int>(text.size());
  const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) ::WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}

bool FitsCodePageExactly(std::wstring_view text, unsigned codePage) {
  if (text.empty() || codePage == CP_UTF8) return true;
  const int length = static_cast<int>(text.size());
  BOOL usedDefault = FALSE;
  const int needed =
      ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, nullptr, 0, nullptr, &usedDefault);
  if (needed <= 0 || usedDefault) return false;
  std::string bytes(static_cast<size_t>(needed), '\0');
  ::WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text.data(), length, bytes.data(), needed, nullptr,
                        &usedDefault);
  if (usedDefault) return false;
  const int back = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), needed, nullptr, 0);
  if (back != length) return false;
  std::wstring roundTrip(static_cast<size_t>(back), L'\0');
  ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), needed, roundTrip.data(), back);
  return roundTrip == text;
}

std::string FileNameToUtf8(std::wstring_view name) {
  std::string bytes;
  bytes.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t code = name[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < name.size() && name[i + 1] >= 0xDC00 && name[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      bytes += static_cast<char>(code);
    } else if (code < 0x800) {
      bytes += static_cast<char>(0xC0 | (code >> 6));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      // A lone surrogate lands here too (ED A0..BF xx).
      bytes += static_cast<char>(0xE0 | (code >> 12));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      bytes += static_cast<char>(0xF0 | (code >> 18));
      bytes += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      bytes += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      bytes += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return bytes;
}

bool IsNameableFileName(std::wstring_view name) {
  for (wchar_t c : name) {
    if (c < 0x20) return false;
    switch (c) {
      case L'<': case L'>': case L':': case L'"': case L'/': case L'\\': case L'|': case L'?': case L'*':
        return false;
      default:
        break;
    }
  }
  return true;
}

int64_t UnixSecondsOfFileTime(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr int64_t kSeconds1601To1970 = 11644473600;
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970;
}

}  // namespace zevra::platform
