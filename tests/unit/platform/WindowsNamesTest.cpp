// The text rules of Windows names and command lines, on every build: the
// segments Windows would misread, the device names, and quoting that the
// C runtime's parser undoes exactly.
#include "platform/WindowsNames.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zevra::platform {
namespace {

TEST(WindowsSegments, ThoseWindowsWouldReadAsSomethingElseAreRefused) {
  for (const char* refused : {"a.php::$DATA", "a.php:x", "C:", "a.php.", "a.php ", "a.php. .", "x\\..", "a\"b",
                              "a<b", "a>b", "a|b", "a?b", "a*b", "a\tb", "a\x01" "b"}) {
    EXPECT_FALSE(IsWindowsSafeSegment(refused)) << refused;
  }
  EXPECT_FALSE(IsWindowsSafeSegment(std::string("a\0b", 3)));
  for (const char* kept : {"a.php", "index.html", ".hidden", "a b.php", "a~1.php", "cond", "concat.php", "NULL",
                           "com10", "lpt10.txt", "\xE4\xB8\xAD\xE6\x96\x87.php", "", ".", ".."}) {
    EXPECT_TRUE(IsWindowsSafeSegment(kept)) << kept;
  }
}

TEST(WindowsSegments, DeviceNamesInAnyCaseWithOrWithoutExtension) {
  for (const char* device : {"CON", "con", "Nul", "nul.txt", "NUL.php", "aux.a.b", "prn", "COM1", "com9.php",
                             "LPT1", "lpt9.html", "COM0", "lpt0.txt", "con.d", "nul .txt", "COM\xC2\xB9", "lpt\xC2\xB2.x", "CONIN$", "conout$"}) {
    EXPECT_TRUE(IsReservedDeviceName(device)) << device;
    EXPECT_FALSE(IsWindowsSafeSegment(device)) << device;
  }
  for (const char* name : {"LPT10", "CONSOLE", "nul_", "xnul", "com", "lpt", "COM\xC2\xB4"}) {
    EXPECT_FALSE(IsReservedDeviceName(name)) << name;
  }
}

TEST(WindowsSegments, ShortAliasesHaveATildeBeforeALetterOrDigit) {
  EXPECT_TRUE(MayBeShortAlias("SCRIPT~1.PHP"));
  EXPECT_TRUE(MayBeShortAlias("/dir/LONGFO~12/x"));
  EXPECT_TRUE(MayBeShortAlias("/LONG~W01.PHP"));
  EXPECT_FALSE(MayBeShortAlias("backup~"));
  EXPECT_FALSE(MayBeShortAlias("a~.php~/x"));
  EXPECT_FALSE(MayBeShortAlias("a.php"));
}

// The Microsoft C runtime's splitting of a command line (after the program
// name), written out here as the reference the quoting must satisfy.
std::vector<std::string> SplitLikeTheCRuntime(const std::string& line) {
  std::vector<std::string> arguments;
  size_t i = 0;
  for (;;) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return arguments;
    std::string argument;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      size_t backslashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++backslashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        argument.append(backslashes / 2, '\\');
        if (backslashes % 2 == 1) {
          argument += '"';
        } else if (quoted && i + 1 < line.size() && line[i + 1] == '"') {
          argument += '"';  // "" inside quotes: a quote, and the quoting goes on
          ++i;
        } else {
          quoted = !quoted;
        }
        ++i;
      } else {
        argument.append(backslashes, '\\');
        if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) argument += line[i++];
      }
    }
    arguments.push_back(argument);
  }
}

TEST(WindowsCommandLine, EveryArgumentComesBackWhole) {
  const std::vector<std::string> arguments = {
      "plain", "a b", "", "x\" -d auto_prepend_file=y \"z", "trailing\\", "two\\\\", "\\\\server\\share\\",
      "back\\\"quote", "\\\"", "\"", "a&b|c^d%e%", "tab\there", "new\nline", "\xC2\xAD" "d", "C:\\a b\\c.php",
  };
  for (const std::string& argument : arguments) {
    EXPECT_EQ(SplitLikeTheCRuntime(QuoteWindowsArgument(argument)), std::vector<std::string>{argument})
        << QuoteWindowsArgument(argument);
  }
  std::string line;
  std::vector<std::string> all = {"C:\\Program Files\\php\\php-cgi.exe"};
  all.insert(all.end(), arguments.begin(), arguments.end());
  ASSERT_TRUE(BuildWindowsCommandLine(all, line));
  // The program is quoted as it is (its name is read up to the next quote).
  ASSERT_EQ(line.rfind("\"C:\\Program Files\\php\\php-cgi.exe\" ", 0), 0u) << line;
  EXPECT_EQ(SplitLikeTheCRuntime(line.substr(line.find("\" ") + 2)), arguments);
}

TEST(WindowsCommandLine, QuotingIsOnlyWhereNeeded) {
  EXPECT_EQ(QuoteWindowsArgument("C:\\site\\a.php"), "C:\\site\\a.php");
  EXPECT_EQ(QuoteWindowsArgument("C:\\my site\\"), "\"C:\\my site\\\\\"");
  EXPECT_EQ(QuoteWindowsArgument(""), "\"\"");
  std::string line;
  ASSERT_TRUE(BuildWindowsCommandLine({"php-cgi.exe", "C:\\a b.php"}, line));
  EXPECT_EQ(line, "php-cgi.exe \"C:\\a b.php\"");
  EXPECT_FALSE(BuildWindowsCommandLine({"C:\\x\"y.exe"}, line));
  EXPECT_FALSE(BuildWindowsCommandLine({}, line));
}

TEST(WindowsCommandLine, CommandInterpreterProgramsAreKnown) {
  for (const char* program : {"run.bat", "C:\\s\\RUN.BAT", "x.Cmd", "run.bat.", "run.cmd  ", "cmd", "CMD.EXE",
                              "C:\\Windows\\System32\\cmd.exe", "/srv/run.bat"}) {
    EXPECT_TRUE(IsCommandInterpreterProgram(program)) << program;
  }
  for (const char* program : {"php-cgi.exe", "C:\\bat\\php.exe", "cmdx.exe", "a.batch", "bat", "C:\\cmd\\x.exe"}) {
    EXPECT_FALSE(IsCommandInterpreterProgram(program)) << program;
  }
}

}  // namespace
}  // namespace zevra::platform
