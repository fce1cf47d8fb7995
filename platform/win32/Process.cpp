// CGI children on Windows. The pipes are named pipes opened for overlapped
// I/O on our side (anonymous pipes cannot be waited on), so one thread can
// keep a read of the output and a write of the input pending at once and
// wait for whichever finishes first. The child's ends are ordinary
// synchronous handles, as programs expect of their standard streams.
//
// Every child runs in a job object of its own: ending the job ends the
// program and whatever it started, the way a process group is killed on
// POSIX. A child inherits exactly its own three handles: they are the only
// ones named in its start-up attribute list, and they are inheritable only
// while a start holds the lock below, so a second child started at the
// same moment (by another thread) cannot take them along either. A child
// holding another one's output write end would keep that output open, and
// its relay waiting, until the gateway time-out.
#include "platform/Process.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "platform/WindowsNames.h"
#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

// What the system is asked to buffer in each pipe, and what one read of the
// output takes at most (ReadOutput hands it out in the caller's pieces).
constexpr DWORD kPipeBufferSize = 65536;
constexpr size_t kReadAheadSize = 65536;
// The most one WriteInput takes; its bytes are copied until the write is done.
constexpr size_t kWriteChunkSize = 65536;
// How long Stop waits for a terminated child to be gone.
constexpr DWORD kStopWaitMs = 5000;

// A kernel object handle (events, processes, jobs: NULL on failure, unlike
// files), closed when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(Handle&& other) noexcept : handle_(other.Release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Reset(); }
  HANDLE Release() {
    HANDLE handle = handle_;
    handle_ = nullptr;
    return handle;
  }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = handle;
  }
  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HANDLE handle_ = nullptr;
};

// Held from the moment a child's ends become inheritable until they are
// closed on our side: no other start can let them slip into its child.
std::mutex g_inheritLock;

std::wstring UniquePipeName() {
  static std::atomic<unsigned long long> counter{0};
  wchar_t name[96];
  std::swprintf(name, sizeof name / sizeof name[0], L"\\\\.\\pipe\\Zevra.Cgi.%lu.%llu",
                static_cast<unsigned long>(::GetCurrentProcessId()), counter.fetch_add(1) + 1);
  return name;
}

// One pipe: ours (overlapped, never inherited) and the child's (synchronous,
// not inheritable yet). childWrites: the child's end writes (its output).
bool MakePipe(bool childWrites, File& ours, File& childs) {
  const std::wstring name = UniquePipeName();
  const DWORD access = (childWrites ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_OUTBOUND) | FILE_FLAG_OVERLAPPED |
                       FILE_FLAG_FIRST_PIPE_INSTANCE;
  HANDLE server = ::CreateNamedPipeW(name.c_str(), access, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                                     kPipeBufferSize, kPipeBufferSize, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return false;
  ours = File(server);
  // FILE_WRITE_ATTRIBUTES on the reading end lets a program change the
  // pipe's wait mode, as some runtimes do with their standard input.
  const DWORD rights = childWrites ? GENERIC_WRITE : GENERIC_READ | FILE_WRITE_ATTRIBUTES;
  HANDLE client = ::CreateFileW(name.c_str(), rights, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (client == INVALID_HANDLE_VALUE) return false;
  childs = File(client);
  return true;
}

// The environment block: each "NAME=value" in UTF-16 with its NUL, and one
// more NUL at the end (two for an empty block).
std::wstring EnvironmentBlock(const std::vector<std::string>& environment) {
  std::wstring block;
  for (const std::string& entry : environment) {
    if (entry.empty()) continue;  // would end the block early
    block += Utf8ToWide(entry);
    block += L'\0';
  }
  if (block.empty()) block += L'\0';
  block += L'\0';
  return block;
}

bool SetInheritable(const File& file, bool inheritable) {
  return ::SetHandleInformation(file.Handle(), HANDLE_FLAG_INHERIT, inheritable ? HANDLE_FLAG_INHERIT : 0) != 0;
}

// The attribute list naming the only handles the child inherits.
class InheritList {
 public:
  InheritList(const InheritList&) = delete;
  InheritList& operator=(const InheritList&) = delete;
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    storage_.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    initialised_ = true;
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                     handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      return;
    }
    list_ = list;
  }
  ~InheritList() {
    if (initialised_) ::DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data()));
  }
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return list_; }

 private:
  std::vector<HANDLE> handles_;  // the list points into this vector
  std::vector<char> storage_;
  bool initialised_ = false;
  LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// A job that ends everything in it when its last handle closes, and lets
// no program in it stop on a crash dialog.
Handle MakeJob() {
  Handle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return job;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
  if (!::SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    job.Reset();
  }
  return job;
}

// Exception codes (access violation 0xC0000005, stack overflow 0xC00000FD …)
// are what the system leaves as the exit code of a program it ended.
constexpr DWORD kFirstExceptionCode = 0xC0000000;

}  // namespace

// The overlapped state of one child's pipes.
struct ChildProcess::NativeState {
  enum class Read { kIdle, kPending, kReady, kEnd, kFailed };

  Handle process;
  Handle job;
  Handle readEvent;
  Handle writeEvent;
  OVERLAPPED readOverlapped = {};
  OVERLAPPED writeOverlapped = {};
  Read read = Read::kIdle;
  std::vector<char> readBuffer;
  size_t readStart = 0;  // [readStart, readEnd) read and not handed out yet
  size_t readEnd = 0;
  std::string writeBuffer;  // the bytes of the pending write
  bool writePending = false;
  bool writeFailed = false;
  bool closeInputWhenWritten = false;

  // Starts a read of the output; it may finish at once.
  void StartRead(HANDLE pipe) {
    readStart = readEnd = 0;
    if (::ReadFile(pipe, readBuffer.data(), static_cast<DWORD>(readBuffer.size()), nullptr, &readOverlapped)) {
      DWORD n = 0;
      ::GetOverlappedResult(pipe, &readOverlapped, &n, FALSE);
      TookRead(n);
      return;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_IO_PENDING) {
      read = Read::kPending;
    } else {
      ReadEnded(code);
    }
  }

  // Takes the outcome of a pending read if it is there. False while pending.
  bool CollectRead(HANDLE pipe) {
    DWORD n = 0;
    if (::GetOverlappedResult(pipe, &readOverlapped, &n, FALSE)) {
      TookRead(n);
      return true;
    }
    const DWORD code = ::GetLastError();
    if (code == ERROR_IO_INCOMPLETE) return false;
    ReadEnded(code);
    return true;
  }

  // Takes the outcome of a pending write if it is there. False while pending.
  bool CollectWrite(HANDLE pipe) {
    if (!writePending) return true;
    DWORD n = 0;
    if (!::GetOverlappedResult(pipe, &writeOverlapped, &n, FALSE)) {
      if (::GetLastError() == ERROR_IO_INCOMPLETE) return false;
      writeFailed = true;
    } else if (n != writeBuffer.size()) {
      writeFailed = true;  // a pipe write completes whole or not at all
    }
    writePending = false;
    return true;
  }

 private:
  void TookRead(DWORD n) {
    readEnd = n;
    read = n > 0 ? Read::kReady : Read::kIdle;
  }
  void ReadEnded(DWORD code) {
    // Broken: every writer has closed its end, the normal end of the output.
    read = code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF || code == ERROR_PIPE_NOT_CONNECTED ? Read::kEnd
                                                                                                     : Read::kFailed;
  }
};

void ChildProcess::NativeStateDeleter::operator()(NativeState* state) const { delete state; }

bool EndsByExceptionCode() { return true; }
bool PassesAsOneArgument(std::string_view text) { return text.find('"') == std::string_view::npos; }

ChildProcess ChildProcess::Start(const ChildSpec& launch, StartFailure& failure, int& error) {
  failure = StartFailure::kNone;
  error = 0;
  ChildProcess child;
  auto fail = [&](StartFailure step, DWORD code) {
    failure = step;
    error = static_cast<int>(code);
    return ChildProcess();
  };
  if (launch.arguments.empty() || launch.arguments[0].empty()) return fail(StartFailure::kSpawn, ERROR_FILE_NOT_FOUND);
  // cmd.exe would parse the arguments once more by rules of its own.
  if (IsCommandInterpreterProgram(launch.arguments[0])) return fail(StartFailure::kSpawn, ERROR_NOT_SUPPORTED);
  std::string commandLine;
  if (!BuildWindowsCommandLine(launch.arguments, commandLine)) return fail(StartFailure::kSpawn, ERROR_INVALID_NAME);
  std::wstring wideCommandLine = Utf8ToWide(commandLine);
  // A program reading its command line through the ANSI code page gets it
  // converted with "best fit": a character the code page lacks may become
  // a quote or a '-' there and split or add arguments behind our quoting.
  // Only a command line the code page holds exactly goes out.
  if (!FitsCodePageExactly(wideCommandLine, ::GetACP())) {
    return fail(StartFailure::kSpawn, ERROR_NO_UNICODE_TRANSLATION);
  }
  std::wstring environment = EnvironmentBlock(launch.environment);
  std::wstring directory = Utf8ToWide(launch.workingDirectory);

  auto state = std::unique_ptr<NativeState, NativeStateDeleter>(new NativeState);
  state->readEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  state->writeEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!state->readEvent || !state->writeEvent) return fail(StartFailure::kOutputPipe, ::GetLastError());
  state->readOverlapped.hEvent = state->readEvent.Get();
  state->writeOverlapped.hEvent = state->writeEvent.Get();

  File outputRead, outputWrite;
  if (!MakePipe(true, outputRead, outputWrite)) return fail(StartFailure::kOutputPipe, ::GetLastError());
  File inputRead, inputWrite;
  if (launch.inputPipe) {
    if (!MakePipe(false, inputWrite, inputRead)) return fail(StartFailure::kInputPipe, ::GetLastError());
  } else {
    // Without a body the program reads the null device: its input ends at once.
    inputRead = File(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   0, nullptr));
    if (!inputRead) return fail(StartFailure::kSpawn, ::GetLastError());
  }
  state->job = MakeJob();
  if (!state->job) return fail(StartFailure::kSpawn, ::GetLastError());

  PROCESS_INFORMATION started = {};
  {
    std::lock_guard<std::mutex> guard(g_inheritLock);
    if (!SetInheritable(outputWrite, true) || !SetInheritable(inputRead, true)) {
      return fail(StartFailure::kSpawn, ::GetLastError());
    }
    InheritList inherit({inputRead.Handle(), outputWrite.Handle()});
    if (inherit.Get() == nullptr) return fail(StartFailure::kSpawn, ::GetLastError());
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
    startup.StartupInfo.hStdInput = inputRead.Handle();
    startup.StartupInfo.hStdOutput = outputWrite.Handle();
    startup.StartupInfo.hStdError = outputWrite.Handle();
    startup.lpAttributeList = inherit.Get();
    // Suspended until it is in its job, so that nothing it starts can be
    // outside the job.
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT;
    const BOOL ok = ::CreateProcessW(nullptr, wideCommandLine.data(), nullptr, nullptr, TRUE, flags,
                                     environment.data(), directory.empty() ? nullptr : directory.c_str(),
                                     &startup.StartupInfo, &started);
    const DWORD code = ::GetLastError();
    // Our copies of the child's ends close here, still under the lock.
    outputWrite.Close();
    inputRead.Close();
    if (!ok) return fail(StartFailure::kSpawn, code);
  }
  Handle thread(started.hThread);
  state->process.Reset(started.hProcess);
  if (!::AssignProcessToJobObject(state->job.Get(), state->process.Get())) {
    const DWORD code = ::GetLastError();
    ::TerminateProcess(state->process.Get(), 1);
    return fail(StartFailure::kSpawn, code);
  }
  ::ResumeThread(thread.Get());

  child.pid_ = static_cast<int>(started.dwProcessId);
  child.output_ = std::move(outputRead);
  child.input_ = std::move(inputWrite);
  state->readBuffer.resize(kReadAheadSize);
  child.native_ = std::move(state);
  return child;
}

namespace {

// Ends a pending operation before its buffer or handle goes away.
void CancelPending(HANDLE file, OVERLAPPED& overlapped) {
  ::CancelIoEx(file, &overlapped);
  DWORD n = 0;
  ::GetOverlappedResult(file, &overlapped, &n, TRUE);
}

}  // namespace

int64_t ChildProcess::ReadOutput(void* buffer, size_t length) {
  if (!output_ || !native_) return -2;
  NativeState& s = *native_;
  // Bounded: a writer sending empty writes completes reads with nothing.
  for (int attempt = 0; attempt < 16; ++attempt) {
    switch (s.read) {
      case NativeState::Read::kReady: {
        const size_t n = std::min(length, s.readEnd - s.readStart);
        std::copy_n(s.readBuffer.data() + s.readStart, n, static_cast<char*>(buffer));
        s.readStart += n;
        if (s.readStart == s.readEnd) s.read = NativeState::Read::kIdle;
        return static_cast<int64_t>(n);
      }
      case NativeState::Read::kEnd:
        return 0;
      case NativeState::Read::kFailed:
        return -2;
      case NativeState::Read::kPending:
        if (!s.CollectRead(output_.Handle())) return -1;
        break;
      case NativeState::Read::kIdle:
        s.StartRead(output_.Handle());
        break;
    }
  }
  return -1;
}

int64_t ChildProcess::WriteInput(const void* data, size_t length) {
  if (!input_ || !native_) return -2;
  NativeState& s = *native_;
  if (!s.CollectWrite(input_.Handle())) {
    inputPending_ = true;
    return -1;
  }
  inputPending_ = false;
  if (s.writeFailed) return -2;
  if (length == 0) return 0;
  // The bytes are ours from here on: the caller's buffer may change while
  // the write is pending.
  const size_t take = std::min(length, kWriteChunkSize);
  s.writeBuffer.assign(static_cast<const char*>(data), take);
  if (::WriteFile(input_.Handle(), s.writeBuffer.data(), static_cast<DWORD>(take), nullptr, &s.writeOverlapped)) {
    DWORD n = 0;
    ::GetOverlappedResult(input_.Handle(), &s.writeOverlapped, &n, FALSE);
    return static_cast<int64_t>(n);
  }
  if (::GetLastError() == ERROR_IO_PENDING) {
    s.writePending = true;
    return static_cast<int64_t>(take);
  }
  s.writeFailed = true;  // the child has closed its input (ERROR_NO_DATA) or gone
  return -2;
}

void ChildProcess::CloseOutput() {
  if (native_ && output_ && native_->read == NativeState::Read::kPending) {
    CancelPending(output_.Handle(), native_->readOverlapped);
    native_->read = NativeState::Read::kEnd;
  }
  output_.Close();
}

void ChildProcess::CloseInput() {
  if (native_ && input_ && !native_->CollectWrite(input_.Handle())) {
    // The last bytes are still on their way: the input ends after them.
    native_->closeInputWhenWritten = true;
    return;
  }
  input_.Close();
}

unsigned ChildProcess::WaitForProgress(int timeoutMs) {
  if (!native_) return 0;
  NativeState& s = *native_;
  if (output_ && s.read == NativeState::Read::kIdle) s.StartRead(output_.Handle());
  if (output_ && s.read != NativeState::Read::kPending) return kOutputProgress;

  HANDLE events[2];
  DWORD count = 0;
  if (output_) events[count++] = s.readEvent.Get();
  if (input_ && s.writePending) events[count++] = s.writeEvent.Get();
  if (count == 0) return 0;
  const DWORD rc = ::WaitForMultipleObjects(count, events, FALSE, static_cast<DWORD>(std::max(timeoutMs, 0)));
  if (rc == WAIT_TIMEOUT || rc == WAIT_FAILED) return 0;
  unsigned ready = 0;
  if (output_ && ::WaitForSingleObject(s.readEvent.Get(), 0) == WAIT_OBJECT_0) ready |= kOutputProgress;
  if (input_ && s.writePending && ::WaitForSingleObject(s.writeEvent.Get(), 0) == WAIT_OBJECT_0) {
    // Taken now, so that a finished write does not wake every later wait.
    s.CollectWrite(input_.Handle());
    ready |= kInputProgress;
    if (s.closeInputWhenWritten) input_.Close();
  }
  return ready;
}

bool ChildProcess::HasExited() {
  if (!native_ || !native_->process) return true;
  return ::WaitForSingleObject(native_->process.Get(), 0) == WAIT_OBJECT_0;
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  if (!native_ || !native_->process) return true;
  return ::WaitForSingleObject(native_->process.Get(), static_cast<DWORD>(std::max(timeoutMs, 0))) == WAIT_OBJECT_0;
}

void ChildProcess::Stop() {
  if (native_) {
    NativeState& s = *native_;
    if (output_ && s.read == NativeState::Read::kPending) CancelPending(output_.Handle(), s.readOverlapped);
    if (input_ && s.writePending) CancelPending(input_.Handle(), s.writeOverlapped);
    s.read = NativeState::Read::kEnd;
    s.writePending = false;
  }
  input_.Close();
  output_.Close();
  if (native_ && native_->process) {
    NativeState& s = *native_;
    // A child that has ended by itself tells how: an exception code means
    // the system ended it for a fault, and its output may stop anywhere.
    DWORD code = 0;
    if (::WaitForSingleObject(s.process.Get(), 0) == WAIT_OBJECT_0 && ::GetExitCodeProcess(s.process.Get(), &code) &&
        code >= kFirstExceptionCode) {
      crash_.kind = ExitReason::Kind::kEndedBySystem;
      crash_.code = code;
    }
    // The whole job, even when the child itself has gone: helpers it left
    // running end with the request.
    ::TerminateJobObject(s.job.Get(), 0);
    ::WaitForSingleObject(s.process.Get(), kStopWaitMs);
  }
  native_.reset();
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
