// The profile writer: what it changes, what it keeps byte for byte, what it
// refuses, and that the reader finds exactly what was written.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/TempDirectory.h"
#include "common/Profile.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/Native.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

// A file without any line end gets the platform's own.
const std::string kNewFileEol = platform::kPathSeparator == '\\' ? "\r\n" : "\n";

// A file without the UTF-8 mark is in the system's ANSI code page, which
// cannot hold every text (Chinese under code page 1252, say): such a value
// is refused rather than written garbled.
bool CodePageHolds(const std::string& text) {
  return platform::CodePageToUtf8(platform::Utf8ToCodePage(text)) == text;
}

std::string Edited(const std::string& before, std::string_view section, std::string_view key,
                   std::string_view value) {
  ProfileEditor editor = ProfileEditor::FromBytes(before);
  EXPECT_TRUE(editor.Set(section, key, value));
  return editor.Bytes();
}

TEST(ProfileEditor, ChangesTheFirstKeyOfTheFirstSectionInPlace) {
  const std::string before =
      "\xEF\xBB\xBF; settings\r\n[listen]\r\n  PORT = 80 ; old\r\nPort=81\r\n[Other]\r\nPort=82\r\n[Listen]\r\nPort=83\r\n";
  const std::string after = Edited(before, "Listen", "Port", "8080");
  EXPECT_EQ(after,
            "\xEF\xBB\xBF; settings\r\n[listen]\r\n  PORT =8080\r\nPort=81\r\n[Other]\r\nPort=82\r\n[Listen]\r\nPort=83\r\n");
  EXPECT_EQ(ProfileFile::Parse(after.substr(3)).Read("Listen", "Port", ""), "8080");
  EXPECT_EQ(ProfileFile::Parse(after.substr(3)).Read("Other", "Port", ""), "82");
}

TEST(ProfileEditor, AddsMissingKeysAndSectionsWithTheFilesLineEnd) {
  // A key goes after the section's last line, before the blank lines that
  // separate it from the next section; a comment at its end stays above.
  EXPECT_EQ(Edited("[A]\r\nx=1\r\n; end of A\r\n\r\n[B]\r\ny=2\r\n", "a", "Port", "1"),
            "[A]\r\nx=1\r\n; end of A\r\nPort=1\r\n\r\n[B]\r\ny=2\r\n");
  EXPECT_EQ(Edited("[A]\nx=1", "A", "k", "v"), "[A]\nx=1\nk=v\n");  // no line end at the end of the file
  EXPECT_EQ(Edited("[A]\nx=1", "Settings", "Debug", "True"), "[A]\nx=1\n[Settings]\nDebug=True\n");
  EXPECT_EQ(Edited("[Only]", "Only", "k", "v"), "[Only]" + kNewFileEol + "k=v" + kNewFileEol);
  // The repeated section the reader ignores stays as it is; the first one
  // that has no such key gets it.
  EXPECT_EQ(Edited("[S]\na=1\n[S]\nk=old\n", "S", "k", "new"), "[S]\na=1\nk=new\n[S]\nk=old\n");
  // A key above every section belongs to none.
  EXPECT_EQ(Edited("k=outside\n", "S", "k", "v"), "k=outside\n[S]\nk=v\n");
}

TEST(ProfileEditor, ValuesReadBackAsWritten) {
  ProfileEditor editor = ProfileEditor::FromBytes("");
  const std::string values[] = {"  padded  ", "\"quoted\"", "'single'", "\"half", "", "a=b;c", "管理员@例子.中国"};
  std::string key = "k";
  for (const std::string& v : values) {
    key += "k";
    ASSERT_EQ(editor.Set("S", key, v), CodePageHolds(v)) << v;
  }
  // Read back the way the server reads it: a file in the code page.
  TempDirectory dir;
  ProfileFile file = ProfileFile::Load(dir.Write("edited.ini", editor.Bytes()));
  key = "k";
  for (const std::string& v : values) {
    key += "k";
    EXPECT_EQ(file.Read("S", key, "missing"), CodePageHolds(v) ? v : "missing");
  }
}

TEST(ProfileEditor, RefusesValuesThatWouldAddLinesOrBeCut) {
  const std::string before = "[Settings]\nServerAdmin=a@b\n";
  ProfileEditor editor = ProfileEditor::FromBytes(before);
  EXPECT_FALSE(editor.Set("Settings", "ServerAdmin", "x\n[Listen]\nPort=1"));
  EXPECT_FALSE(editor.Set("Settings", "ServerAdmin", "x\rPort=1"));
  EXPECT_FALSE(editor.Set("Settings", "ServerAdmin", std::string("x\0y", 3)));
  EXPECT_FALSE(editor.Set("Settings", "ServerAdmin", std::string(128, 'w')));
  EXPECT_FALSE(editor.Set("Set]tings", "k", "v"));
  EXPECT_FALSE(editor.Set("Settings", "k=", "v"));
  EXPECT_EQ(editor.Bytes(), before);
  EXPECT_TRUE(editor.Set("Settings", "ServerAdmin", std::string(127, 'w')));
  // Characters count, not bytes.
  std::string wide;
  for (int i = 0; i < 127; ++i) wide += "泽";
  if (!CodePageHolds(wide)) GTEST_SKIP() << "the ANSI code page holds no Chinese";
  EXPECT_TRUE(editor.Set("Settings", "ServerAdmin", wide));
  EXPECT_FALSE(editor.Set("Settings", "ServerAdmin", wide + "瓦"));
}

// Over files of odd shapes: after setting one key, the reader sees the new
// value there and every other key exactly as before.
TEST(ProfileEditor, AnEditChangesOneKeyAndNothingElseTheReaderSees) {
  const std::string files[] = {
      "",
      "[Listen]\nPort=80",
      "\xEF\xBB\xBF[listen]\r\nport = 1\r\n[LISTEN]\r\nPort=2\r\n",
      "Port=0\n[ S ]\n;k=c\nk\n=x\nk=1\n",
      "[Performance\nBuffer=5\n[Settings]]\nServerAdmin='a'\n",
      "[Other]\r\nPort=9\r\n\r\n\r\n",
      "[S]\n[Listen]\n\n\n[Performance]\nBuffer=\n",
      "  [Settings]  \n  ServerAdmin  =  \"x\"  \n[settings]\nDebug=True\n",
  };
  const std::pair<const char*, const char*> keys[] = {
      {"Listen", "Port"}, {"Performance", "Buffer"}, {"Settings", "ServerAdmin"}, {"S", "k"}, {"Other", "Port"},
      {"Settings", "Debug"}};
  auto parse = [](const std::string& bytes) {
    return ProfileFile::Parse(bytes.starts_with("\xEF\xBB\xBF") ? bytes.substr(3) : bytes);
  };
  for (const std::string& file : files) {
    for (const auto& [section, key] : keys) {
      for (const char* value : {"42", "  padded  ", ""}) {
        ProfileEditor editor = ProfileEditor::FromBytes(file);
        ASSERT_TRUE(editor.Set(section, key, value));
        const ProfileFile before = parse(file), after = parse(editor.Bytes());
        for (const auto& [otherSection, otherKey] : keys) {
          const bool same = std::string_view(section) == otherSection && std::string_view(key) == otherKey;
          EXPECT_EQ(after.Read(otherSection, otherKey, "<none>"),
                    same ? std::string(value) : before.Read(otherSection, otherKey, "<none>"))
              << "file: " << file << " set " << section << "/" << key << "=" << value << " read " << otherSection
              << "/" << otherKey;
        }
      }
    }
  }
}

TEST(ProfileEditor, SaveReplacesTheFileAndKeepsItWhenItCannot) {
  TempDirectory dir;
  const std::string path = dir.Write("Config/Zevra.ini", "[Listen]\nPort=80\n");
  ProfileEditor editor = ProfileEditor::Load(path);
  ASSERT_TRUE(editor.Set("Listen", "Port", "81"));
  int error = 0;
  ASSERT_TRUE(editor.Save(path, error));
  EXPECT_EQ(ReadProfileString(path, "Listen", "Port", ""), "81");
  EXPECT_FALSE(platform::QueryFile(path + ".~tmp").exists);

  // The temporary file cannot be made (a folder of that name is in the
  // way): the save fails with the system's error and the file stays.
  dir.MakeDirectory("Config/Zevra.ini.~tmp/inside");
  ASSERT_TRUE(editor.Set("Listen", "Port", "82"));
  error = 0;
  EXPECT_FALSE(editor.Save(path, error));
  EXPECT_NE(error, 0);
  EXPECT_EQ(ReadProfileString(path, "Listen", "Port", ""), "81");

  // A missing file is made; a missing folder is a failure.
  const std::string fresh = dir.Path("Config/New.ini");
  ProfileEditor created = ProfileEditor::Load(fresh);
  ASSERT_TRUE(created.Set("Listen", "Port", "83"));
  EXPECT_TRUE(created.Save(fresh, error));
  EXPECT_EQ(ReadProfileString(fresh, "Listen", "Port", ""), "83");
  EXPECT_FALSE(created.Save(dir.Path("Missing/Zevra.ini"), error));
}

TEST(ProfileEditor, AFileThatCannotBeReadIsNeverOverwritten) {
  TempDirectory dir;
  // A folder where the file should be cannot be read as a file.
  const std::string path = dir.MakeDirectory("Zevra.ini");
  ProfileEditor editor = ProfileEditor::Load(path);
  ASSERT_TRUE(editor.Set("Listen", "Port", "81"));
  int error = 0;
  EXPECT_FALSE(editor.Save(path, error));
  EXPECT_NE(error, 0);
  EXPECT_TRUE(platform::QueryFile(path).isDirectory);
}

}  // namespace
}  // namespace zevra
