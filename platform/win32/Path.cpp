#include "platform/Path.h"

namespace zevra::platform {

bool IsAcceptablePathSegment(std::string_view segment) {
  // Empty, "." and ".." segments are the caller's to judge, as on POSIX.
  if (segment.empty() || segment == "." || segment == "..") return true;
  // '\' would be a separator to Windows inside what we took for one
  // segment ("a\..\..\x" climbs out of the root); ':' names drives and
  // alternate data streams.
  if (segment.find_first_of(std::string_view("\0:\\", 3)) != std::string_view::npos) return false;
  // Windows strips a trailing dot or blank: "a.php." would open "a.php"
  // and pass as something else than it is.
  const char last = segment.back();
  return last != '.' && last != ' ';
}

}  // namespace zevra::platform
