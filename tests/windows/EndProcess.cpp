// Ends a Windows process from outside with an exit code of our choosing
// (taskkill under Wine ends it with 0, on Windows with 1), as a crash or an
// administrator would. Usage: EndProcess.exe pid code
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: EndProcess pid code\n", stderr);
    return 2;
  }
  const DWORD pid = std::strtoul(argv[1], nullptr, 10);
  const UINT code = std::strtoul(argv[2], nullptr, 0);
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr || !::TerminateProcess(process, code)) {
    std::fprintf(stderr, "cannot end process %lu: error %lu\n", pid, ::GetLastError());
    return 1;
  }
  ::CloseHandle(process);
  return 0;
}
