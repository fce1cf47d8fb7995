// The host files as both programs see them: what the enumeration takes, how
// a file is read, which names the console may write, and the atomic write.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tests/support/TempDirectory.h"
#include "common/HostFile.h"
#include "platform/CodePage.h"
#include "platform/File.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

TEST(HostFileFormat, EnumerationTakesRegularFilesAndReadingStripsLineEnds) {
  TempDirectory dir;
  EXPECT_TRUE(ListHostFiles(dir.Path()).empty());  // no Hosts folder at all
  dir.Write("Hosts/crlf.test", "/srv/a;index.html;Static;None;None\r\n\r\n");
  dir.Write("Hosts/large.test", std::string(kMaxHostFileBytes + 1, 'x'));
  dir.Write("Hosts/limit.test", std::string(kMaxHostFileBytes, 'y'));
  dir.MakeDirectory("Hosts/folder.test");
  std::vector<HostFileName> files = ListHostFiles(dir.Path());
  std::vector<std::string> names;
  for (const HostFileName& f : files) names.push_back(f.name);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"crlf.test", "large.test", "limit.test"}));

  std::string content = "stale";
  EXPECT_EQ(ReadHostFile(dir.Path("Hosts/crlf.test"), content), HostFileReadStatus::kRead);
  EXPECT_EQ(content, "/srv/a;index.html;Static;None;None");
  EXPECT_EQ(ReadHostFile(dir.Path("Hosts/large.test"), content), HostFileReadStatus::kTooLarge);
  EXPECT_EQ(content, "");
  EXPECT_EQ(ReadHostFile(dir.Path("Hosts/limit.test"), content), HostFileReadStatus::kRead);
  EXPECT_EQ(content.size(), static_cast<size_t>(kMaxHostFileBytes));
  EXPECT_EQ(ReadHostFile(dir.Path("Hosts/folder.test"), content), HostFileReadStatus::kUnreadable);
  EXPECT_EQ(ReadHostFile(dir.Path("Hosts/absent.test"), content), HostFileReadStatus::kUnreadable);
}

TEST(HostFileFormat, SplitCountsFieldsAsTheServerDoes) {
  std::string_view fields[kHostFieldCount];
  EXPECT_EQ(SplitHostFields("a;b;c;d;", fields), 4u);  // a final separator adds no field
  EXPECT_EQ(SplitHostFields("a;b;c;d;e;", fields), 5u);
  EXPECT_EQ(SplitHostFields(";;;;", fields), 4u);
  EXPECT_EQ(SplitHostFields(";;;;;", fields), 5u);
  EXPECT_EQ(SplitHostFields("", fields), 0u);
  EXPECT_EQ(SplitHostFields("a;b;c;d;e;f;g", fields), 5u);
  EXPECT_EQ(fields[kHostCgiProgram], "e");
  EXPECT_TRUE(IsAcceptableDefaultDocument("index.html"));
  EXPECT_TRUE(IsAcceptableDefaultDocument(".html"));
  EXPECT_FALSE(IsAcceptableDefaultDocument("index"));
  EXPECT_FALSE(IsAcceptableDefaultDocument("index."));
  EXPECT_FALSE(IsAcceptableDefaultDocument(""));
  EXPECT_FALSE(IsAcceptableDefaultDocument("."));
  EXPECT_TRUE(IsAcceptableDefaultDocument("a..b"));
  EXPECT_TRUE(IsAcceptableDefaultDocument("index.."));
}

TEST(HostFileFormat, OnlyNamesTheServerCanMatchBecomeFiles) {
  for (std::string name : {"www.example.com", "localhost", "例子.测试", "Upper.Example.com", "a-b_c.test"}) {
    EXPECT_TRUE(IsAcceptableHostName(name)) << name;
  }
  for (std::string name : {"", " a.test", "a.test ", "\ta.test", "a/b", "a\\b", "..", ".", "a..b", "../x",
                           "a.test:8080", "a\nb", "a\rb", "a*b", "a?b", "a<b", "a|b", "a\"b"}) {
    EXPECT_FALSE(IsAcceptableHostName(name)) << name;
  }
  EXPECT_FALSE(IsAcceptableHostName(std::string("a\0b", 3)));
}

TEST(HostFileFormat, WriteReplacesAtomicallyAndAFailureKeepsTheOldFile) {
  TempDirectory dir;
  dir.MakeDirectory("Hosts");
  int error = 0;
  const std::string fields[kHostFieldCount] = {"/srv/a", "index.html", "Static", "None", "None"};
  ASSERT_TRUE(WriteHostFile(dir.Path(), "a.test", JoinHostFields(fields), error));
  std::string content;
  ASSERT_TRUE(platform::ReadWholeFile(dir.Path("Hosts/a.test"), content));
  EXPECT_EQ(content, "/srv/a;index.html;Static;None;None");  // no line end
  ASSERT_TRUE(WriteHostFile(dir.Path(), "a.test", "/srv/b;index.php;ExecCGI;.php;/usr/bin/php-cgi %s", error));
  ASSERT_TRUE(platform::ReadWholeFile(dir.Path("Hosts/a.test"), content));
  EXPECT_EQ(content, "/srv/b;index.php;ExecCGI;.php;/usr/bin/php-cgi %s");
  EXPECT_EQ(ListHostFiles(dir.Path()).size(), 1u);  // no temporary file left behind

  // The temporary file cannot be made: the old host stays as it was.
  dir.MakeDirectory("Hosts/..zevra-host.tmp/blocked");
  error = 0;
  EXPECT_FALSE(WriteHostFile(dir.Path(), "a.test", "/srv/c;index.html;Static;None;None", error));
  EXPECT_NE(error, 0);
  ASSERT_TRUE(platform::ReadWholeFile(dir.Path("Hosts/a.test"), content));
  EXPECT_EQ(content, "/srv/b;index.php;ExecCGI;.php;/usr/bin/php-cgi %s");

  EXPECT_TRUE(RemoveHostFile(HostFilePath(dir.Path(), "a.test"), error));
  EXPECT_FALSE(platform::QueryFile(dir.Path("Hosts/a.test")).exists);
  error = 0;
  EXPECT_FALSE(RemoveHostFile(HostFilePath(dir.Path(), "a.test"), error));
  EXPECT_NE(error, 0);
}

// A host name is a file name: inside it is UTF-8 like every other name, and
// only the file's content is in the ANSI code page. In GBK (code page 936)
// the second byte of "乗" is 0x5C, the byte of '\': a name with it is still
// one name, written, listed and removed under its own spelling.
TEST(HostFileFormat, NamesKeepTheirSpellingWhateverTheCodePage) {
  TempDirectory dir;
  dir.MakeDirectory("Hosts");
  const std::string name = "乗嘰.例子";
  const std::string root = "/srv/乗";
  ASSERT_TRUE(IsAcceptableHostName(name));
  int error = 0;
  ASSERT_TRUE(WriteHostFile(dir.Path(), name, root + ";index.html;Static;None;None", error)) << error;
  const std::vector<HostFileName> files = ListHostFiles(dir.Path());
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].name, name);
  EXPECT_EQ(files[0].path, HostFilePath(dir.Path(), name));
  std::string content;
  ASSERT_EQ(ReadHostFile(files[0].path, content), HostFileReadStatus::kRead);
  if (platform::CodePageToUtf8(platform::Utf8ToCodePage(root)) == root) {
    EXPECT_EQ(content, root + ";index.html;Static;None;None");
  }
  EXPECT_TRUE(RemoveHostFile(HostFilePath(dir.Path(), name), error));
  EXPECT_TRUE(ListHostFiles(dir.Path()).empty());
}

}  // namespace
}  // namespace zevra
