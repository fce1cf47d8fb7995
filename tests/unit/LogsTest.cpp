#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/File.h"
#include "server/response/Logs.h"

namespace zevra {
namespace {

TEST(LogTimestamp, ZeroPaddedLocalTime) {
  EXPECT_TRUE(std::regex_match(LogTimestamp(), std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << LogTimestamp();
}

TEST(EscapeLogText, ControlBytesCannotSplitALine) {
  EXPECT_EQ(EscapeLogText("GET"), "GET");
  EXPECT_EQ(EscapeLogText("a\r\nb"), "a\\x0D\\x0Ab");
  EXPECT_EQ(EscapeLogText(std::string("x\0y\x7F\x1B", 5)), "x\\x00y\\x7F\\x1B");
  EXPECT_EQ(EscapeLogText("中文 ok \\"), "中文 ok \\");
}

TEST(AppendErrorLog, ConcurrentLinesLandWhole) {
  char name[] = "/tmp/zevra_errlog_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  platform::File keep(fd);
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
  std::remove(name);
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

TEST(AppendAccessLog, ClosedLogLosesLinesSilently) {
  OpenAccessLog("/nonexistent/dir/Access.log");
  EXPECT_FALSE(AccessLogIsOpen());
  AppendAccessLog("nothing happens");
}

}  // namespace
}  // namespace zevra
