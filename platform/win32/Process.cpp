// CGI children on Windows are not built yet: overlapped pipes and a job
// object per child come with the process work. Until then every start
// fails with "not implemented", which the gateway answers like any other
// failed start, so the server links and runs without CGI.
#include "platform/Process.h"

#include <windows.h>

#include <utility>

#include "platform/win32/Wide.h"

namespace zevra::platform {

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      crash_(std::exchange(other.crash_, ExitReason{})),
      inputPending_(std::exchange(other.inputPending_, false)),
      input_(std::move(other.input_)),
      output_(std::move(other.output_)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Stop();
    pid_ = std::exchange(other.pid_, -1);
    crash_ = std::exchange(other.crash_, ExitReason{});
    inputPending_ = std::exchange(other.inputPending_, false);
    input_ = std::move(other.input_);
    output_ = std::move(other.output_);
  }
  return *this;
}

ChildProcess ChildProcess::Start(const ChildSpec&, StartFailure& failure, int& error) {
  failure = StartFailure::kSpawn;
  error = ERROR_CALL_NOT_IMPLEMENTED;
  return ChildProcess();
}

int64_t ChildProcess::ReadOutput(void*, size_t) { return -2; }
int64_t ChildProcess::WriteInput(const void*, size_t) { return -2; }
unsigned ChildProcess::WaitForProgress(int) { return 0; }
bool ChildProcess::HasExited() { return true; }
bool ChildProcess::WaitForExit(int) { return true; }

void ChildProcess::Stop() {
  input_.Close();
  output_.Close();
  pid_ = -1;
}

int RegularFileError(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) {
    return static_cast<int>(::GetLastError());
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_DIRECTORY;
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) return ERROR_INVALID_PARAMETER;
  return 0;
}

}  // namespace zevra::platform
