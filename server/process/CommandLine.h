// The command line of the server: which role a process plays, and the
// version and usage texts it prints.
#pragma once

#include <string>
#include <string_view>

namespace zevra {

// The first of "/?", "/v", "/daemon", "/worker", "/install", "/remove"
// (searched in that order) found anywhere in the whole command line,
// ignoring case; empty when none occurs. There is no tokenising, so an
// option inside a longer word or inside the program path counts too.
std::string RecognizeCommand(std::string_view commandLine);

// "Build Date: <date and time>" and the ownership notice, joined by CR LF.
std::string BuildBlock();

// The usage screen with its placeholders replaced; no trailing line end.
std::string BuildUsageText(std::string_view computerName, std::string_view programFileName,
                           std::string_view buildBlock);

}  // namespace zevra
