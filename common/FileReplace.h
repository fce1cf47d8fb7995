// Replacing a whole file in one step, for the two file formats the console
// writes: a reader (or a crash) sees the old content or the new, never a
// half-written file, and a failed write keeps the old one.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// Writes bytes into tempPath (which must lie in the same directory as path;
// a stale file of that name is removed first) and moves it over path. On
// failure the temporary file is gone, path is untouched and errorCode holds
// the system's error.
bool ReplaceFileContent(const std::string& path, const std::string& tempPath, std::string_view bytes,
                        int& errorCode);

// "OS信息 : (" + code + ") " + the system's text for the code: how every
// failure that involves the operating system is shown.
std::string OsErrorDetail(int errorCode);

}  // namespace zevra
