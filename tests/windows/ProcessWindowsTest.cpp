// CGI children on Windows, run under Wine with the small probe program
// (CgiProbe.exe, beside this test): the command line each program splits
// for itself, the exact environment, pipes both ways at once, the job that
// ends a child with everything it started, inheritance of nothing but a
// child's own ends, and a crash told from an exit.
#include "platform/Process.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Path.h"
#include "platform/System.h"
#include "platform/win32/Wide.h"
#include "tests/support/HexText.h"

namespace zevra::platform {
namespace {

std::string Probe() { return ProgramDirectory() + "\\CgiProbe.exe"; }

using zevra::test::Hex;

ChildProcess StartProbe(std::vector<std::string> arguments, bool inputPipe = false,
                        std::vector<std::string> environment = {}, std::string directory = {}) {
  ChildSpec launch;
  launch.arguments = {Probe()};
  launch.arguments.insert(launch.arguments.end(), arguments.begin(), arguments.end());
  launch.environment = std::move(environment);
  launch.workingDirectory = std::move(directory);
  launch.inputPipe = inputPipe;
  StartFailure failure = StartFailure::kNone;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  EXPECT_TRUE(child.IsStarted()) << "error " << error;
  return child;
}

// The child's output until it ends, bounded by time; *ended tells whether
// the end was seen.
std::string ReadAll(ChildProcess& child, int timeoutMs = 15000, bool* ended = nullptr) {
  std::string out;
  char buffer[10240];
  const uint64_t deadline = MonotonicMilliseconds() + static_cast<uint64_t>(timeoutMs);
  if (ended != nullptr) *ended = false;
  while (MonotonicMilliseconds() < deadline) {
    int64_t n = child.ReadOutput(buffer, sizeof buffer);
    if (n > 0) {
      out.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0 || n == -2) {
      if (ended != nullptr) *ended = n == 0;
      break;
    }
    child.WaitForProgress(100);
  }
  return out;
}

std::vector<std::string> Lines(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    start = end + 1;
  }
  return lines;
}

TEST(WindowsChild, HostileArgumentsReachTheProgramAsOneEach) {
  // What a request can put into a script path, and what the setting may
  // hold: blanks, quotes, cmd.exe's characters, trailing backslashes (which
  // would escape the closing quote), a soft hyphen (best fit turns it into
  // '-' in some code pages: php-cgi's "-d" injection), an empty argument.
  const std::vector<std::string> hostile = {
      "C:\\site dir\\a b.php",
      "x\" -d auto_prepend_file=y \"z",
      "a&whoami|more ^ %PATH% <x> !y!",
      "trailing\\",
      "two\\\\",
      "back\\\"quote",
      "tab\there",
      "",
      "\\\\server\\share\\",
  };
  std::vector<std::string> arguments = {"args"};
  arguments.insert(arguments.end(), hostile.begin(), hostile.end());
  ChildProcess child = StartProbe(arguments);
  const std::string report = ReadAll(child);

  const std::vector<std::string> wide = Lines(report, "warg=");
  const std::vector<std::string> ansi = Lines(report, "aarg=");
  ASSERT_EQ(wide.size(), arguments.size() + 1) << report;
  ASSERT_EQ(ansi.size(), arguments.size() + 1) << report;
  EXPECT_EQ(wide[0], Hex(Probe()));
  for (size_t i = 0; i < arguments.size(); ++i) {
    EXPECT_EQ(wide[i + 1], Hex(arguments[i])) << "argument " << i;
    // The C runtime's ANSI view of the same line: the same splits, each
    // argument in the code page.
    EXPECT_EQ(ansi[i + 1], Hex(Utf8ToCodePage(arguments[i]))) << "argument " << i;
  }
}

// A soft hyphen: code page 1252 holds it, so it goes out as it is; 936
// lacks it and would best-fit it to '-' for a program reading its command
// line in that code page ("\xAD" "d" would become the option "-d"), so the
// start is refused there.
TEST(WindowsChild, SoftHyphenGoesOutOnlyWhereTheCodePageHoldsIt) {
  const std::string argument = "\xC2\xAD" "d allow_url_include=1";
  ChildSpec launch;
  launch.arguments = {Probe(), "args", argument};
  StartFailure failure = StartFailure::kNone;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  if (!FitsCodePageExactly(L"\x00AD", ::GetACP())) {
    EXPECT_FALSE(child.IsStarted());
    EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);
    return;
  }
  ASSERT_TRUE(child.IsStarted()) << error;
  const std::string report = ReadAll(child);
  EXPECT_EQ(Lines(report, "warg=").back(), Hex(argument)) << report;
  const std::vector<std::string> ansi = Lines(report, "aarg=");
  ASSERT_EQ(ansi.size(), 3u) << report;
  EXPECT_EQ(ansi[2], Hex(Utf8ToCodePage(argument)));
  EXPECT_EQ(ansi[2].substr(0, 2), "ad");  // the soft hyphen itself, no '-'
}

TEST(WindowsChild, TextsACodePageWouldBestFitAreRefused) {
  EXPECT_TRUE(FitsCodePageExactly(L"plain C:\\a b\\x.php", 1252));
  EXPECT_TRUE(FitsCodePageExactly(L"\x00AD" L"d", 1252));  // 1252 holds the soft hyphen itself
  EXPECT_FALSE(FitsCodePageExactly(L"\x00AD" L"d", 936));  // best fit: '-'
  EXPECT_FALSE(FitsCodePageExactly(L"a\xFF02 -d \xFF02", 1252));  // fullwidth quote: best fit '"'
  EXPECT_FALSE(FitsCodePageExactly(L"\x2215" L"x", 1252));  // division slash: best fit '/'
  EXPECT_TRUE(FitsCodePageExactly(L"\x4E2D\x6587.php", 936));

  // A fullwidth quote: 1252 would best-fit it to '"' (refused); GBK (936)
  // holds it as a character of its own (passed, as one argument).
  const std::string argument = "x\xEF\xBC\x82 -d y";  // U+FF02
  ChildSpec launch;
  launch.arguments = {Probe(), "args", argument};
  StartFailure failure = StartFailure::kNone;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  if (FitsCodePageExactly(L"\xFF02", ::GetACP())) {
    ASSERT_TRUE(child.IsStarted()) << error;
    const std::string report = ReadAll(child);
    const std::vector<std::string> ansi = Lines(report, "aarg=");
    ASSERT_EQ(ansi.size(), 3u) << report;
    EXPECT_EQ(ansi[2], Hex(Utf8ToCodePage(argument)));
  } else {
    EXPECT_FALSE(child.IsStarted());
    EXPECT_EQ(failure, StartFailure::kSpawn);
    EXPECT_EQ(error, ERROR_NO_UNICODE_TRANSLATION);
  }
}

TEST(WindowsChild, BatchFilesAndCmdAreNeverStarted) {
  for (const char* program : {"C:\\site\\run.bat", "C:\\site\\RUN.CMD", "run.bat. ", "cmd.exe", "C:\\windows\\system32\\cmd"}) {
    ChildSpec launch;
    launch.arguments = {program, "/c", "echo x"};
    StartFailure failure = StartFailure::kNone;
    int error = 0;
    ChildProcess child = ChildProcess::Start(launch, failure, error);
    EXPECT_FALSE(child.IsStarted()) << program;
    EXPECT_EQ(failure, StartFailure::kSpawn) << program;
    EXPECT_EQ(error, ERROR_NOT_SUPPORTED) << program;
  }
}

TEST(WindowsChild, MissingProgramReportsFileNotFound) {
  ChildSpec launch;
  launch.arguments = {"C:\\no\\such\\program.exe"};
  StartFailure failure = StartFailure::kNone;
  int error = 0;
  ChildProcess child = ChildProcess::Start(launch, failure, error);
  EXPECT_FALSE(child.IsStarted());
  EXPECT_EQ(failure, StartFailure::kSpawn);
  EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
}

TEST(WindowsChild, EnvironmentAndDirectoryAreExactlyTheGivenOnes) {
  const std::string directory = ProgramDirectory() + "\\";
  ChildProcess child =
      StartProbe({"args"}, false, {"A=1", "B=x=y", "QUERY_STRING=\xC3\xA9\xE4\xB8\xAD"}, directory);
  const std::string report = ReadAll(child);
  const std::vector<std::string> environment = Lines(report, "env=");
  ASSERT_GE(environment.size(), 3u) << report;
  EXPECT_EQ(std::vector<std::string>(environment.begin(), environment.begin() + 3),
            (std::vector<std::string>{"A=1", "B=x=y", "QUERY_STRING=\xC3\xA9\xE4\xB8\xAD"}));
  // Wine adds its own few (WINE..., SystemDrive, SystemRoot) to every
  // process it starts; nothing of ours (PATH, TEMP ...) may follow.
  for (size_t i = 3; i < environment.size(); ++i) {
    const std::string& entry = environment[i];
    EXPECT_TRUE(entry.rfind("WINE", 0) == 0 || entry.rfind("SystemDrive=", 0) == 0 ||
                entry.rfind("SystemRoot=", 0) == 0)
        << entry;
  }
  const std::vector<std::string> cwd = Lines(report, "cwd=");
  ASSERT_EQ(cwd.size(), 1u);
  // GetCurrentDirectory gives no trailing separator except for a drive root.
  EXPECT_EQ(cwd[0] + "\\", directory);
}

TEST(WindowsChild, BigInputAndOutputFlowAtOnce) {
  // The probe answers each piece as it reads it: with 4 MiB each way, a
  // writer that did not drain the output meanwhile would stall on full pipes.
  ChildProcess child = StartProbe({"cat"}, true);
  std::string input(4 * 1048576, '\0');
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<char>(i * 7 + i / 4096);
  std::string output;
  size_t written = 0;
  char buffer[10240];
  bool ended = false;
  const uint64_t deadline = MonotonicMilliseconds() + 60000;
  while (MonotonicMilliseconds() < deadline && !ended) {
    if (child.InputOpen()) {
      if (written < input.size()) {
        int64_t n = child.WriteInput(input.data() + written, input.size() - written);
        ASSERT_NE(n, -2);
        if (n > 0) written += static_cast<size_t>(n);
      }
      if (written == input.size()) child.CloseInput();
    }
    int64_t n;
    while ((n = child.ReadOutput(buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
    ASSERT_NE(n, -2);
    ended = n == 0;
    if (!ended) child.WaitForProgress(100);
  }
  EXPECT_TRUE(ended);
  EXPECT_EQ(written, input.size());
  ASSERT_EQ(output.size(), input.size());
  EXPECT_TRUE(output == input);
}

TEST(WindowsChild, WriteToAChildThatHasGoneFails) {
  ChildProcess child = StartProbe({"echo", "done"}, true);
  EXPECT_EQ(ReadAll(child), "done");
  ASSERT_TRUE(child.WaitForExit(10000));
  std::string block(65536, 'x');
  int64_t result = 0;
  for (int i = 0; i < 100 && result != -2; ++i) {
    result = child.WriteInput(block.data(), block.size());
    if (result == -1) child.WaitForProgress(100);
  }
  EXPECT_EQ(result, -2);
}

// An inheritable handle the server holds for a moment (a socket between
// its accept and its marking, the ends of a child started by another
// thread) must not reach a child: here an inheritable pipe, whose reader
// sees its end as soon as our write end closes only if no child took one.
TEST(WindowsChild, OtherInheritableHandlesStayBehind) {
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, &inherit, 0));
  ChildProcess child = StartProbe({"sleep", "20000"});
  ::CloseHandle(writeEnd);
  DWORD available = 0;
  const BOOL peeked = ::PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr);
  const DWORD code = ::GetLastError();
  ::CloseHandle(readEnd);
  EXPECT_FALSE(peeked);
  EXPECT_EQ(code, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  EXPECT_FALSE(child.HasExited());
  child.Stop();
}

TEST(WindowsChild, ConcurrentChildrenHoldNoneOfEachOthersPipes) {
  // Long children started on another thread while short ones start here:
  // a long one that took a short one's output end would hold that output
  // open for its own life.
  std::vector<ChildProcess> longOnes;
  std::thread starter([&] {
    for (int i = 0; i < 6; ++i) longOnes.push_back(StartProbe({"sleep", "30000"}, true));
  });
  for (int i = 0; i < 6; ++i) {
    ChildProcess shortOne = StartProbe({"echo", "hi"}, true);
    shortOne.CloseInput();
    bool ended = false;
    const uint64_t started = MonotonicMilliseconds();
    EXPECT_EQ(ReadAll(shortOne, 15000, &ended), "hi");
    EXPECT_TRUE(ended);
    EXPECT_LT(MonotonicMilliseconds() - started, 10000u);
  }
  starter.join();
  ASSERT_EQ(longOnes.size(), 6u);
  for (ChildProcess& child : longOnes) {
    EXPECT_FALSE(child.HasExited());
    child.Stop();
  }
}

TEST(WindowsChild, StopEndsTheChildAndWhatItStarted) {
  ChildProcess child = StartProbe({"spawn"});
  std::string line;
  char buffer[256];
  const uint64_t deadline = MonotonicMilliseconds() + 15000;
  while (MonotonicMilliseconds() < deadline && line.find('\n') == std::string::npos) {
    int64_t n = child.ReadOutput(buffer, sizeof buffer);
    if (n > 0) line.append(buffer, static_cast<size_t>(n));
    if (n == 0 || n == -2) break;
    if (n == -1) child.WaitForProgress(100);
  }
  ASSERT_EQ(line.rfind("grandchild=", 0), 0u) << line;
  const DWORD id = static_cast<DWORD>(std::stoul(line.substr(11)));
  HANDLE grandchild = ::OpenProcess(SYNCHRONIZE, FALSE, id);
  ASSERT_NE(grandchild, nullptr);
  EXPECT_EQ(::WaitForSingleObject(grandchild, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  child.Stop();
  EXPECT_EQ(::WaitForSingleObject(grandchild, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  ::CloseHandle(grandchild);
  EXPECT_FALSE(child.Crashed());  // ended by us, not by a fault
}

TEST(WindowsChild, AFaultOfTheChildIsToldFromAnExit) {
  ChildProcess crashed = StartProbe({"crash"});
  EXPECT_NE(ReadAll(crashed).find("about to fail"), std::string::npos);
  ASSERT_TRUE(crashed.WaitForExit(15000));
  crashed.Stop();
  EXPECT_TRUE(crashed.Crashed());
  EXPECT_EQ(crashed.EndReason().code, 0xC0000005u);

  ChildProcess failed = StartProbe({"bogus-mode"});  // exits with 2
  ReadAll(failed);
  ASSERT_TRUE(failed.WaitForExit(15000));
  failed.Stop();
  EXPECT_FALSE(failed.Crashed());
}

}  // namespace
}  // namespace zevra::platform

namespace zevra::platform {
namespace {

TEST(WindowsPaths, ShortAliasesBelowTheRootAreSeen) {
  const std::string root = ProgramDirectory() + "\\alias_root_" + std::to_string(CurrentProcessId());
  ASSERT_TRUE(::CreateDirectoryW(Utf8ToWide(root).c_str(), nullptr));
  ASSERT_TRUE(::CreateDirectoryW(Utf8ToWide(root + "\\long folder name").c_str(), nullptr));
  const std::string longFile = root + "\\long folder name\\longscriptname.phpx";
  HANDLE file = ::CreateFileW(Utf8ToWide(longFile).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ::CloseHandle(file);
  wchar_t shortPath[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW(Utf8ToWide(longFile).c_str(), shortPath, MAX_PATH), 0u);
  const std::string shortFile = WideToUtf8(shortPath);
  ASSERT_NE(shortFile, longFile);

  EXPECT_FALSE(UsesShortNameAlias(root, longFile));
  EXPECT_FALSE(UsesShortNameAlias(root, root + "\\LONG FOLDER NAME\\LongScriptName.PHPX"));
  EXPECT_TRUE(UsesShortNameAlias(root, shortFile)) << shortFile;
  // Only the folder, or only the file, by its alias.
  const size_t cut = shortFile.rfind('\\');
  EXPECT_TRUE(UsesShortNameAlias(root, shortFile.substr(0, cut) + "\\longscriptname.phpx"));
  EXPECT_TRUE(UsesShortNameAlias(root, root + "\\long folder name" + shortFile.substr(cut)));
  // The root itself may be written any way the administrator likes.
  wchar_t shortRoot[MAX_PATH] = {};
  ASSERT_GT(::GetShortPathNameW(Utf8ToWide(root).c_str(), shortRoot, MAX_PATH), 0u);
  EXPECT_FALSE(UsesShortNameAlias(WideToUtf8(shortRoot), WideToUtf8(shortRoot) + "\\long folder name\\longscriptname.phpx"));
  EXPECT_FALSE(UsesShortNameAlias(root, root + "\\no such file.txt"));

  ::DeleteFileW(Utf8ToWide(longFile).c_str());
  ::RemoveDirectoryW(Utf8ToWide(root + "\\long folder name").c_str());
  ::RemoveDirectoryW(Utf8ToWide(root).c_str());
}

}  // namespace
}  // namespace zevra::platform
