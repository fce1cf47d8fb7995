#include "platform/Path.h"

#include <windows.h>

#include <cwctype>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

bool EqualsAsciiIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// Names Windows takes for devices in any folder, whatever follows the
// first dot ("con.txt" is the console) and with blanks before it ignored:
// CON, PRN, AUX, NUL, COM0-9 and LPT0-9 (also with the superscript digits
// 1-3, which Windows counts as digits), CONIN$ and CONOUT$.
bool IsReservedDeviceName(std::string_view segment) {
  std::string_view base = segment.substr(0, segment.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (EqualsAsciiIgnoreCase(base, device)) return true;
  }
  if (base.size() < 4) return false;
  const std::string_view prefix = base.substr(0, 3);
  if (!EqualsAsciiIgnoreCase(prefix, "COM") && !EqualsAsciiIgnoreCase(prefix, "LPT")) return false;
  const std::string_view digit = base.substr(3);
  if (digit.size() == 1) return digit[0] >= '0' && digit[0] <= '9';
  return digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";  // superscript 1, 2, 3
}

std::wstring FoldedForComparison(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
    c = static_cast<wchar_t>(std::towupper(c));
  }
  return path;
}

// The long form of a path that exists; empty when it cannot be had.
std::wstring LongPathOf(const std::wstring& path) {
  const DWORD needed = ::GetLongPathNameW(path.c_str(), nullptr, 0);
  if (needed == 0) return std::wstring();
  std::wstring out(needed, L'\0');
  const DWORD n = ::GetLongPathNameW(path.c_str(), out.data(), needed);
  if (n == 0 || n >= needed) return std::wstring();
  out.resize(n);
  return out;
}

}  // namespace

bool IsAcceptablePathSegment(std::string_view segment) {
  // Empty, "." and ".." segments are the caller's to judge, as on POSIX.
  if (segment.empty() || segment == "." || segment == "..") return true;
  // '\' would be a separator to Windows inside what we took for one
  // segment ("a\..\..\x" climbs out of the root); ':' names drives and
  // alternate data streams ("a.php::$DATA" is the script's source).
  if (segment.find_first_of(std::string_view("\0:\\", 3)) != std::string_view::npos) return false;
  // Windows strips a trailing dot or blank: "a.php." would open "a.php"
  // and pass as something else than it is.
  const char last = segment.back();
  if (last == '.' || last == ' ') return false;
  // A device is no file of the site, and opening one may block.
  return !IsReservedDeviceName(segment);
}

bool IsReachedByItsOwnNames(const std::string& root, const std::string& relative) {
  // Only a segment with '~' can be a short (8.3) name.
  if (relative.find('~') == std::string::npos) return true;
  const std::wstring longRoot = LongPathOf(Utf8ToWide(root));
  const std::wstring longWhole = LongPathOf(Utf8ToWide(root + relative));
  // What does not exist reaches nothing; the caller answers it as missing.
  if (longRoot.empty() || longWhole.empty()) return true;
  const std::wstring folded = FoldedForComparison(longWhole);
  const std::wstring foldedRoot = FoldedForComparison(longRoot);
  std::wstring foldedRelative = FoldedForComparison(Utf8ToWide(relative));
  if (folded.compare(0, foldedRoot.size(), foldedRoot) != 0) return false;
  std::wstring tail = folded.substr(foldedRoot.size());
  // The root may or may not end with a separator, the request's part may or
  // may not start with one; a folder's long form has none at the end.
  auto trim = [](std::wstring& s) {
    while (!s.empty() && s.front() == L'\\') s.erase(s.begin());
    while (!s.empty() && s.back() == L'\\') s.pop_back();
  };
  trim(tail);
  trim(foldedRelative);
  return tail == foldedRelative;
}

}  // namespace zevra::platform
