// Static delivery's pure parts: validator hashes, cache names, the Range
// header against RFC 9110, and the table of compressed copies.
#include <gtest/gtest.h>

#include <string>

#include "server/response/StaticFile.h"
#include "tests/support/NativePath.h"

namespace zevra {
namespace {

using testfiles::Native;

TEST(TextHash, WalksTheBytesFromTheEnd) {
  EXPECT_EQ(TextHash(""), 0u);
  EXPECT_EQ(TextHash("abc"), 99267u);
  EXPECT_EQ(HashText("abc"), "99267");
  // Bytes count as unsigned: 0xFF adds 256, not 0.
  EXPECT_EQ(TextHash("\xff"), 256u);
  // Wrap-around into the sign bit gives the "m" form.
  const std::string wraps(6, 'z');  // 3638765088
  ASSERT_GE(TextHash(wraps), 0x80000000u);
  EXPECT_EQ(HashText(wraps), "m656202208");  // 2^32 - 3638765088
}

TEST(Validators, EntityTagAndCacheName) {
  EXPECT_EQ(EntityTagOf("abc", "abc"), "\"99267:99267\"");
  EXPECT_EQ(GzipCachePath("/opt/zevra", "abc", ""), "/opt/zevra" + Native("/WebCache/cache_99267_0"));
  const std::string wraps(6, 'z');  // 3638765088
  EXPECT_EQ(EntityTagOf(wraps, "abc"), "\"" + HashText(wraps) + ":99267\"");
}

struct RangeCase {
  const char* value;
  int64_t size;
  ByteRange::Kind kind;
  int64_t first;
  int64_t last;
};

TEST(ParseRange, FollowsRfc9110) {
  const RangeCase cases[] = {
      {"", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=100-199", 1000, ByteRange::kPartial, 100, 199},
      {"bytes=900-", 1000, ByteRange::kPartial, 900, 999},
      {"bytes=999-999", 1000, ByteRange::kPartial, 999, 999},
      {"BYTES=5-9", 1000, ByteRange::kPartial, 5, 9},
      // Starting at 0 is answered whole.
      {"bytes=0-", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=0-99", 1000, ByteRange::kWhole, 0, 0},
      // The suffix form is the last N bytes, all of them when N is larger.
      {"bytes=-500", 1000, ByteRange::kPartial, 500, 999},
      {"bytes=-1", 1000, ByteRange::kPartial, 999, 999},
      {"bytes=-5000", 1000, ByteRange::kPartial, 0, 999},
      {"bytes=-0", 1000, ByteRange::kUnsatisfiable, 0, 0},
      // A last byte beyond the end is cut to the end.
      {"bytes=500-5000", 1000, ByteRange::kPartial, 500, 999},
      // Nothing of the file at or after the first byte.
      {"bytes=1000-", 1000, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=1000-2000", 1000, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=5-", 0, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=-5", 0, ByteRange::kUnsatisfiable, 0, 0},
      {"bytes=0-", 0, ByteRange::kWhole, 0, 0},
      // A list is served as one range from the first element to the end.
      {"bytes=5-10,20-30", 1000, ByteRange::kPartial, 5, 999},
      {"bytes=5-10, ,20-30", 1000, ByteRange::kPartial, 5, 999},
      {"bytes= 100-199 ", 1000, ByteRange::kPartial, 100, 199},
      // What does not parse is ignored.
      {"bytes=200-100", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=abc", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=1x-5", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=+1-5", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=-", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=5-10,x", 1000, ByteRange::kWhole, 0, 0},
      {"items=5-10", 1000, ByteRange::kWhole, 0, 0},
      {"5-10", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=99999999999999999999-", 1000, ByteRange::kWhole, 0, 0},
      {"bytes=9223372036854775807-", 1000, ByteRange::kUnsatisfiable, 0, 0},
  };
  for (const RangeCase& c : cases) {
    ByteRange r = ParseRange(c.value, c.size);
    EXPECT_EQ(r.kind, c.kind) << c.value << " on " << c.size;
    if (c.kind == ByteRange::kPartial && r.kind == ByteRange::kPartial) {
      EXPECT_EQ(r.first, c.first) << c.value;
      EXPECT_EQ(r.last, c.last) << c.value;
    }
  }
}

TEST(GzipCacheTable, RecordsReplacesAndRemoves) {
  GzipCacheTable table;
  EXPECT_EQ(table.Find("/srv/a.html"), nullptr);
  ASSERT_TRUE(table.Set("/srv/a.html", "v1"));
  ASSERT_NE(table.Find("/srv/a.html"), nullptr);
  EXPECT_EQ(*table.Find("/srv/a.html"), "v1");
  ASSERT_TRUE(table.Set("/srv/a.html", "v2"));
  EXPECT_EQ(*table.Find("/srv/a.html"), "v2");
  EXPECT_EQ(table.Count(), 1u);
  table.Remove("/srv/a.html");
  EXPECT_EQ(table.Find("/srv/a.html"), nullptr);
  EXPECT_EQ(table.Count(), 0u);
}

TEST(GzipCacheTable, AFullTableRefusesNewPathsButKeepsUpdating) {
  GzipCacheTable table;
  size_t taken = 0;
  for (size_t i = 0; i < GzipCacheTable::kSlots + 10; ++i) taken += table.Set("/f" + std::to_string(i), "v");
  EXPECT_EQ(taken, GzipCacheTable::kSlots - 1);
  EXPECT_FALSE(table.HasRoom());
  EXPECT_FALSE(table.Set("/new", "v"));
  EXPECT_EQ(table.Find("/new"), nullptr);  // the probe of an absent path still ends
  EXPECT_TRUE(table.Set("/f7", "changed"));
  EXPECT_EQ(*table.Find("/f7"), "changed");
  // A removed entry stays a step on the probe paths of the others.
  table.Remove("/f3");
  for (size_t i = 0; i < GzipCacheTable::kSlots - 1; ++i) {
    if (i == 3) continue;
    ASSERT_NE(table.Find("/f" + std::to_string(i)), nullptr) << i;
  }
  EXPECT_TRUE(table.Set("/new", "v"));
}

TEST(GzipCacheTable, MakesRoomOldestFirstAndCountsBytes) {
  GzipCacheTable table;
  table.Set("/a", "v1", 100);
  table.Set("/b", "v1", 200);
  table.Set("/c", "v1", 300);
  EXPECT_EQ(table.TotalBytes(), 600);
  // A new version replaces its size and counts as recorded now.
  table.Set("/a", "v2", 50);
  EXPECT_EQ(table.TotalBytes(), 550);
  // Room for 250 more within 700: "/b" (oldest) goes, then "/c"; never
  // the path the room is made for.
  std::vector<GzipCacheTable::Dropped> dropped = table.MakeRoom(250, 700, "/a");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].localPath, "/b");
  EXPECT_EQ(dropped[0].lastModified, "v1");
  EXPECT_EQ(table.TotalBytes(), 350);
  dropped = table.MakeRoom(1000, 700, "/a");
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].localPath, "/c");
  EXPECT_EQ(table.Find("/c"), nullptr);
  EXPECT_NE(table.Find("/a"), nullptr);  // the kept one stays, even over the limit
  EXPECT_TRUE(table.MakeRoom(10, 700, "").empty());
  table.Remove("/a");
  EXPECT_EQ(table.TotalBytes(), 0);
}

}  // namespace
}  // namespace zevra
