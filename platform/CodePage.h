// Conversion between the internal text (UTF-8) and the process code page,
// which is where a byte format meets the outside: settings and host files,
// logs, CGI environments and command lines.
#pragma once

#include <string>
#include <string_view>

namespace zevra::platform {

// True when the process code page is UTF-8, so that both conversions below
// are the identity. The C/POSIX locale counts as UTF-8: text in it is
// ASCII-only or already UTF-8 in practice.
bool CodePageIsUtf8();

// Bytes in the process code page to internal UTF-8.
std::string CodePageToUtf8(std::string_view bytes);
// Internal UTF-8 to bytes in the process code page; what has no mapping
// becomes '?'.
std::string Utf8ToCodePage(std::string_view text);

}  // namespace zevra::platform
