// UTF-8 (inside) to UTF-16 (every name handed to Windows) and back.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace zevra::platform {

std::wstring Utf8ToWide(std::string_view text);
std::string WideToUtf8(std::wstring_view text);

// Seconds since 1970 (UTC) of a FILETIME (100 ns since 1601).
int64_t UnixSecondsOfFileTime(const FILETIME& time);

}  // namespace zevra::platform
