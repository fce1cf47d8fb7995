// The ANSI code page (GetACP) at the edges: settings and host files, logs,
// the CGI environment and command line. Inside, every text is UTF-8.
#include "platform/CodePage.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

std::wstring CodePageToWide(std::string_view bytes) {
  if (bytes.empty()) return std::wstring();
  const int length = static_cast<int>(bytes.size());
  const int needed = ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(needed > 0 ? needed : 0), L'\0');
  if (needed > 0) ::MultiByteToWideChar(CP_ACP, 0, bytes.data(), length, wide.data(), needed);
  return wide;
}

}  // namespace

bool CodePageIsUtf8() { return ::GetACP() == CP_UTF8; }

std::string CodePageToUtf8(std::string_view bytes) {
  if (CodePageIsUtf8()) return std::string(bytes);
  return WideToUtf8(CodePageToWide(bytes));
}

std::string Utf8ToCodePage(std::string_view text) {
  if (CodePageIsUtf8() || text.empty()) return std::string(text);
  const std::wstring wide = Utf8ToWide(text);
  const int length = static_cast<int>(wide.size());
  const int needed = ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, nullptr, 0, "?", nullptr);
  std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
  if (needed > 0) ::WideCharToMultiByte(CP_ACP, 0, wide.data(), length, bytes.data(), needed, "?", nullptr);
  return bytes;
}

}  // namespace zevra::platform
