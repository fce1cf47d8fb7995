#include "platform/Path.h"

namespace zevra::platform {

bool IsAcceptablePathSegment(std::string_view segment) {
  return segment.find('\0') == std::string_view::npos;
}

bool IsReachedByItsOwnNames(const std::string&, const std::string&) {
  // POSIX has one name per directory entry.
  return true;
}

}  // namespace zevra::platform
