#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "common/Profile.h"

namespace zevra {
namespace {

TEST(ProfileFile, NamesMatchWithoutCaseAndBlanksInsideBrackets) {
  ProfileFile f = ProfileFile::Parse("[ Listen ]\r\n  PORT  =  8080  \r\n[performance]\nWorkerThreads=4\n");
  EXPECT_EQ(f.Read("Listen", "Port", "80"), "8080");
  EXPECT_EQ(f.Read("LISTEN", "port", "80"), "8080");
  EXPECT_EQ(f.Read("Performance", "workerthreads", "8"), "4");
}

TEST(ProfileFile, MissingKeyGivesDefaultButEmptyValueStaysEmpty) {
  ProfileFile f = ProfileFile::Parse("[Listen]\r\nPort=\r\n");
  EXPECT_EQ(f.Read("Listen", "Port", "80"), "");
  EXPECT_EQ(f.Read("Listen", "Other", "x"), "x");
  EXPECT_EQ(f.Read("Nowhere", "Port", "80"), "80");
}

TEST(ProfileFile, QuotesAroundTheWholeValueAreRemoved) {
  ProfileFile f = ProfileFile::Parse(
      "[S]\nA=\"  spaced  \"\nB='single'\nC=\"unbalanced\nD=\"mixed'\nE=\"\"\nF=a\"b\"\n");
  EXPECT_EQ(f.Read("S", "A", ""), "  spaced  ");
  EXPECT_EQ(f.Read("S", "B", ""), "single");
  EXPECT_EQ(f.Read("S", "C", ""), "\"unbalanced");
  EXPECT_EQ(f.Read("S", "D", ""), "\"mixed'");
  EXPECT_EQ(f.Read("S", "E", "default"), "");
  EXPECT_EQ(f.Read("S", "F", ""), "a\"b\"");
}

TEST(ProfileFile, SemicolonLinesAreCommentsHashLinesAreKeys) {
  ProfileFile f = ProfileFile::Parse("[S]\n;Port=1\n  ; Port=2\n#Port=3\nPort=4 ; not a comment\n");
  EXPECT_EQ(f.Read("S", "Port", ""), "4 ; not a comment");
  EXPECT_EQ(f.Read("S", "#Port", ""), "3");
}

TEST(ProfileFile, FirstKeyAndFirstSectionWin) {
  ProfileFile f = ProfileFile::Parse("[S]\nK=first\nK=second\n[T]\nK=t\n[s]\nK=third\nL=late\n");
  EXPECT_EQ(f.Read("S", "K", ""), "first");
  EXPECT_EQ(f.Read("S", "L", "none"), "none");
  EXPECT_EQ(f.Read("T", "K", ""), "t");
}

TEST(ProfileFile, ValuesAreCutTo127Characters) {
  std::string longAscii(200, 'a');
  std::string chinese;
  for (int i = 0; i < 130; ++i) chinese += "泽";
  ProfileFile f = ProfileFile::Parse("[S]\nA=" + longAscii + "\nB=" + chinese + "\n");
  EXPECT_EQ(f.Read("S", "A", ""), std::string(127, 'a'));
  std::string expected;
  for (int i = 0; i < 127; ++i) expected += "泽";
  EXPECT_EQ(f.Read("S", "B", ""), expected);
  EXPECT_EQ(f.Read("S", "C", longAscii), std::string(127, 'a'));
}

TEST(ProfileFile, MalformedUtf8IsCutWithinFourBytesACharacter) {
  // Runs of continuation bytes without a lead once made the cut unbounded.
  ProfileFile f = ProfileFile::Parse("[S]\nA=\xC4" + std::string(600, '\x8A') + "\n");
  const std::string value = f.Read("S", "A", "");
  EXPECT_LE(value.size(), 127u * 4);
  EXPECT_GE(value.size(), 127u);
}

TEST(ProfileFile, KeysOutsideSectionsAndLinesWithoutEqualsAreIgnored) {
  ProfileFile f = ProfileFile::Parse("Port=1\n[S]\njunk line\nPort=2");
  EXPECT_EQ(f.Read("S", "Port", ""), "2");
  EXPECT_EQ(f.Read("", "Port", "none"), "none");
}

TEST(ProfileFile, MissingFileReadsAsEmpty) {
  EXPECT_EQ(ReadProfileString("/nonexistent/dir/Zevra.ini", "Listen", "Port", "80"), "80");
}

TEST(ProfileFile, ByteOrderMarkIsSkipped) {
  char name[] = "/tmp/zevra_profile_XXXXXX";
  int fd = mkstemp(name);
  ASSERT_GE(fd, 0);
  FILE* f = fdopen(fd, "wb");
  fputs("\xEF\xBB\xBF[Listen]\r\nPort=81\r\n", f);
  fclose(f);
  EXPECT_EQ(ReadProfileString(name, "Listen", "Port", "80"), "81");
  std::remove(name);
}

}  // namespace
}  // namespace zevra
