#include <gtest/gtest.h>

#include <regex>

#include "server/process/CommandLine.h"

namespace zevra {
namespace {

TEST(RecognizeCommand, SubstringSearchInFixedOrder) {
  EXPECT_EQ(RecognizeCommand("/opt/zevra/Zevra /INSTALL"), "/install");
  EXPECT_EQ(RecognizeCommand("Zevra /install /v"), "/v");
  EXPECT_EQ(RecognizeCommand("Zevra /validate"), "/v");
  EXPECT_EQ(RecognizeCommand("Zevra /start"), "");
  EXPECT_EQ(RecognizeCommand("Zevra"), "");
  EXPECT_EQ(RecognizeCommand("Zevra /Remove"), "/remove");
  EXPECT_EQ(RecognizeCommand("Zevra /worker /daemon"), "/daemon");
  EXPECT_EQ(RecognizeCommand("Zevra /?"), "/?");
  // The program path is part of the text: a folder named like an option wins.
  EXPECT_EQ(RecognizeCommand("/srv/vhosts/Zevra /worker"), "/v");
}

TEST(BuildUsageText, ReplacesEveryPlaceholder) {
  const std::string text = BuildUsageText("HOST-1", "Zevra", "Build Date: 2016-7-31 17:13:15\r\nNotice");
  EXPECT_EQ(text,
            "Zevra/0.2.9, HOST-1\r\nBuild Date: 2016-7-31 17:13:15\r\nNotice\r\n\r\nUsage: Zevra [options]\r\n"
            "/? Print this screen.\r\n/install Install Zevra as a service.\r\n/remove Remove Zevra service.\r\n"
            "/v Print Zevra version.");
}

TEST(BuildUsageText, PlaceholdersAreReplacedInOrder) {
  // A computer name holding a later placeholder is replaced again; an
  // earlier one is left.
  const std::string text = BuildUsageText("a%cb%n", "prog", "BLOCK");
  EXPECT_NE(text.find("Zevra/0.2.9, aBLOCKb%n\r\n"), std::string::npos) << text;
}

TEST(BuildBlock, DateWithoutLeadingZerosThenNotice) {
  const std::string block = BuildBlock();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(block, m, std::regex(R"(Build Date: (\d{4})-([1-9]\d?)-([1-9]\d?) \d\d:\d\d:\d\d\r\n.+)")))
      << block;
  EXPECT_EQ(block.find('\n', block.find('\n') + 1), std::string::npos);
}

}  // namespace
}  // namespace zevra
