// System facts, console output and process exit: the start-up values every
// role of the server gathers before it reads its settings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Native.h"  // kPathSeparator

namespace zevra::platform {

// Full path of the running executable (/proc/self/exe on Linux, the module
// file name on Windows).
std::string ProgramPath();
// Directory of the running executable, without a trailing separator.
std::string ProgramDirectory();
// The executable's own file name, without directory.
std::string ProgramFileName();

// The machine's name, at most 64 bytes.
std::string HostComputerName();

// The directory of the operating system itself, handed to CGI programs as
// SYSTEMROOT. POSIX has no such directory; "/" stands in for it.
std::string SystemDirectory();

// Processors this process may run on (its affinity mask; all of the
// machine's when that cannot be read); at least 1.
unsigned UsableProcessorCount();

// Granularity at which file views may start: the page size on POSIX.
uint32_t AllocationGranularity();

// The whole command line as one text: the arguments as the OS gives them,
// program path included, joined by single blanks.
std::string CommandLineText(int argc, char** argv);

// Sets the console window's title: on POSIX the terminal title sequence,
// written only when standard output is a terminal.
void SetTerminalTitle(std::string_view title);

// Writes bytes to standard output as they are, in chunks of at most 1024
// bytes, without adding a line end.
void WriteStdout(std::string_view bytes);

// The calling thread's last system error code (errno on POSIX,
// GetLastError on Windows). Portable code names its own failures through
// ErrorCodeOf (platform/Error.h).
int LastErrorCode();
void SetLastErrorCode(int code);

// The system's message text for an error code, in the internal text form
// (on Windows with the line break FormatMessageW ends it with).
std::string SystemErrorText(int code);


uint32_t CurrentProcessId();
void SleepMilliseconds(uint32_t ms);

// Ends the process at once with the given code. On POSIX the parent sees the
// code's low byte (10000 arrives as 16).
[[noreturn]] void TerminateSelf(int code);

// Blocks the calling thread for the rest of the process's life.
[[noreturn]] void WaitForever();

}  // namespace zevra::platform
