#include "platform/Path.h"

namespace zevra::platform {

bool IsAcceptablePathSegment(std::string_view segment) {
  return segment.find('\0') == std::string_view::npos;
}

bool UsesShortNameAlias(std::string_view, const std::string&) { return false; }

}  // namespace zevra::platform
