#include <gtest/gtest.h>

#include "common/Text.h"
#include "server/process/Settings.h"

namespace zevra {
namespace {

constexpr uint32_t kPage = 4096;

TEST(ServerSettings, EmptyFileGivesEveryDefault) {
  ServerSettings s = ReadServerSettings(ProfileFile::Parse(""), kPage);
  EXPECT_EQ(s.Port, 80);
  EXPECT_EQ(s.WorkerThreads, 8);
  EXPECT_EQ(s.Connections, 1024);
  EXPECT_EQ(s.MaxConn, 10240);
  EXPECT_EQ(s.KeepAlive, 0);
  EXPECT_TRUE(s.WriteAccessLog);
  EXPECT_TRUE(s.EnableGZIP);
  EXPECT_EQ(s.GZIPCompressLevel, 3);
  EXPECT_EQ(s.GatewayTimeout, 30000);
  EXPECT_TRUE(s.Debug);
  EXPECT_EQ(s.Buffer, 40960);
  EXPECT_EQ(s.ServerAdmin, "webmaster");
  EXPECT_EQ(s.FileMapping, 16 * 1048576);
  EXPECT_TRUE(s.DirectoryListing);
}

TEST(ServerSettings, ValuesConvertAsTheServerReadsThem) {
  ServerSettings s = ReadServerSettings(ProfileFile::Parse("[Listen]\nPort=\n"
                                                           "[Performance]\nKeepAlive=abc\nWorkerThreads= 12x\n"
                                                           "Buffer=-5\n"
                                                           "[Settings]\nDirectoryListing=yes\nDebug=tRuE\n"
                                                           "EnableGZIP=1\nWriteAccessLog=\n"
                                                           "ServerAdmin=\"  admin@example.test  \"\n"),
                                        kPage);
  EXPECT_EQ(s.Port, 0);
  EXPECT_EQ(s.KeepAlive, 0);
  EXPECT_EQ(s.WorkerThreads, 12);
  EXPECT_EQ(s.Buffer, -5);
  EXPECT_FALSE(s.DirectoryListing);
  EXPECT_TRUE(s.Debug);
  EXPECT_FALSE(s.EnableGZIP);
  EXPECT_FALSE(s.WriteAccessLog);
  EXPECT_EQ(s.ServerAdmin, "  admin@example.test  ");
}

TEST(ServerSettings, LongServerAdminIsCut) {
  ServerSettings s =
      ReadServerSettings(ProfileFile::Parse("[Settings]\nServerAdmin=" + std::string(200, 'w') + "\n"), kPage);
  EXPECT_EQ(s.ServerAdmin, std::string(127, 'w'));
}

TEST(ReadInteger, ReadsLikeAtol) {
  EXPECT_EQ(ReadInteger("  42abc"), 42);
  EXPECT_EQ(ReadInteger("-17"), -17);
  EXPECT_EQ(ReadInteger("+9"), 9);
  EXPECT_EQ(ReadInteger("abc"), 0);
  EXPECT_EQ(ReadInteger(""), 0);
  EXPECT_EQ(ReadInteger("- 5"), 0);
  EXPECT_EQ(ReadInteger("\t 7 8"), 7);
}

TEST(FileMappingWindow, FollowsTheGranularity) {
  EXPECT_EQ(FileMappingWindow(16, kPage), 16 * 1048576);
  EXPECT_EQ(FileMappingWindow(0, kPage), 4096);
  EXPECT_EQ(FileMappingWindow(-3, kPage), 4096);
  EXPECT_EQ(FileMappingWindow(1, 65536), 1048576);
  // A granularity that does not divide the window rounds it down.
  EXPECT_EQ(FileMappingWindow(1, 3000), 1048576 - 1048576 % 3000);
  EXPECT_EQ(FileMappingWindow(1, 2 * 1048576), 2 * 1048576);
  // 2048 MiB and more do not fit in 32 bits: the largest multiple below 2 GiB.
  EXPECT_EQ(FileMappingWindow(2047, kPage), 2047 * 1048576);
  EXPECT_EQ(FileMappingWindow(2048, kPage), 2147483648LL - 4096);
  EXPECT_EQ(FileMappingWindow(100000, 65536), 2147483648LL - 65536);
}

TEST(AccessLogFileName, DatesWithoutLeadingZeros) {
  EXPECT_EQ(AccessLogFileName({2016, 7, 31, 0, 0, 0, 0}), "Access_2016731.log");
  EXPECT_EQ(AccessLogFileName({2016, 11, 5, 0, 0, 0, 0}), "Access_2016115.log");
  EXPECT_EQ(AccessLogFileName({2017, 3, 1, 0, 0, 0, 0}), "Access_201731.log");
  // 1 November and 11 January share one file.
  EXPECT_EQ(AccessLogFileName({2020, 11, 1, 0, 0, 0, 0}), AccessLogFileName({2020, 1, 11, 0, 0, 0, 0}));
  EXPECT_EQ(AccessLogFileName({2020, 11, 1, 0, 0, 0, 0}), "Access_2020111.log");
}

TEST(ReadBoolean, OnlyTrueInAnyCase) {
  EXPECT_TRUE(ReadBoolean("True"));
  EXPECT_TRUE(ReadBoolean("TRUE"));
  EXPECT_TRUE(ReadBoolean("true"));
  EXPECT_FALSE(ReadBoolean("False"));
  EXPECT_FALSE(ReadBoolean("1"));
  EXPECT_FALSE(ReadBoolean("yes"));
  EXPECT_FALSE(ReadBoolean(""));
  EXPECT_FALSE(ReadBoolean(" true"));
}

}  // namespace
}  // namespace zevra
