// What this platform accepts in a path built from a request.
#pragma once

#include <string>
#include <string_view>

namespace zevra::platform {

// Whether one segment of a decoded request path (between separators) may be
// handed to the file system. ".." is refused by the caller on every
// platform; this adds what the file system itself would misread: on POSIX a
// NUL byte; on Windows what IsWindowsSafeSegment refuses (':' of drives and
// alternate data streams, a trailing dot or blank that Windows strips,
// device names, characters no Windows name holds).
bool IsAcceptablePathSegment(std::string_view segment);

// Whether an existing path reaches its file through a short (8.3) alias of
// a folder or file below root ("SCRIPT~1.PHP" for "script.phpx"): the name
// the server judged is then not the file's own. path is root followed by
// the part to check; the root itself (the administrator's) may be written
// in any form. Always false on POSIX, which has no such aliases, and for a
// path that does not exist.
bool UsesShortNameAlias(std::string_view root, const std::string& path);

}  // namespace zevra::platform
