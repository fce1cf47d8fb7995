#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeLink.h"
#include "tests/support/TempDirectory.h"
#include "common/Text.h"
#include "platform/File.h"
#include "server/response/Logs.h"

namespace zevra {
namespace {

TEST(LogTimestamp, ZeroPaddedLocalTime) {
  EXPECT_TRUE(std::regex_match(LogTimestamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << LogTimestamp();
}

TEST(LogTimestamp, SameTextWithinTheSecondAndOnOtherThreads) {
  // Kept per thread for the second: a second thread makes its own and
  // must come to the same text (or the next second's).
  const std::string first = LogTimestamp();
  std::string other;
  std::thread([&] { other = LogTimestamp(); }).join();
  const std::string again = LogTimestamp();
  EXPECT_TRUE(other == first || other == again) << first << " / " << other << " / " << again;
}

TEST(AppendZeroPadded, PadsLikePercentZeroD) {
  struct Case {
    int64_t value;
    int width;
    const char* text;
  };
  const Case cases[] = {{7, 2, "07"},   {2026, 4, "2026"}, {12345, 2, "12345"},
                        {0, 1, "0"},    {-5, 3, "-005"},   {INT64_MIN, 1, "-9223372036854775808"}};
  for (const Case& c : cases) {
    std::string out = "x";
    AppendZeroPadded(out, c.value, c.width);
    EXPECT_EQ(out, std::string("x") + c.text) << c.value;
  }
  std::string clock;
  AppendClockTime(clock, 9, 5, 3);
  EXPECT_EQ(clock, "09:05:03");
}

TEST(AccessLogMessage, OneLineInTheAccessForm) {
  fakes::FakeLink link;
  link.SetRemote(7, "10.1.2.3", 6543);
  HttpRequest request;
  request.Method = "GET";
  request.Directory = "/a b/";
  request.FileName = "c.txt";
  request.Query = "q=1";
  request.UserAgent = "agent\r\nforged";
  EXPECT_EQ(AccessLogMessage(7, request, "200", "1234"),
            "10.1.2.3:6543 \"GET /a b/c.txt HTTP/1.1\" 200 1234 \"agent\\x0D\\x0Aforged\"");
  // A connection that has gone: no address, port 0, the rest as it was.
  link.SetGone(8, true);
  request.UserAgent.clear();
  EXPECT_EQ(AccessLogMessage(8, request, "304", "0"), ":0 \"GET /a b/c.txt HTTP/1.1\" 304 0 \"\"");
}

TEST(AccessLogMessage, ControlBytesInThePathAreEscapedToo) {
  fakes::FakeLink link;
  HttpRequest request;
  request.Method = "GET";
  request.Directory = std::string(1, platform::kPathSeparator) + "d\x01" + platform::kPathSeparator;
  request.FileName = "f\x7F.txt";
  EXPECT_EQ(AccessLogMessage(1, request, "404", "12"),
            "127.0.0.1:50000 \"GET /d\\x01/f\\x7F.txt HTTP/1.1\" 404 12 \"\"");
}

TEST(EscapeLogText, ControlBytesCannotSplitALine) {
  EXPECT_EQ(EscapeLogText("GET"), "GET");
  EXPECT_EQ(EscapeLogText("a\r\nb"), "a\\x0D\\x0Ab");
  EXPECT_EQ(EscapeLogText(std::string("x\0y\x7F\x1B", 5)), "x\\x00y\\x7F\\x1B");
  EXPECT_EQ(EscapeLogText("中文 ok \\"), "中文 ok \\");
}

TEST(AppendErrorLog, ConcurrentLinesLandWhole) {
  testfiles::TempDirectory dir;
  const std::string name = dir.Write("error.log", "");
  OpenErrorLog(name);
  constexpr int kThreads = 4, kLines = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) AppendErrorLog("thread " + std::to_string(t) + " line " + std::string(200, 'x'));
    });
  }
  for (auto& th : threads) th.join();
  CloseErrorLog();
  std::string content;
  ASSERT_TRUE(platform::ReadWholeFile(name, content));
  const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - - thread \d line x{200})");
  size_t count = 0, start = 0;
  while (start < content.size()) {
    size_t end = content.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    ASSERT_TRUE(std::regex_match(content.substr(start, end - start), line)) << content.substr(start, end - start);
    ++count;
    start = end + 2;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}

TEST(AppendAccessLog, DeferredLinesGoOutInOrderAndBeforeTheLogCloses) {
  testfiles::TempDirectory dir;
  const std::string name = dir.Write("access.log", "");
  fakes::FakeLink link;
  link.SetDefersWrites(true);
  OpenAccessLog(name);
  AppendAccessLog("first");
  AppendAccessLog("second");
  // Held by the link until its turn ends: not in the file yet.
  std::string content;
  ASSERT_TRUE(platform::ReadWholeFile(name, content));
  EXPECT_EQ(content, "");
  EXPECT_EQ(link.DeferredCount(), 2u);
  // Closing the log writes them first: none is lost, and none is written
  // later to a handle that is closed (or by then another file's).
  CloseAccessLog();
  EXPECT_EQ(link.DeferredCount(), 0u);
  ASSERT_TRUE(platform::ReadWholeFile(name, content));
  const std::regex lines(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - - first\r\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - - second\r\n)");
  EXPECT_TRUE(std::regex_match(content, lines)) << content;
}

TEST(AppendAccessLog, ClosedLogLosesLinesSilently) {
  OpenAccessLog("/nonexistent/dir/Access.log");
  EXPECT_FALSE(AccessLogIsOpen());
  AppendAccessLog("nothing happens");
}

}  // namespace
}  // namespace zevra
