// A small Windows program the CGI tests start as their child. What it does
// is named by its first argument:
//   args ...     prints its arguments as the C runtime's wide parser and its
//                ANSI parser split them (hex of the bytes, one per line),
//                then its environment and its working directory
//   cat          copies its standard input to its standard output
//   spawn        starts "sleep" as a child of its own, prints that child's
//                process id and sleeps
//   sleep MS     sleeps MS milliseconds, writes "slept" and exits
//   crash        writes a line, then reads through a null pointer
//   echo TEXT    writes TEXT and exits
//   count        reads its standard input to the end and answers a text
//                page holding the number of bytes it read
//   type FILE    writes the bytes of FILE as they are: the script is the
//                whole output, head and body
//   script FILE  runs the part named on the first line of FILE:
//                  "type [MS]" sleeps MS milliseconds (none without MS),
//                  then writes the rest of the file as it is,
//                  "sleep MS" as above,
//                  "flood N" answers N blocks of 1 MiB, block i all byte i,
//                  "method" answers its REQUEST_METHOD in an X-Method field,
//                  "query MS" sleeps MS milliseconds, then answers its
//                  QUERY_STRING as the body
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/HexText.h"

namespace {

HANDLE Out() { return ::GetStdHandle(STD_OUTPUT_HANDLE); }

void Write(const std::string& text) {
  DWORD written = 0;
  ::WriteFile(Out(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

using zevra::test::Hex;

std::string Utf8(const wchar_t* text) {
  int needed = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(needed > 0 ? static_cast<size_t>(needed - 1) : 0, '\0');
  if (needed > 1) ::WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), needed, nullptr, nullptr);
  return bytes;
}

int PrintArguments(int argc, char** argv) {
  int wideCount = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &wideCount);
  std::string report = "wargc=" + std::to_string(wideCount) + "\n";
  for (int i = 0; i < wideCount; ++i) report += "warg=" + Hex(Utf8(wide[i])) + "\n";
  ::LocalFree(wide);
  report += "aargc=" + std::to_string(argc) + "\n";
  for (int i = 0; i < argc; ++i) report += "aarg=" + Hex(argv[i]) + "\n";
  wchar_t* block = ::GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += std::wcslen(entry) + 1) {
    report += "env=" + Utf8(entry) + "\n";
  }
  ::FreeEnvironmentStringsW(block);
  wchar_t directory[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, directory);
  report += "cwd=" + Utf8(directory) + "\n";
  Write(report);
  return 0;
}

int Cat() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  static char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) return 0;
    DWORD put = 0;
    if (!::WriteFile(Out(), buffer, got, &put, nullptr) || put != got) return 1;
  }
}

int Spawn() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(self) + L"\" sleep 60000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info = {};
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info)) {
    Write("spawn failed\n");
    return 1;
  }
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  Write("grandchild=" + std::to_string(info.dwProcessId) + "\n");
  ::Sleep(60000);
  return 0;
}

int Count() {
  HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
  static char buffer[65536];
  unsigned long long total = 0;
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(in, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    total += got;
  }
  Write("Content-Type: text/plain\r\n\r\n" + std::to_string(total));
  return 0;
}

// The file name comes from the wide command line: a name outside the ANSI
// code page must still open.
bool ReadNamedFile(std::string& text) {
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr || count < 3) return false;
  HANDLE file = ::CreateFileW(wide[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ::LocalFree(wide);
  if (file == INVALID_HANDLE_VALUE) return false;
  static char buffer[65536];
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file, buffer, sizeof buffer, &got, nullptr) || got == 0) break;
    text.append(buffer, got);
  }
  ::CloseHandle(file);
  return true;
}

std::string Variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The part a script file names; its text after the first line is the
// output of the "type" part.
int Script(const std::string& text) {
  const size_t end = text.find('\n');
  const std::string line = text.substr(0, end);
  const std::string rest = end == std::string::npos ? "" : text.substr(end + 1);
  const size_t blank = line.find(' ');
  const std::string part = line.substr(0, blank);
  const int number = blank == std::string::npos ? 0 : std::atoi(line.c_str() + blank + 1);
  if (part == "type") {
    if (number > 0) ::Sleep(static_cast<DWORD>(number));
    Write(rest);
    return 0;
  }
  if (part == "sleep") {
    ::Sleep(static_cast<DWORD>(number));
    Write("slept");
    return 0;
  }
  if (part == "flood") {
    Write("Content-Type: application/octet-stream\r\n\r\n");
    for (int i = 0; i < number; ++i) Write(std::string(1048576, static_cast<char>(i)));
    return 0;
  }
  if (part == "method") {
    Write("Content-Type: text/plain\r\nX-Method: " + Variable("REQUEST_METHOD") + "\r\n\r\nbody");
    return 0;
  }
  if (part == "query") {
    ::Sleep(static_cast<DWORD>(number));
    Write("Content-Type: text/plain\r\n\r\n" + Variable("QUERY_STRING"));
    return 0;
  }
  return 2;
}

int* volatile g_nowhere = nullptr;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (mode == "args") return PrintArguments(argc, argv);
  if (mode == "cat") return Cat();
  if (mode == "spawn") return Spawn();
  if (mode == "count") return Count();
  if (mode == "type" || mode == "script") {
    std::string text;
    if (!ReadNamedFile(text)) return 3;
    if (mode == "script") return Script(text);
    Write(text);
    return 0;
  }
  if (mode == "sleep" && argc > 2) {
    ::Sleep(static_cast<DWORD>(std::atoi(argv[2])));
    Write("slept");
    return 0;
  }
  if (mode == "crash") {
    Write("about to fail\n");
    *g_nowhere = 1;
    return 0;
  }
  if (mode == "echo" && argc > 2) {
    Write(argv[2]);
    return 0;
  }
  return 2;
}
