// Starts a Windows program and prints its whole exit code. A Linux parent
// (wine's own exit status) sees only the low byte: 10000 arrives as 16.
// Usage: ExitCodeRunner.exe program [arguments...]
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

int wmain() {
  // Our line ends stay "\n": the checks compare bytes.
  _setmode(_fileno(stdout), _O_BINARY);
  // Our own command line minus our own name is the program's command line.
  const wchar_t* line = ::GetCommandLineW();
  bool quoted = false;
  while (*line != L'\0' && (quoted || (*line != L' ' && *line != L'\t'))) {
    if (*line == L'"') quoted = !quoted;
    ++line;
  }
  while (*line == L' ' || *line == L'\t') ++line;
  if (*line == L'\0') {
    std::fputs("usage: ExitCodeRunner program [arguments]\n", stderr);
    return 2;
  }
  std::wstring command(line);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
    std::fprintf(stderr, "cannot start the program: error %lu\n", ::GetLastError());
    return 2;
  }
  ::CloseHandle(info.hThread);
  // Bounded: a test program that hangs must not hang the test run.
  if (::WaitForSingleObject(info.hProcess, 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(info.hProcess, 1);
    std::fputs("the program did not end within 60 s\n", stderr);
    return 2;
  }
  DWORD code = 0;
  ::GetExitCodeProcess(info.hProcess, &code);
  ::CloseHandle(info.hProcess);
  std::fflush(stdout);
  std::printf("\nexit code: %lu\n", code);
  return 0;
}
