// What this platform accepts in a path built from a request.
#pragma once

#include <string>
#include <string_view>

namespace zevra::platform {

// Whether one segment of a decoded request path (between separators) may be
// handed to the file system. ".." is refused by the caller on every
// platform; this adds what the file system itself would misread: on POSIX a
// NUL byte; on Windows also ':' (drive letters, alternate data streams), a
// trailing dot or blank, which Windows strips so that "a.php." opens
// "a.php", and the reserved device names (CON, NUL, COM1, "con.txt" ...).
bool IsAcceptablePathSegment(std::string_view segment);

// Whether root + relative, where it exists, is reached by the long names of
// its entries. On Windows a short (8.3) name such as "LONGFI~1.PHP" opens
// the same file as "longfilename.php" but would escape every rule made for
// the long name (the CGI extension, say). Always true on POSIX.
bool IsReachedByItsOwnNames(const std::string& root, const std::string& relative);

}  // namespace zevra::platform
