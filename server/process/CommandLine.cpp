#include "server/process/CommandLine.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "common/Text.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

constexpr std::array<const char*, 6> kOptions = {"/?", "/v", "/daemon", "/worker", "/install", "/remove"};

constexpr const char* kUsageTemplate =
    "%n/%v, %h\r\n%c\r\n\r\nUsage: %f [options]\r\n/? Print this screen.\r\n/install Install %n as a "
    "service.\r\n/remove Remove %n service.\r\n/v Print %n version.";

constexpr const char* kOwnershipNotice = "Copyright (C) The Zevra developers. All rights reserved.";

// The compiler's __DATE__ ("Dec  8 2026") and __TIME__ ("17:13:15") of this
// file's build, as year-month-day hour:minute:second without leading zeros
// in month and day.
std::string BuildStamp() {
  static const char* kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const char* date = __DATE__;
  int month = 1;
  const char* at = std::strstr(kMonths, std::string(date, 3).c_str());
  if (at != nullptr) month = static_cast<int>((at - kMonths) / 3) + 1;
  int day = std::atoi(date + 4);
  int year = std::atoi(date + 7);
  char text[48];
  std::snprintf(text, sizeof text, "%d-%d-%d %s", year, month, day, __TIME__);
  return text;
}

}  // namespace

std::string RecognizeCommand(std::string_view commandLine) {
  const std::string folded = AsciiLower(commandLine);
  for (const char* option : kOptions) {
    if (folded.find(option) != std::string::npos) return option;
  }
  return std::string();
}

std::string BuildBlock() { return "Build Date: " + BuildStamp() + "\r\n" + kOwnershipNotice; }

std::string BuildUsageText(std::string_view computerName, std::string_view programFileName,
                           std::string_view buildBlock) {
  // Each placeholder in all its occurrences, in this order: a computer name
  // holding "%c" is therefore replaced as well, as it always was.
  std::string text = ReplaceAll(kUsageTemplate, "%n", kProductName);
  text = ReplaceAll(text, "%v", kVersionNumber);
  text = ReplaceAll(text, "%h", computerName);
  text = ReplaceAll(text, "%c", buildBlock);
  text = ReplaceAll(text, "%f", programFileName);
  return text;
}

}  // namespace zevra
