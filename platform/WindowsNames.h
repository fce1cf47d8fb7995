// Names and command lines as Windows reads them. Pure text rules, built on
// every OS so that they are tested everywhere; only the Windows layer
// applies them (on POSIX "CON" or "a.php." are ordinary file names).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zevra::platform {

// Whether Windows' file system would take one segment of a request path
// (the text between separators) for what it says. Refused:
//  - ':' (a drive, or an alternate data stream: "a.php::$DATA" is the
//    script's source), '\' (a separator inside the segment), NUL and the
//    other control characters, and the characters no Windows name may hold
//    (" < > | ? *: the last four are wildcards to some calls);
//  - a trailing dot or blank, which Windows strips ("a.php." opens "a.php"
//    and would pass every test made on the name as something else);
//  - a reserved device name, see IsReservedDeviceName.
// Empty, "." and ".." segments are the caller's to judge.
bool IsWindowsSafeSegment(std::string_view segment);

// CON, PRN, AUX, NUL, COM0-COM9 and LPT0-LPT9 (also with the superscript
// digits ¹ ² ³, which Windows counts as well), in any letter case, alone or
// followed by an extension ("nul.txt", "Com1.php") or by blanks before
// one: Windows opens the device whatever folder the name stands in.
bool IsReservedDeviceName(std::string_view segment);

// Whether a name or path may hold the short (8.3) alias of a longer name:
// such aliases carry '~' followed by a digit on Windows ("SCRIPT~1.PHP")
// and by letters of a hash on other file systems that make them (Wine's
// "LONG~W01.PHP"). Only paths with one are worth asking the file system
// about.
bool MayBeShortAlias(std::string_view path);

// One argument quoted for the Microsoft C runtime's parser, which most
// Windows programs use to split their command line: blanks and quotes
// inside stay in the one argument, and backslashes are doubled only where
// they precede a quote (also the closing one), as the parser undoes it.
std::string QuoteWindowsArgument(std::string_view argument);

// The command line for CreateProcess: the program, then each argument
// quoted. The program name is read differently (up to the next quote, no
// escapes), so it is wrapped in quotes as it is; false when it holds a
// quote itself, which no Windows path can.
bool BuildWindowsCommandLine(const std::vector<std::string>& arguments, std::string& commandLine);

// Whether the program is a batch file (".bat", ".cmd", any case, trailing
// dots and blanks as Windows strips them): CreateProcess hands those to
// cmd.exe, which parses the arguments once more by its own rules (& | % ^),
// so no quoting keeps a hostile argument in its place. cmd.exe itself
// named as the program is the same case.
bool IsCommandInterpreterProgram(std::string_view program);

}  // namespace zevra::platform
