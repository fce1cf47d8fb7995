#include "platform/Path.h"

#include <windows.h>

#include "platform/WindowsNames.h"
#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

// The last count components of a path ('\' or '/' separated), or all of it.
std::wstring_view LastComponents(std::wstring_view path, size_t count) {
  size_t end = path.size();
  while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/')) --end;
  size_t start = end;
  for (size_t seen = 0; seen < count && start > 0;) {
    --start;
    if (path[start] == L'\\' || path[start] == L'/') {
      if (++seen == count) {
        ++start;
        break;
      }
    }
  }
  return path.substr(start, end - start);
}

}  // namespace

bool IsAcceptablePathSegment(std::string_view segment) { return IsWindowsSafeSegment(segment); }

bool UsesShortNameAlias(std::string_view root, const std::string& path) {
  // How many components lie below the root: only they are the request's.
  size_t components = 0;
  bool inside = false;
  for (size_t i = root.size() < path.size() ? root.size() : path.size(); i < path.size(); ++i) {
    const bool separator = path[i] == '\\' || path[i] == '/';
    if (!separator && !inside) ++components;
    inside = !separator;
  }
  if (components == 0) return false;
  const std::wstring wide = Utf8ToWide(path);
  DWORD needed = ::GetLongPathNameW(wide.c_str(), nullptr, 0);
  if (needed == 0) return false;  // nothing there: no alias reaches anything
  std::wstring longPath(needed, L'\0');
  DWORD length = ::GetLongPathNameW(wide.c_str(), longPath.data(), needed);
  if (length == 0 || length >= needed) return false;
  longPath.resize(length);
  std::wstring_view asked = LastComponents(wide, components);
  std::wstring_view found = LastComponents(longPath, components);
  // Letter case is no alias: the file system matches names without it.
  return ::CompareStringOrdinal(asked.data(), static_cast<int>(asked.size()), found.data(),
                                static_cast<int>(found.size()), TRUE) != CSTR_EQUAL;
}

}  // namespace zevra::platform
