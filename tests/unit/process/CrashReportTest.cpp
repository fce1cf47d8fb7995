// The crash line, to the byte.
#include "server/process/CrashReport.h"

#include <gtest/gtest.h>

#include <string>

namespace zevra {
namespace {

std::string Message(const platform::CrashRecord& record, std::string_view pid) {
  char out[1024];
  return std::string(out, FormatCrashMessage(record, pid, out, sizeof out));
}

TEST(CrashReportTest, AccessViolationLineAsTheDaemonLogShowsIt) {
  platform::CrashRecord record;
  record.code = platform::kExceptionAccessViolation;
  record.address = 0x1234;
  record.parameterCount = 2;
  EXPECT_EQ(Message(record, "4242"),
            "[ Core ] Error - Worker [4242] Crashed. Exception {Code:0xC0000005, Address:0x1234, Flags:0x00, "
            "Record:0x00, Params:0x02, Info[1]:0x00, Info[2]:0x00}");

  // Odd digit counts get one leading zero; 64-bit addresses print whole.
  record.address = 0x7f12345678a;
  record.parameters[0] = 1;
  record.parameters[1] = 0x10;
  EXPECT_EQ(Message(record, "7"),
            "[ Core ] Error - Worker [7] Crashed. Exception {Code:0xC0000005, Address:0x07F12345678A, Flags:0x00, "
            "Record:0x00, Params:0x02, Info[1]:0x01, Info[2]:0x10}");
}

TEST(CrashReportTest, RecordWithoutParametersEndsAfterRecord) {
  platform::CrashRecord record;
  record.code = platform::kExceptionStackBufferOverrun;
  record.address = 0xABC;
  record.flags = 1;
  EXPECT_EQ(Message(record, ""),
            "[ Core ] Error - Worker [] Crashed. Exception {Code:0xC0000409, Address:0x0ABC, Flags:0x01, "
            "Record:0x00, }");
}

TEST(CrashReportTest, ParameterListIsCappedAndSeparated) {
  platform::CrashRecord record;
  record.code = 1;
  record.parameterCount = 99;  // never more than the system's fifteen
  for (uint32_t i = 0; i < platform::kMaxCrashParameters; ++i) record.parameters[i] = i;
  std::string text = Message(record, "1");
  EXPECT_NE(text.find("Params:0x0F, Info[1]:0x00, Info[2]:0x01, "), std::string::npos);
  EXPECT_NE(text.find("Info[15]:0x0E}"), std::string::npos);
  EXPECT_EQ(text.find("Info[16]"), std::string::npos);
}

TEST(CrashReportTest, LineHasTimeStampAndEndsInCrLfEvenWhenCut) {
  platform::CrashRecord record;
  record.code = platform::kExceptionIllegalInstruction;
  record.address = 0x10;
  platform::CivilTime time{2026, 3, 7, 4, 5, 6, 0};
  char out[256];
  std::string line(out, FormatCrashLine(record, "12", time, out, sizeof out));
  EXPECT_EQ(line,
            "2026-03-07 04:05:06 - - [ Core ] Error - Worker [12] Crashed. Exception {Code:0xC000001D, "
            "Address:0x10, Flags:0x00, Record:0x00, }\r\n");

  char small[40];
  std::string cut(small, FormatCrashLine(record, "12", time, small, sizeof small));
  EXPECT_EQ(cut.size(), sizeof small);
  EXPECT_EQ(cut.substr(0, 24), "2026-03-07 04:05:06 - - ");
  EXPECT_EQ(cut.substr(cut.size() - 2), "\r\n");
}

TEST(CrashReportTest, CrashClockAgreesWithTheLocalClock) {
  // The clock used inside the hook does its own calendar arithmetic.
  platform::CivilTime a = platform::LocalTimeNow();
  platform::CivilTime b = platform::CrashLocalTime();
  platform::CivilTime c = platform::LocalTimeNow();
  auto seconds = [](const platform::CivilTime& t) {
    return ((int64_t{t.year} * 400 + t.month * 32 + t.day) * 24 + t.hour) * 3600 + t.minute * 60 + t.second;
  };
  EXPECT_LE(seconds(a), seconds(b));
  EXPECT_LE(seconds(b), seconds(c));
  EXPECT_EQ(b.weekday, a.weekday);
}

}  // namespace
}  // namespace zevra
