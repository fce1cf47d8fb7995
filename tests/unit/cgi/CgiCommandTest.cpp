// The program setting becomes an argument vector once; the script path is
// one argument whatever it holds.
#include "server/cgi/CgiCommand.h"

#include <gtest/gtest.h>

namespace zevra {
namespace {

using Args = std::vector<std::string>;

TEST(CgiCommand, PlaceholderBecomesOneArgumentAndWorkingDirectoryIsTheProgramsDirectory) {
  CgiCommand c = BuildCgiCommand("/usr/bin/php-cgi %s", "/srv/site/a.php");
  EXPECT_EQ(c.arguments, (Args{"/usr/bin/php-cgi", "/srv/site/a.php"}));
  EXPECT_EQ(c.workingDirectory, "/usr/bin/");
  EXPECT_EQ(c.commandLine, "/usr/bin/php-cgi \"/srv/site/a.php\"");
}

TEST(CgiCommand, BareProgramWithoutPlaceholderRunsInTheServersDirectory) {
  CgiCommand c = BuildCgiCommand("php-cgi", "/srv/site/a.php");
  EXPECT_EQ(c.arguments, (Args{"php-cgi"}));
  EXPECT_EQ(c.workingDirectory, "");
  EXPECT_EQ(c.commandLine, "php-cgi");
}

TEST(CgiCommand, OnlyTheFirstPlaceholderIsReplaced) {
  CgiCommand c = BuildCgiCommand("/bin/x %s %s", "/s/a.cgi");
  EXPECT_EQ(c.arguments, (Args{"/bin/x", "/s/a.cgi", "%s"}));
  EXPECT_EQ(c.commandLine, "/bin/x \"/s/a.cgi\" %s");
}

TEST(CgiCommand, QuotesGroupBlanksAndAreDropped) {
  CgiCommand c = BuildCgiCommand("\"/opt/my php/php-cgi\"  -d\t\"a b\" \"\" %s", "/s/a.php");
  EXPECT_EQ(c.arguments, (Args{"/opt/my php/php-cgi", "-d", "a b", "", "/s/a.php"}));
  EXPECT_EQ(c.workingDirectory, "/opt/my php/");
}

TEST(CgiCommand, ScriptPathWithQuotesAndBlanksAddsNoArgument) {
  // The request controls the script path: in a quoted command line this
  // would end the quote and hand php-cgi an option of the client's choice.
  const std::string hostile = "/s/x\" -d auto_prepend_file=/etc/passwd \"y.php";
  EXPECT_EQ(BuildCgiCommand("/usr/bin/php-cgi %s", hostile).arguments, (Args{"/usr/bin/php-cgi", hostile}));
  EXPECT_EQ(BuildCgiCommand("/usr/bin/php-cgi \"%s\"", hostile).arguments, (Args{"/usr/bin/php-cgi", hostile}));
}

TEST(CgiCommand, PlaceholderInsideAnArgumentKeepsItsNeighbours) {
  EXPECT_EQ(BuildCgiCommand("/bin/run -f%s -v", "/s/a b.cgi").arguments, (Args{"/bin/run", "-f/s/a b.cgi", "-v"}));
}

TEST(CgiCommand, PlaceholderAsTheProgramGivesNoWorkingDirectory) {
  CgiCommand c = BuildCgiCommand("%s", "/srv/cgi/run.sh");
  EXPECT_EQ(c.arguments, (Args{"/srv/cgi/run.sh"}));
  EXPECT_EQ(c.workingDirectory, "");
}

TEST(CgiCommand, EmptySettingGivesNoProgram) {
  EXPECT_TRUE(BuildCgiCommand("", "/s/a.php").arguments.empty());
  EXPECT_TRUE(BuildCgiCommand("  \t ", "/s/a.php").arguments.empty());
}

TEST(CgiCommand, SplitWithoutScriptLeavesPlaceholders) {
  EXPECT_EQ(SplitProgramSetting("/a/b %s", nullptr), (Args{"/a/b", "%s"}));
}

}  // namespace
}  // namespace zevra
