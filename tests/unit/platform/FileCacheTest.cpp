// The cache of open files: what it keeps stays true to the file system
// (changes made in place, through another link, or lost to an overflowing
// notification queue), and its bounds hold however many paths pass through.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/FileCache.h"
#include "tests/support/TempDirectory.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

// Overwrites the first bytes of a file without changing its size or
// touching its name.
void WriteInPlace(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ::close(fd);
}

int QueuedEventLimit() {
  std::ifstream in("/proc/sys/fs/inotify/max_queued_events");
  int limit = 16384;
  in >> limit;
  return limit;
}

class FileCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cache_.Active()) GTEST_SKIP() << "no inotify here";
  }
  platform::FileCache cache_;
  TempDirectory dir_;
};

TEST_F(FileCacheTest, KeepsAVersionUntilItChanges) {
  const std::string file = dir_.Write("site/a.txt", "first");
  platform::FileCacheRef one = cache_.Open(file);
  ASSERT_TRUE(one->hasBytes);
  EXPECT_EQ(one->bytes, "first");
  EXPECT_EQ(cache_.Open(file), one) << "an unchanged file is served from the entry";
  EXPECT_EQ(cache_.Count(), 1u);

  // Same size, same second, same name: only the notification tells.
  WriteInPlace(file, "FIRST");
  platform::FileCacheRef two = cache_.Open(file);
  EXPECT_NE(two, one);
  EXPECT_EQ(two->bytes, "FIRST");
  EXPECT_EQ(one->bytes, "first") << "an entry handed out never changes";
}

TEST_F(FileCacheTest, FollowsTheNameAndTheFolders) {
  const std::string file = dir_.Write("site/sub/a.txt", "old");
  EXPECT_EQ(cache_.Open(file)->bytes, "old");

  // Replaced by a rename.
  dir_.Write("site/sub/a.new", "new!");
  std::filesystem::rename(dir_.Path("site/sub/a.new"), file);
  EXPECT_EQ(cache_.Open(file)->bytes, "new!");

  // Truncated.
  std::filesystem::resize_file(file, 1);
  EXPECT_EQ(cache_.Open(file)->bytes, "n");

  // A folder above it renamed away, then another put in its place.
  std::filesystem::rename(dir_.Path("site/sub"), dir_.Path("site/gone"));
  platform::FileCacheRef missing = cache_.Open(file);
  EXPECT_FALSE(missing->facts.exists);
  EXPECT_NE(missing->openError, 0);
  dir_.Write("site/other/a.txt", "other");
  std::filesystem::rename(dir_.Path("site/other"), dir_.Path("site/sub"));
  EXPECT_EQ(cache_.Open(file)->bytes, "other");

  // Deleted, and a missing name created.
  std::filesystem::remove(file);
  EXPECT_FALSE(cache_.Open(file)->facts.exists);
  EXPECT_FALSE(cache_.Open(file)->facts.exists);
  dir_.Write("site/sub/a.txt", "back");
  EXPECT_EQ(cache_.Open(file)->bytes, "back");

  // Permissions: the entry goes with the change.
  platform::FileCacheRef before = cache_.Open(file);
  ASSERT_EQ(::chmod(file.c_str(), 0), 0);
  EXPECT_NE(cache_.Open(file), before);
}

TEST_F(FileCacheTest, SeesWritesThroughAnotherLink) {
  const std::string file = dir_.Write("one/a.txt", "aaaa");
  dir_.MakeDirectory("two");
  std::filesystem::create_hard_link(file, dir_.Path("two/b.txt"));
  EXPECT_EQ(cache_.Open(file)->bytes, "aaaa");
  WriteInPlace(dir_.Path("two/b.txt"), "bbbb");
  EXPECT_EQ(cache_.Open(file)->bytes, "bbbb");
}

TEST_F(FileCacheTest, KeepsNoPathThroughALink) {
  const std::string file = dir_.Write("real/a.txt", "x");
  std::filesystem::create_directory_symlink(dir_.Path("real"), dir_.Path("link"));
  EXPECT_EQ(cache_.Open(dir_.Path("link/a.txt"))->bytes, "x");
  std::filesystem::create_symlink(file, dir_.Path("real/b.txt"));
  EXPECT_EQ(cache_.Open(dir_.Path("real/b.txt"))->bytes, "x");
  EXPECT_EQ(cache_.Count(), 0u);
  // The target behind the link may change without a word to the link's folder.
  std::filesystem::rename(dir_.Path("real"), dir_.Path("moved"));
  EXPECT_FALSE(cache_.Open(dir_.Path("link/a.txt"))->facts.exists);
}

TEST_F(FileCacheTest, AFolderReplacedByALinkIsTrustedNoMore) {
  const std::string file = dir_.Write("site/real/a.txt", "one");
  dir_.Write("site/other/a.txt", "two");
  EXPECT_EQ(cache_.Open(file)->bytes, "one");
  EXPECT_EQ(cache_.Open(dir_.Path("site/real/b.txt"))->facts.exists, false);
  EXPECT_EQ(cache_.Count(), 2u);
  std::filesystem::rename(dir_.Path("site/real"), dir_.Path("site/old"));
  std::filesystem::create_directory_symlink(dir_.Path("site/other"), dir_.Path("site/real"));
  EXPECT_EQ(cache_.Open(file)->bytes, "two");
  EXPECT_EQ(cache_.Count(), 0u) << "nothing is kept through the link";
  WriteInPlace(dir_.Path("site/other/a.txt"), "TWO");
  EXPECT_EQ(cache_.Open(file)->bytes, "TWO");
}

TEST_F(FileCacheTest, NoLookUpOvertakesACompletedChangeUnderThreads) {
  // A writer counts up in place; readers note the last count whose write
  // has returned and then look: the look may never show less.
  const std::string file = dir_.Write("site/count.txt", "00000000");
  std::atomic<int> completed{0};
  std::atomic<bool> done{false};
  std::atomic<int> stale{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 200000 && !done.load(); ++i) {
        const int before = completed.load();
        platform::FileCacheRef entry = cache_.Open(file);
        if (!entry->hasBytes || std::stoi(entry->bytes) < before) stale.fetch_add(1);
      }
    });
  }
  char text[16];
  for (int v = 1; v <= 3000; ++v) {
    std::snprintf(text, sizeof text, "%08d", v);
    WriteInPlace(file, text);
    completed.store(v);
  }
  done.store(true);
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(stale.load(), 0);
}

TEST(FileCacheBounds, HoldUnderManyDistinctFiles) {
  platform::FileCacheLimits limits;
  limits.entries = 64;
  limits.bytes = 3000;
  limits.smallFile = 100;
  platform::FileCache cache(limits);
  if (!cache.Active()) GTEST_SKIP() << "no inotify here";
  TempDirectory dir;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = "f/" + std::to_string(i % 7) + "/" + std::to_string(i) + ".txt";
    const std::string content(static_cast<size_t>(i % 120), static_cast<char>('a' + i % 26));
    const std::string path = dir.Write(name, content);
    platform::FileCacheRef entry = cache.Open(path);
    ASSERT_EQ(entry->facts.size, static_cast<int64_t>(content.size()));
    ASSERT_EQ(entry->hasBytes, content.size() <= 100u);
    if (entry->hasBytes) {
      ASSERT_EQ(entry->bytes, content);
    }
    ASSERT_LE(cache.Count(), limits.entries);
    ASSERT_LE(cache.Bytes(), limits.bytes);
  }
  EXPECT_GT(cache.Count(), 0u);
}

TEST(FileCacheBounds, EvictionGivesWatchesBackSoNothingStartsOver) {
  // Few watches to spare beyond the entries: a cache that held on to the
  // watch of every file it ever looked at would run out and drop all.
  platform::FileCacheLimits limits;
  limits.entries = 24;
  limits.watches = 48;
  platform::FileCache cache(limits);
  if (!cache.Active()) GTEST_SKIP() << "no inotify here";
  TempDirectory dir;
  std::vector<std::string> paths;
  for (int i = 0; i < 600; ++i) paths.push_back(dir.Write("f/" + std::to_string(i % 4) + "/" + std::to_string(i), "v1"));
  for (size_t i = 0; i < paths.size(); ++i) {
    ASSERT_EQ(cache.Open(paths[i])->bytes, "v1");
    if (i >= limits.entries) {
      ASSERT_EQ(cache.Count(), limits.entries) << "after " << i;
    }
  }
  // Files whose watches were given back and that are kept again still
  // follow their changes, and so do the ones kept all along.
  for (size_t i = 0; i < paths.size(); i += 25) {
    ASSERT_EQ(cache.Open(paths[i])->bytes, "v1");
    WriteInPlace(paths[i], "v2");
    ASSERT_EQ(cache.Open(paths[i])->bytes, "v2") << paths[i];
  }
  WriteInPlace(paths.back(), "v3");
  EXPECT_EQ(cache.Open(paths.back())->bytes, "v3");
}

TEST(FileCacheBounds, AnEvictedNameLeavesTheWatchItsOtherNameNeeds) {
  platform::FileCacheLimits limits;
  limits.entries = 2;
  platform::FileCache cache(limits);
  if (!cache.Active()) GTEST_SKIP() << "no inotify here";
  TempDirectory dir;
  const std::string a = dir.Write("s/a.txt", "aaaa");
  const std::string b = dir.Path("s/b.txt");
  std::filesystem::create_hard_link(a, b);
  ASSERT_EQ(cache.Open(a)->bytes, "aaaa");
  ASSERT_EQ(cache.Open(b)->bytes, "aaaa");
  // Evicts a (first in order); b, the same file, stays kept.
  ASSERT_EQ(cache.Open(dir.Write("s/c.txt", "c"))->bytes, "c");
  ASSERT_EQ(cache.Count(), 2u);
  // A write through a is notified to a's name in the folder only; b's
  // entry hears of it through the file's own watch, which must still be
  // there.
  WriteInPlace(a, "AAAA");
  EXPECT_EQ(cache.Open(b)->bytes, "AAAA");
}

TEST_F(FileCacheTest, AnOverflowDropsEverythingAndServesNothingStale) {
  const std::string file = dir_.Write("site/a.txt", "before");
  ASSERT_EQ(cache_.Open(file)->bytes, "before");
  ASSERT_EQ(cache_.Count(), 1u);
  // More notifications than the queue holds, none of them taken in; then
  // the change that matters, whose own notification is lost.
  const int files = QueuedEventLimit() / 2 + 64;
  ASSERT_LE(files, 1 << 20);
  for (int i = 0; i < files; ++i) {
    const std::string noise = dir_.Path("site/n" + std::to_string(i));
    const int fd = ::open(noise.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  WriteInPlace(file, "BEFORE");
  EXPECT_EQ(cache_.Open(file)->bytes, "BEFORE");
  EXPECT_GE(cache_.Overflows(), 1u);
  // And it keeps working afterwards.
  EXPECT_EQ(cache_.Open(file), cache_.Open(file));
  WriteInPlace(file, "before");
  EXPECT_EQ(cache_.Open(file)->bytes, "before");
}

}  // namespace
}  // namespace zevra
