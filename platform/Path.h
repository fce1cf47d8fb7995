// What this platform accepts in a path built from a request.
#pragma once

#include <string_view>

namespace zevra::platform {

// Whether one segment of a decoded request path (between separators) may be
// handed to the file system. ".." is refused by the caller on every
// platform; this adds what the file system itself would misread: on POSIX a
// NUL byte; on Windows also ':' (drive letters, alternate data streams) and
// a trailing dot or blank, which Windows strips so that "a.php." opens
// "a.php".
bool IsAcceptablePathSegment(std::string_view segment);

}  // namespace zevra::platform
