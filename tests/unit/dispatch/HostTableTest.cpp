// Virtual hosts: the table's hash and probing, the loader over a real
// Hosts directory, record parsing and the three outcomes of SelectHost.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/NativePath.h"
#include "tests/support/TempDirectory.h"
#include "platform/File.h"
#include "server/dispatch/HostTable.h"
#include "server/response/Logs.h"

namespace zevra {
namespace {

using testfiles::Native;
using testfiles::TempDirectory;

TEST(HostTable, SlotFollowsTheHash) {
  // "abc": h = 99267, 99267 mod 2048 = 963, slots count from 1.
  EXPECT_EQ(HostTable::FirstSlot("abc"), 964u);
  EXPECT_EQ(HostTable::FirstSlot(""), 1u);
  // A hash whose signed value is negative: its magnitude picks the slot.
  // "\xff\xff\xff\xff\xff\xff\xff" wraps past 2^31; the slot must still be
  // within 1..2048 (an overflowing abs() would not be).
  for (std::string key : {std::string(7, '\xff'), std::string(40, 'z'), std::string("www.example.com")}) {
    uint32_t slot = HostTable::FirstSlot(key);
    EXPECT_GE(slot, 1u);
    EXPECT_LE(slot, 2048u);
  }
}

TEST(HostTable, CollidingKeysProbeOnAndStayApart) {
  // "a" hashes to 98; "\x06" "D" to (68 + 1) * 31 + 6 + 1 = 2146 = 98 + 2048.
  const std::string first = "a", second = std::string("\x06") + "D";
  ASSERT_EQ(HostTable::FirstSlot(first), HostTable::FirstSlot(second));
  HostTable table;
  EXPECT_TRUE(table.Insert(first, "one"));
  EXPECT_TRUE(table.Insert(second, "two"));
  EXPECT_EQ(table.Lookup(first), "one");
  EXPECT_EQ(table.Lookup(second), "two");
  EXPECT_EQ(table.Lookup("A"), "");  // case matters
  EXPECT_EQ(table.Lookup("ab"), "");
  EXPECT_FALSE(table.Insert("", "x"));
}

TEST(HostTable, KeepsOneSlotFreeSoAbsentLookupsEnd) {
  HostTable table;
  for (size_t i = 0; i < kMaxHostFiles; ++i) ASSERT_TRUE(table.Insert("host" + std::to_string(i), "v"));
  EXPECT_FALSE(table.Insert("one-too-many", "v"));
  EXPECT_EQ(table.Lookup("absent"), "");
  EXPECT_EQ(table.Lookup("host2046"), "v");
}

TEST(ParseHostRecord, FieldsAndTheDefaultDocumentRule) {
  HostRecord r;
  ASSERT_TRUE(ParseHostRecord("/srv/a;index.html;Static;None;None;", r));  // final separator adds no field
  EXPECT_EQ(r.documentRoot, "/srv/a");
  EXPECT_EQ(r.defaultDocument, "index.html");
  EXPECT_EQ(r.executePermission, "Static");
  EXPECT_EQ(r.cgiExtension, "None");
  EXPECT_EQ(r.cgiProgram, "None");
  ASSERT_TRUE(ParseHostRecord("/srv/b;.html;ExecCGI;.php;/usr/bin/php-cgi %s;extra;fields", r));
  EXPECT_EQ(r.defaultDocument, ".html");
  EXPECT_EQ(r.cgiProgram, "/usr/bin/php-cgi %s");
  EXPECT_FALSE(ParseHostRecord("/srv/c;index.html;ExecCGI;.php;", r));  // four fields
  EXPECT_FALSE(ParseHostRecord("/srv/d;;Static;None;None", r));          // empty default document
  EXPECT_FALSE(ParseHostRecord("/srv/e;index;Static;None;None", r));     // no dot
  EXPECT_FALSE(ParseHostRecord("/srv/f;index.;Static;None;None", r));    // only a final dot
  EXPECT_FALSE(ParseHostRecord("", r));
}

class HostFiles : public ::testing::Test {
 protected:
  void Load() { LoadHostFiles(dir_.Path()); }
  void AddHost(const std::string& name, const std::string& content) { dir_.Write("Hosts/" + name, content); }
  TempDirectory dir_;
};

TEST_F(HostFiles, MissingOrEmptyHostsGivesTheFallbackSite) {
  Load();  // no Hosts directory at all
  EXPECT_TRUE(NoVirtualHosts());
  dir_.MakeDirectory("Hosts/only-a-directory");
  Load();
  EXPECT_TRUE(NoVirtualHosts());
  HostSelection s = SelectHost("anything.example:8080");
  ASSERT_EQ(s.outcome, HostOutcome::kFallback);
  EXPECT_EQ(s.record.documentRoot, dir_.Path() + Native("/WebRoot"));
  EXPECT_EQ(s.record.defaultDocument, "index.html");
  EXPECT_EQ(s.record.cgiExtension, "");
  EXPECT_EQ(s.record.executePermission, "");
  EXPECT_EQ(SelectHost("").outcome, HostOutcome::kFallback);
}

TEST_F(HostFiles, SelectsByNameBeforeThePortAndExactCase) {
  AddHost("www.example.com", "/srv/www;index.html;Static;None;None");
  AddHost("bad.example.com", "/srv/bad;index.html;ExecCGI;.php;");
  AddHost("empty.example.com", "");
  dir_.MakeDirectory("Hosts/sub.example.com");
  Load();
  EXPECT_FALSE(NoVirtualHosts());
  EXPECT_EQ(Hosts().Count(), 3u);  // the subdirectory is not a host file

  HostSelection s = SelectHost("www.example.com:8080");
  ASSERT_EQ(s.outcome, HostOutcome::kRecord);
  EXPECT_EQ(s.record.documentRoot, "/srv/www");
  EXPECT_EQ(SelectHost("www.example.com").outcome, HostOutcome::kRecord);
  EXPECT_EQ(SelectHost("WWW.example.com").outcome, HostOutcome::kNotConfigured);
  EXPECT_EQ(SelectHost("").outcome, HostOutcome::kNotConfigured);
  EXPECT_EQ(SelectHost("other.example.com").outcome, HostOutcome::kNotConfigured);
  EXPECT_EQ(SelectHost("sub.example.com").outcome, HostOutcome::kNotConfigured);
  EXPECT_EQ(SelectHost("empty.example.com").outcome, HostOutcome::kNotConfigured);
  EXPECT_EQ(SelectHost("bad.example.com:80").outcome, HostOutcome::kBadRecord);
}

TEST_F(HostFiles, AnEditorsFinalLineEndIsNotPartOfTheLastField) {
  AddHost("a.test", "/srv/a;index.html;ExecCGI;.cgi;/usr/bin/perl %s\r\n");
  Load();
  HostSelection s = SelectHost("a.test");
  ASSERT_EQ(s.outcome, HostOutcome::kRecord);
  EXPECT_EQ(s.record.cgiProgram, "/usr/bin/perl %s");
}

TEST_F(HostFiles, StopsAt2047FilesWithOneErrorLine) {
  const std::string log = dir_.Path("error.log");
  OpenErrorLog(log);
  for (int i = 0; i < 2050; ++i) AddHost("h" + std::to_string(i) + ".test", "/srv;index.html;Static;None;None");
  Load();
  CloseErrorLog();
  EXPECT_EQ(Hosts().Count(), kMaxHostFiles);
  std::string text;
  ASSERT_TRUE(platform::ReadWholeFile(log, text));
  EXPECT_NE(text.find("3 of them were not loaded"), std::string::npos) << text;
  EXPECT_EQ(text.find("\r\n"), text.size() - 2) << "one line only: " << text;
  // Whatever was loaded is found; an absent name still ends its probe.
  size_t found = 0;
  for (int i = 0; i < 2050; ++i) found += SelectHost("h" + std::to_string(i) + ".test").outcome == HostOutcome::kRecord;
  EXPECT_EQ(found, kMaxHostFiles);
  EXPECT_EQ(SelectHost("absent.test").outcome, HostOutcome::kNotConfigured);
}

}  // namespace
}  // namespace zevra
