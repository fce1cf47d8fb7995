// Paths below the program directory. Every one is joined with the
// platform's separator, so "WebTemp/Done_7.Zevra" here is
// "WebTemp\Done_7.Zevra" on Windows.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace zevra {

// base, then each part, each behind one separator.
std::string JoinPath(std::string_view base, std::initializer_list<std::string_view> parts);
// The same below the start-up program directory.
std::string ProgramPath(std::initializer_list<std::string_view> parts);

// Zevra.pid: the running worker's process id, read by the daemon to end it.
std::string PidFilePath();

// WebTemp/<prefix><number>.Zevra: the one shape of every spool file, for
// request bodies ("Recving_", "Done_") and CGI output ("Cgi_").
std::string SpoolPath(std::string_view prefix, uint64_t number);
// A request body's spool file: "Recving_N.Zevra" while the body arrives,
// "Done_N.Zevra" once it is complete.
std::string SpoolFilePath(uint64_t spoolNumber, bool done);

}  // namespace zevra
