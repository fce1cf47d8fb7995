// What every layer shares: paths below the program directory, the OS-error
// detail, and the end of a request (its head, body and spool files freed).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/System.h"
#include "server/core/ConnectionContext.h"
#include "server/core/OsDetail.h"
#include "server/core/ProgramPaths.h"
#include "server/core/Runtime.h"
#include "tests/support/FakeLink.h"
#include "tests/support/TempDirectory.h"

namespace zevra {
namespace {

class ProgramPathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_startup.programDirectory;
    g_startup.programDirectory = dir_.Path();
  }
  void TearDown() override { g_startup.programDirectory = saved_; }

  testfiles::TempDirectory dir_;
  std::string saved_;
};

TEST_F(ProgramPathsTest, PathsJoinWithTheSeparator) {
  const std::string sep(1, platform::kPathSeparator);
  EXPECT_EQ(JoinPath("/opt/z", {}), "/opt/z");
  EXPECT_EQ(JoinPath("/opt/z", {"WebCache", "cache_1_2"}), "/opt/z" + sep + "WebCache" + sep + "cache_1_2");
  EXPECT_EQ(ProgramPath({"error.log"}), dir_.Path() + sep + "error.log");
  EXPECT_EQ(PidFilePath(), dir_.Path() + sep + "Zevra.pid");
  EXPECT_EQ(SpoolFilePath(7, false), dir_.Path() + sep + "WebTemp" + sep + "Recving_7.Zevra");
  EXPECT_EQ(SpoolFilePath(7, true), dir_.Path() + sep + "WebTemp" + sep + "Done_7.Zevra");
  EXPECT_EQ(SpoolPath("Cgi_", 18446744073709551615ull),
            dir_.Path() + sep + "WebTemp" + sep + "Cgi_18446744073709551615.Zevra");
}

TEST(OsDetail, CodeAndSystemTextInBothForms) {
  const std::string text = platform::SystemErrorText(2);
  EXPECT_EQ(OsDetail(2), "OS信息 : (2) " + text);
  EXPECT_EQ(OsDetail(2, kOsDetailLeadFullWidth), "OS信息：(2) " + text);
  EXPECT_EQ(OsDetail(-1).rfind("OS信息 : (-1) ", 0), 0u);
}

TEST_F(ProgramPathsTest, ResetRequestStateFreesEverythingTheRequestHeld) {
  dir_.MakeDirectory("WebTemp");
  fakes::FakeLink link;
  ConnectionContext context;
  link.SetContext(4, &context);
  context.spoolNumber = 31;
  context.bodySpooled = 1;
  context.bodyFile = platform::File::CreateAlways(SpoolFilePath(31, false));
  ASSERT_TRUE(context.bodyFile.IsOpen());
  dir_.Write("WebTemp/Done_31.Zevra", "body");
  context.headBuffer.assign(100000, 'h');  // beyond what is kept between requests
  context.headLength = 100000;
  context.busy = 1;
  context.state = kStateHandling;
  context.requestKind = kKindPost;
  context.contentLength = 4;
  context.bodyReceived = 4;

  ResetRequestState(4);
  EXPECT_EQ(context.busy, 0);
  EXPECT_EQ(context.state, kStateIdle);
  EXPECT_EQ(context.requestKind, kKindNone);
  EXPECT_EQ(context.headLength, 0);
  EXPECT_EQ(context.contentLength, 0);
  EXPECT_EQ(context.bodyReceived, 0);
  EXPECT_EQ(context.bodySpooled, 0);
  EXPECT_EQ(context.headBuffer.capacity() < 100000, true);
  EXPECT_FALSE(context.bodyFile.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(SpoolFilePath(31, false)));
  EXPECT_FALSE(std::filesystem::exists(SpoolFilePath(31, true)));
}

}  // namespace
}  // namespace zevra
