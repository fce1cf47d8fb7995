// Supervising a whole program as the daemon does (start, wait, end with a
// code of our choosing) and the console's guarded end of a process, against
// a real child: this test program itself, held in a waiting case that runs
// only when asked for. Built for Windows (names there fold case; the POSIX
// side has platform/ProcessTest).
#include <gtest/gtest.h>

#include <string>

#include "platform/ProcessControl.h"
#include "platform/Service.h"
#include "platform/System.h"

namespace zevra::platform {
namespace {

// The child: waits a bounded while, so that a test that fails to end it
// leaves nothing running for long.
TEST(ProgramControlChild, DISABLED_WaitsToBeEnded) { SleepMilliseconds(30000); }

Program StartWaitingChild() {
  return Program::Start({ProgramPath(), "--gtest_also_run_disabled_tests",
                         "--gtest_filter=ProgramControlChild.DISABLED_WaitsToBeEnded"});
}

TEST(ProgramControl, EndedWithACodeTheWaiterReadsWhole) {
  Program child = StartWaitingChild();
  ASSERT_TRUE(child.IsStarted()) << LastErrorCode();
  EXPECT_NE(child.Id(), CurrentProcessId());
  // The daemon's stop code is above 255: it must arrive whole, not as its low byte.
  ASSERT_TRUE(child.End(10005));
  ExitReason reason;
  ASSERT_TRUE(child.WaitForEnd(reason));
  EXPECT_FALSE(reason.EndedBySystem());
  EXPECT_EQ(reason.code, 10005u);
  EXPECT_EQ(reason.StatusNumber(), 10005u);
}

TEST(ProgramControl, EndsOnlyAProcessThatRunsTheNamedProgram) {
  Program child = StartWaitingChild();
  ASSERT_TRUE(child.IsStarted()) << LastErrorCode();
  // Another program's name (as a stale or forged pid file would lead to): spared.
  const std::string other = ProgramDirectory() + "\\Zevra.exe";
  EXPECT_FALSE(EndProgramRunning(child.Id(), other));
  EXPECT_FALSE(EndProgramRunning(child.Id(), ProgramPath() + ".old"));
  // The same program, named with other letter case (Windows' names fold): ended.
  std::string upper = ProgramPath();
  for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  EXPECT_TRUE(EndProgramRunning(child.Id(), upper));
  ExitReason reason;
  ASSERT_TRUE(child.WaitForEnd(reason));
  EXPECT_EQ(reason.code, 1u);
  EXPECT_FALSE(EndProgramRunning(child.Id(), ProgramPath()));  // gone
}

TEST(ServiceManager, UnknownServiceIsNotInstalled) {
  const std::string name = "ZevraNoSuchService" + std::to_string(CurrentProcessId());
  EXPECT_FALSE(SystemServiceExists(name));
  EXPECT_EQ(QuerySystemServiceState(name), ServiceState::kNotInstalled);
  EXPECT_FALSE(OpenSystemService(name));
  EXPECT_EQ(LastErrorCode(), kErrorServiceDoesNotExist);
  EXPECT_FALSE(StartSystemService(name));
  std::string description;
  EXPECT_FALSE(QuerySystemServiceDescription(name, description));
  EXPECT_TRUE(SystemServiceProcessIds(name).empty());
}

}  // namespace
}  // namespace zevra::platform
