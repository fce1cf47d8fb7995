// The file facts every OS must give alike: attribute words of files and
// folders, the folder test on attribute words, positional reads, the
// atomic replace, and the error names. Runs unchanged on POSIX and (cross
// built) under Windows.
#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "platform/Directory.h"
#include "platform/Error.h"
#include "platform/File.h"
#include "platform/Path.h"
#include "platform/System.h"
#include "tests/support/TempDirectory.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

TEST(DirectoryAttributes, OnlyThePlainFolderWordsCount) {
  // The folder bit alone or with read-only, hidden and archive…
  for (uint32_t word : {16u, 17u, 18u, 48u, 49u, 50u, 51u}) {
    EXPECT_TRUE(platform::IsPlainDirectoryAttributes(word)) << word;
    EXPECT_TRUE(platform::IsPlainDirectoryAttributes(word | platform::kAttributeNotContentIndexed)) << word;
  }
  // …except folder + read-only + hidden without archive; a file, a system
  // folder, a junction or a failed query (0, or all bits) never counts.
  for (uint32_t word : {19u, 0u, 0x20u, 0x80u, 0x14u, 0x30u | 0x4u, 0x410u, 0xFFFFFFFFu}) {
    EXPECT_FALSE(platform::IsPlainDirectoryAttributes(word)) << word;
  }
}

TEST(FileFacts, FilesAndFoldersCarryTheirAttributeWords) {
  TempDirectory dir;
  const std::string file = dir.Write("host.example", "root;index.html;Static;None;None");
  const std::string folder = dir.MakeDirectory("folder");

  const platform::FileFacts fileFacts = platform::QueryFile(file);
  ASSERT_TRUE(fileFacts.exists);
  EXPECT_TRUE(fileFacts.isRegular);
  EXPECT_FALSE(fileFacts.isDirectory);
  EXPECT_NE(fileFacts.attributes & platform::kAttributeArchive, 0u);
  EXPECT_EQ(fileFacts.attributes & platform::kAttributeDirectory, 0u);
  EXPECT_EQ(fileFacts.size, 32);

  const platform::FileFacts folderFacts = platform::QueryFile(folder);
  ASSERT_TRUE(folderFacts.exists);
  EXPECT_TRUE(folderFacts.isDirectory);
  EXPECT_FALSE(folderFacts.isRegular);
  EXPECT_TRUE(platform::IsPlainDirectoryAttributes(folderFacts.attributes)) << folderFacts.attributes;

  EXPECT_FALSE(platform::QueryFile(dir.Path("missing")).exists);

  // The enumeration gives the same words as the query of each path.
  platform::DirectoryReader reader = platform::DirectoryReader::Open(dir.Path());
  ASSERT_TRUE(reader.IsOpen());
  platform::DirectoryEntry entry;
  std::set<std::string> seen;
  for (int i = 0; i < 10 && reader.Next(entry); ++i) {
    seen.insert(entry.name);
    if (entry.name == "host.example") {
      EXPECT_TRUE(entry.isRegular);
      EXPECT_EQ(entry.attributes, fileFacts.attributes);
      EXPECT_EQ(entry.size, 32);
      EXPECT_EQ(entry.lastWriteTime, fileFacts.lastWriteTime);
    } else if (entry.name == "folder") {
      EXPECT_TRUE(entry.isDirectory);
      EXPECT_NE(entry.attributes & platform::kAttributeDirectory, 0u);
    }
  }
  EXPECT_EQ(seen, (std::set<std::string>{"folder", "host.example"}));
  EXPECT_FALSE(platform::DirectoryReader::Open(dir.Path("missing")).IsOpen());
}

TEST(File, PositionalReadsAndAppendsAndTheAtomicReplace) {
  TempDirectory dir;
  const std::string path = dir.Path("data.bin");
  {
    platform::File created = platform::File::CreateNew(path);
    ASSERT_TRUE(created.IsOpen());
    ASSERT_TRUE(created.WriteAll("0123456789", 10));
    EXPECT_FALSE(platform::File::CreateNew(path).IsOpen());  // it exists now
  }
  {
    platform::File appended = platform::File::OpenAppend(path);
    ASSERT_TRUE(appended.IsOpen());
    ASSERT_TRUE(appended.WriteAll("ab", 2));
  }
  platform::File file = platform::File::OpenReadRegular(path);
  ASSERT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Size(), 12);
  char bytes[8] = {};
  EXPECT_EQ(file.ReadAt(bytes, 3, 9), 3);
  EXPECT_EQ(std::string(bytes, 3), "9ab");
  EXPECT_EQ(file.ReadAt(bytes, 4, 0), 4);
  EXPECT_EQ(std::string(bytes, 4), "0123");
  EXPECT_EQ(file.ReadAt(bytes, 4, 12), 0);  // at the end: nothing, not a failure
  EXPECT_GT(file.LastWriteTime(), 1500000000);

  // A folder is not a regular file and is refused as one.
  EXPECT_FALSE(platform::File::OpenReadRegular(dir.Path()).IsOpen());

  // Windows refuses to replace a file that is open, shared for deletion or
  // not; POSIX would not mind. Callers replace only what nobody holds.
  file.Close();
  const std::string replacement = dir.Write("new.bin", "fresh");
  ASSERT_TRUE(platform::ReplaceFileWith(replacement, path));
  std::string content;
  ASSERT_TRUE(platform::ReadWholeFile(path, content));
  EXPECT_EQ(content, "fresh");
  EXPECT_FALSE(platform::QueryFile(replacement).exists);
  EXPECT_TRUE(platform::RemoveFile(path));
  EXPECT_FALSE(platform::RemoveFile(path));
}

TEST(MappedView, MapsAtTheGranularityAndRefusesNothingEmpty) {
  TempDirectory dir;
  const uint32_t granularity = platform::AllocationGranularity();
  ASSERT_GT(granularity, 0u);
  std::string content(granularity + 100, 'x');
  content[granularity] = 'Y';
  const std::string path = dir.Write("big.bin", content);
  platform::File file = platform::File::OpenRead(path);
  ASSERT_TRUE(file.IsOpen());
  platform::MappedView view = platform::MappedView::Map(file, granularity, 100);
  ASSERT_TRUE(view.IsMapped());
  EXPECT_EQ(view.Data()[0], 'Y');
  EXPECT_EQ(view.Length(), 100u);
  EXPECT_TRUE(platform::MappedView::Map(file, 0, 0).IsMapped());
}

TEST(ErrorNames, EachNameIsItsOwnSystemCodeWithAText) {
  const platform::ErrorName names[] = {
      platform::ErrorName::kAccessDenied,   platform::ErrorName::kAlreadyInProgress,
      platform::ErrorName::kWouldDeadlock,  platform::ErrorName::kNotConnected,
      platform::ErrorName::kInvalidArgument, platform::ErrorName::kNoMemory,
      platform::ErrorName::kTryAgain,       platform::ErrorName::kTooManyOpenFiles,
      platform::ErrorName::kEndOfFile,      platform::ErrorName::kNotFound,
      platform::ErrorName::kIsDirectory,    platform::ErrorName::kNotSupported,
  };
  std::set<int> codes;
  for (platform::ErrorName name : names) {
    const int code = platform::ErrorCodeOf(name);
    EXPECT_NE(code, 0);
    codes.insert(code);
    EXPECT_FALSE(platform::SystemErrorText(code).empty()) << code;
  }
  // Distinct names must not collapse onto one code: the log would then
  // name the wrong failure.
  EXPECT_EQ(codes.size(), std::size(names));

  // A missing file's open reports the same code as the name for it.
  TempDirectory dir;
  EXPECT_FALSE(platform::File::OpenRead(dir.Path("missing")).IsOpen());
  EXPECT_EQ(platform::LastErrorCode(), platform::ErrorCodeOf(platform::ErrorName::kNotFound));
}

TEST(FileNames, NonAsciiNamesReachTheFileSystemAndComeBackWhole) {
  TempDirectory dir;
  // UTF-8 inside; Windows gets the UTF-16 form, whatever its code page.
  const std::string name = "\xE4\xB8\xAD\xE6\x96\x87 \xC3\xA9.txt";  // "中文 é.txt"
  const std::string path = dir.Path() + platform::kPathSeparator + name;
  {
    platform::File file = platform::File::CreateNew(path);
    ASSERT_TRUE(file.IsOpen());
    ASSERT_TRUE(file.WriteAll("abc", 3));
  }
  EXPECT_EQ(platform::QueryFile(path).size, 3);
  platform::DirectoryReader reader = platform::DirectoryReader::Open(dir.Path());
  platform::DirectoryEntry entry;
  ASSERT_TRUE(reader.Next(entry));
  EXPECT_EQ(entry.name, name);
  EXPECT_FALSE(reader.Next(entry));
}

#if defined(_WIN32)
TEST(WindowsNames, DevicesAreNotFilesAndMisreadSegmentsAreRefused) {
  // "NUL" opens anywhere on Windows; it must not be served as a file.
  EXPECT_FALSE(platform::File::OpenReadRegular("NUL").IsOpen());
  EXPECT_EQ(platform::LastErrorCode(), platform::ErrorCodeOf(platform::ErrorName::kAccessDenied));
  platform::FileFacts facts;
  platform::File::OpenWithFacts("NUL", facts);
  EXPECT_FALSE(facts.isRegular);
  EXPECT_FALSE(facts.isDirectory);

  EXPECT_TRUE(platform::IsAcceptablePathSegment("a.php"));
  EXPECT_TRUE(platform::IsAcceptablePathSegment(".."));  // the caller's to refuse
  EXPECT_FALSE(platform::IsAcceptablePathSegment("a.php."));
  EXPECT_FALSE(platform::IsAcceptablePathSegment("a.php "));
  EXPECT_FALSE(platform::IsAcceptablePathSegment("a.php::$DATA"));
  EXPECT_FALSE(platform::IsAcceptablePathSegment("a\\..\\..\\x"));
}
#endif

}  // namespace
}  // namespace zevra
