// The command a CGI request runs: the host's program setting split into an
// argument vector once, with the script path as one argument of its own.
// Splitting before the path goes in is what keeps a request path holding
// quotes or blanks from adding arguments to the interpreter.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zevra {

struct CgiCommand {
  std::vector<std::string> arguments;  // [0] the program
  // The program's directory with its trailing separator; empty when the
  // program is a bare name (the child then starts where the server runs).
  std::string workingDirectory;
  // The setting with the script path quoted in, for messages and logs.
  std::string commandLine;
};

// Splits a program setting: blanks (space, tab) separate arguments, double
// quotes group (and are dropped), "" is an empty argument. The first "%s" of
// the text, when scriptPath is given, becomes the script path inside its
// argument and is never split; later ones stay as they are.
std::vector<std::string> SplitProgramSetting(std::string_view setting, const std::string_view* scriptPath);

CgiCommand BuildCgiCommand(std::string_view setting, std::string_view scriptPath);

}  // namespace zevra
