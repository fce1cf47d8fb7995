#include "platform/ProcessControl.h"

#include <windows.h>

#include <utility>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

// One argument in the form CommandLineToArgvW reads back unchanged.
void AppendQuoted(std::wstring& line, const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += argument;
    return;
  }
  line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') line.append(backslashes * 2 + 1, L'\\');
    else line.append(backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

}  // namespace

Program::Program(Program&& other) noexcept
    : id_(std::exchange(other.id_, 0)), handle_(std::exchange(other.handle_, nullptr)) {}

Program& Program::operator=(Program&& other) noexcept {
  if (this != &other) {
    Release();
    id_ = std::exchange(other.id_, 0);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Program Program::Start(const std::vector<std::string>& argv, bool searchPath) {
  Program program;
  if (argv.empty()) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return program;
  }
  std::wstring line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (i > 0) line += L' ';
    AppendQuoted(line, Utf8ToWide(argv[i]));
  }
  const std::wstring application = Utf8ToWide(argv[0]);
  // No window and no standard handles: a service has no desktop to show
  // one on, and the daemon's own handles are not the worker's business
  // (nothing is inherited; the worker opens its logs itself).
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_HIDE;
  PROCESS_INFORMATION info = {};
  // No application name when a bare name is to be searched for: Windows
  // then looks it up as the command line's first word.
  if (!::CreateProcessW(searchPath ? nullptr : application.c_str(), line.data(), nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
    return program;
  }
  ::CloseHandle(info.hThread);
  program.id_ = info.dwProcessId;
  program.handle_ = info.hProcess;
  return program;
}

bool Program::WaitForEnd(ExitReason& reason) const {
  if (handle_ == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (::WaitForSingleObject(handle_, INFINITE) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!::GetExitCodeProcess(handle_, &code)) return false;
  // The code arrives whole, a crash's exception code (0xC0000005 …)
  // included: it is what the daemon reports, so it stays the exit code.
  reason = ExitReason{};
  reason.code = code;
  return true;
}

bool Program::End(uint32_t exitCode) const {
  if (handle_ == nullptr) {
    ::SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  return ::TerminateProcess(handle_, exitCode) != 0;
}

void Program::Release() {
  if (handle_ != nullptr) ::CloseHandle(handle_);
  handle_ = nullptr;
  id_ = 0;
}

}  // namespace zevra::platform
