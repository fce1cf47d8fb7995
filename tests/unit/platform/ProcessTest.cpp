// Child processes through the platform layer: start failures, the exact
// environment, pipes in both directions without deadlock, process-group
// kill and reaping.
#include "platform/Process.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <set>
#include <string>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Clock.h"

namespace zevra::platform {
namespace {

// Reads the child's output until it ends (bounded by time).
std::string ReadAll(ChildProcess& child, int timeoutMs = 10000) {
  std::string out;
  char buffer[4096];
  uint64_t deadline = MonotonicMilliseconds() + static_cast<uint64_t>(timeoutMs);
  while (MonotonicMilliseconds() < deadline) {
    child.WaitForPipes(false, 100);
    int64_t n = child.ReadOutput(buffer, sizeof buffer);
    if (n == 0 || n == -2) break;
    if (n > 0) out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

ChildProcess StartShell(const std::string& script, bool inputPipe = false, std::vector<std::string> env = {},
                        std::string cwd = {}) {
  ChildSpec launch;
  launch.arguments = {"/bin/sh", "-c", script};
  launch.environment = std::move(env);
  launch.workingDirectory = std::move(cwd);
  launch.inputPipe = inputPipe;
  StartFailure failure;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  EXPECT_TRUE(child.IsStarted()) << error;
  return child;
}

void ExpectNoChildLeft() {
  errno = 0;
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST(ChildProcess, MissingProgramReportsTheExecError) {
  ChildSpec launch;
  launch.arguments = {"/nonexistent/dir/program"};
  StartFailure failure;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  EXPECT_FALSE(child.IsStarted());
  EXPECT_EQ(failure, StartFailure::kSpawn);
  EXPECT_EQ(error, ENOENT);
  launch.arguments = {"no-such-program-anywhere"};
  child = ChildProcess::Start(launch, failure, error);
  EXPECT_EQ(error, ENOENT);
  launch.arguments = {"/bin/sh"};
  launch.workingDirectory = "/nonexistent/dir";
  child = ChildProcess::Start(launch, failure, error);
  EXPECT_FALSE(child.IsStarted());
  EXPECT_EQ(error, ENOENT);
  ExpectNoChildLeft();
}

TEST(ChildProcess, EnvironmentIsExactlyTheGivenOne) {
  ChildSpec launch;
  launch.arguments = {"/usr/bin/env"};
  launch.environment = {"A=1", "B=x=y"};
  StartFailure failure;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  ASSERT_TRUE(child.IsStarted());
  EXPECT_EQ(ReadAll(child), "A=1\nB=x=y\n");
  child.Stop();
  ExpectNoChildLeft();
}

TEST(ChildProcess, StandardErrorJoinsStandardOutput) {
  ChildProcess child = StartShell("echo out; echo err >&2; echo out2");
  EXPECT_EQ(ReadAll(child), "out\nerr\nout2\n");
}

TEST(ChildProcess, WorkingDirectoryAndNullInput) {
  ChildProcess child = StartShell("pwd; cat; echo end", false, {}, "/tmp/");
  EXPECT_EQ(ReadAll(child), "/tmp\nend\n");
}

// The pipe objects ("pipe:[inode]") the test process holds open.
std::set<std::string> OpenPipes() {
  std::set<std::string> pipes;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
    if (!ec && target.rfind("pipe:", 0) == 0) pipes.insert(target);
  }
  return pipes;
}

TEST(ChildProcess, ChildrenHoldNoDescriptorsOfOthers) {
  std::set<std::string> before = OpenPipes();
  ChildProcess first = StartShell("cat", true);  // keeps its pipes open
  std::set<std::string> ours;
  for (const std::string& pipe : OpenPipes()) {
    if (before.count(pipe) == 0) ours.insert(pipe);
  }
  ASSERT_EQ(ours.size(), 2u);  // first's input and output, our ends
  ChildProcess second = StartShell("for f in /proc/$$/fd/*; do readlink $f; done");
  std::string listing = ReadAll(second);
  EXPECT_NE(listing.find("pipe:"), std::string::npos);  // its own output
  for (const std::string& pipe : ours) EXPECT_EQ(listing.find(pipe), std::string::npos) << listing;
  first.Stop();
}

// A descriptor another thread has just made, before it could be marked
// close-on-exec (an accepted socket between accept and its fcntl), must not
// reach the child either.
TEST(ChildProcess, DescriptorsWithoutCloseOnExecStayBehind) {
  const int unmarked = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(unmarked, 0);
  ASSERT_EQ(::fcntl(unmarked, F_GETFD) & FD_CLOEXEC, 0);
  ChildProcess child = StartShell("for f in /proc/$$/fd/*; do readlink $f; done");
  std::string listing = ReadAll(child);
  ::close(unmarked);
  EXPECT_NE(listing.find("pipe:"), std::string::npos);  // its own output
  EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
}

TEST(ChildProcess, BigInputAndOutputFlowWithoutDeadlock) {
  // cat answers each byte as it reads: with 4 MiB each way, a writer that
  // did not read at the same time would block on full pipes.
  ChildProcess child = StartShell("cat", true);
  std::string input(4 * 1048576, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 + i / 4096);
  std::string output;
  size_t written = 0;
  char buffer[10240];
  uint64_t deadline = MonotonicMilliseconds() + 20000;
  while (MonotonicMilliseconds() < deadline) {
    if (child.InputOpen()) {
      int64_t n = child.WriteInput(input.data() + written, input.size() - written);
      ASSERT_NE(n, -2);
      if (n > 0) written += static_cast<size_t>(n);
      if (written == input.size()) child.CloseInput();
    }
    child.WaitForPipes(child.InputOpen(), 100);
    int64_t n;
    while ((n = child.ReadOutput(buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
    if (n == 0) break;
  }
  EXPECT_EQ(output.size(), input.size());
  EXPECT_TRUE(output == input);
}

TEST(ChildProcess, WriteToAChildThatDoesNotReadFailsWithoutSignal) {
  ChildProcess child = StartShell("exec 0<&-; echo done", true);
  EXPECT_EQ(ReadAll(child), "done\n");
  std::string block(65536, 'x');
  int64_t result = 0;
  for (int i = 0; i < 100 && result != -2; ++i) result = child.WriteInput(block.data(), block.size());
  EXPECT_EQ(result, -2);  // the process is still here: SIGPIPE did not end it
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(ChildProcess, StopTellsAFaultOfTheChildFromItsOwnKill) {
  ChildProcess crashed = StartShell("kill -SEGV $$");
  ReadAll(crashed);
  crashed.Stop();
  EXPECT_TRUE(crashed.Crashed());
  EXPECT_EQ(crashed.CrashSignal(), SIGSEGV);
  ChildProcess failed = StartShell("exit 3");
  ReadAll(failed);
  failed.Stop();
  EXPECT_FALSE(failed.Crashed());
  ChildProcess running = StartShell("sleep 30");
  running.Stop();
  EXPECT_FALSE(running.Crashed());
}

TEST(ChildProcess, StopKillsTheWholeGroupAndReaps) {
  ChildProcess child = StartShell("sleep 30 & echo $!; wait");
  std::string line;
  char c;
  uint64_t deadline = MonotonicMilliseconds() + 5000;
  while (MonotonicMilliseconds() < deadline && line.find('\n') == std::string::npos) {
    child.WaitForPipes(false, 100);
    if (child.ReadOutput(&c, 1) == 1) line += c;
  }
  pid_t grandchild = static_cast<pid_t>(std::stol(line));
  EXPECT_FALSE(child.HasExited());
  uint64_t before = MonotonicMilliseconds();
  child.Stop();
  EXPECT_LT(MonotonicMilliseconds() - before, 2000u);
  EXPECT_FALSE(child.IsStarted());
  // The grandchild belonged to init after its parent died; it is gone or a
  // zombie about to be collected, never still sleeping.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    std::string stat;
    FILE* f = std::fopen(("/proc/" + std::to_string(grandchild) + "/stat").c_str(), "r");
    if (f == nullptr) {
      gone = true;
      break;
    }
    char buf[512] = {};
    size_t n = std::fread(buf, 1, sizeof buf - 1, f);
    std::fclose(f);
    stat.assign(buf, n);
    size_t close = stat.rfind(')');
    if (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z') gone = true;
    usleep(10000);
  }
  EXPECT_TRUE(gone);
  ExpectNoChildLeft();
}

TEST(ChildProcess, DestructorOfARunningChildKillsAndReaps) {
  {
    ChildProcess child = StartShell("sleep 30");
    EXPECT_FALSE(child.WaitForExit(50));
  }
  ExpectNoChildLeft();
}

TEST(ChildProcess, ExitIsSeenWithoutReaping) {
  ChildProcess child = StartShell("exit 3");
  EXPECT_TRUE(child.WaitForExit(5000));
  EXPECT_TRUE(child.HasExited());
  child.Stop();
  ExpectNoChildLeft();
}

TEST(RegularFileError, NamesWhyAPathIsNotAFile) {
  EXPECT_EQ(RegularFileError("/bin/sh"), 0);
  EXPECT_EQ(RegularFileError("/nonexistent/x"), ENOENT);
  EXPECT_EQ(RegularFileError("/tmp"), EISDIR);
  EXPECT_EQ(RegularFileError("/dev/null"), EINVAL);
}

}  // namespace
}  // namespace zevra::platform
