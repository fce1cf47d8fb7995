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

int64_t UnixSecondsOfFileTime(const FILETIME& time) {
  const uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  constexpr uint64_t kTicksPerSecond = 10000000;
  constexpr int64_t kSeconds1601To1970 = 11644473600;
  return static_cast<int64_t>(ticks / kTicksPerSecond) - kSeconds1601To1970;
}

}  // namespace zevra::platform
