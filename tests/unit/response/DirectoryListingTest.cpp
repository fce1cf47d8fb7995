// The directory listing: the shell's size texts, icon classes, dates, the
// escaping of hostile names and the page built over a real directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/TempDirectory.h"
#include "server/response/DirectoryListing.h"
#include "server/response/ErrorPages.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

TEST(FormatFileSize, AsTheWindowsShellWritesSizes) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "0 bytes"},           {1, "1 bytes"},           {532, "532 bytes"},
      {1023, "1023 bytes"},     {1024, "1.00 KB"},        {1240, "1.21 KB"},
      {1536, "1.50 KB"},        {10239, "9.99 KB"},       {10240, "10.0 KB"},
      {102399, "99.9 KB"},      {102400, "100 KB"},       {1023999, "999 KB"},
      {1024000, "0.97 MB"},     {1048575, "0.99 MB"},     {1048576, "1.00 MB"},
      {3565158, "3.39 MB"},     {2147483647, "1.99 GB"},  {1099511627776, "1.00 TB"},
      {1125899906842624, "1.00 PB"},                      {INT64_MAX, "7.99 EB"},
      {-5, "0 bytes"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatFileSize(bytes), text) << bytes;
}

TEST(ListingIconClass, ByExactExtension) {
  EXPECT_STREQ(ListingIconClass("style.css"), "bkcss");
  EXPECT_STREQ(ListingIconClass("README"), "bkhtml");  // no dot: "html"
  EXPECT_STREQ(ListingIconClass("a.shtml"), "bkhtml");
  EXPECT_STREQ(ListingIconClass("page.HTML"), "bkfile");  // case-sensitive
  EXPECT_STREQ(ListingIconClass("old.htm"), "bkfile");
  EXPECT_STREQ(ListingIconClass("Main.java"), "bkjava");
  EXPECT_STREQ(ListingIconClass("sheet.xlsx"), "bkoffice");
  EXPECT_STREQ(ListingIconClass("index.php"), "bkphp");
  EXPECT_STREQ(ListingIconClass("archive.tar.gz"), "bkbinary");
  EXPECT_STREQ(ListingIconClass("app.js"), "bkscript");
  EXPECT_STREQ(ListingIconClass("clip.mkv"), "bkmovie");
  EXPECT_STREQ(ListingIconClass("song.flac"), "bkmusic");
  EXPECT_STREQ(ListingIconClass("photo.jpeg"), "bkimage");
  EXPECT_STREQ(ListingIconClass("notes.txt"), "bkfile");
}

TEST(FormatListingDate, ZeroPaddedUtc) {
  platform::CivilTime t;
  t.year = 2016, t.month = 3, t.day = 5, t.hour = 8, t.minute = 9, t.second = 7;
  EXPECT_EQ(FormatListingDate(t), "2016-03-05 08:09:07");
  EXPECT_EQ(FormatListingDate(platform::UtcFromUnixSeconds(1457165347)), "2016-03-05 08:09:07");
}

TEST(ListingEscapes, HtmlAndLinks) {
  EXPECT_EQ(EscapeHtml("<img src=x onerror=alert(1)>"), "&lt;img src=x onerror=alert(1)&gt;");
  EXPECT_EQ(EscapeHtml("a&b\"c'd"), "a&amp;b&quot;c&#39;d");
  EXPECT_EQ(EncodeUrlPath("/docs/a b'c%.txt"), "/docs/a%20b%27c%25.txt");
  EXPECT_EQ(EncodeUrlPath("/中"), "/%E4%B8%AD");
  EXPECT_EQ(EncodeUrlPath("javascript:x"), "javascript%3Ax");
}

// Decodes standard base64 (enough for the embedded icons).
std::string DecodeBase64(std::string_view text) {
  static const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    size_t v = kAlphabet.find(c);
    if (v == std::string::npos) return {};
    bits = (bits << 6) | static_cast<uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

TEST(ListingIcons, ThirteenSixteenBySixteenPngs) {
  const char* const order[] = {"bkrtn",   "bkdir",    "bkfile",   "bkmovie",  "bkhtml", "bkmusic", "bkphp",
                               "bkscript", "bkimage", "bkbinary", "bkoffice", "bkjava", "bkcss"};
  for (size_t i = 0; i < kListingIconCount; ++i) {
    EXPECT_STREQ(kListingIcons[i].className, order[i]);
    const std::string png = DecodeBase64(kListingIcons[i].pngBase64);
    ASSERT_GT(png.size(), 33u) << order[i];
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n") << order[i];
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x10\0\0\0\x10", 8)) << order[i];  // 16 x 16
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");
  }
}

class ListingPage : public ::testing::Test {
 protected:
  TempDirectory dir_;
};

TEST_F(ListingPage, DirectoriesFirstThenFilesWithCount) {
  dir_.MakeDirectory("a");
  dir_.MakeDirectory("b");
  dir_.Write("x.txt", "12345");
  size_t count = 0;
  const std::string page = BuildListingPage(dir_.Path(), "/docs", count);
  EXPECT_EQ(count, 3u);
  EXPECT_NE(page.find("<title>目录:/docs/</title>"), std::string::npos);
  EXPECT_NE(page.find("<h3>/docs/</h3>"), std::string::npos);
  EXPECT_NE(page.find("共计(Sum):3个对象"), std::string::npos);
  const size_t a = page.find("<td class='bkdir'><a href='/docs/a/'>a</a><td>&lt;DIR&gt;</td><td>");
  const size_t b = page.find("<td class='bkdir'><a href='/docs/b/'>b</a><td>&lt;DIR&gt;</td><td>");
  const size_t x = page.find("<tr ondblclick=cka(this)><td class='bkfile'><a href='/docs/x.txt'>x.txt</a><td>5 bytes</td><td>");
  ASSERT_NE(a, std::string::npos) << page;
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(x, std::string::npos);
  EXPECT_LT(a, x);
  EXPECT_LT(b, x);
  EXPECT_TRUE(page.starts_with("<!DOCTYPE HTML><html><head><meta name=\"generator\"content=\"泽瓦个人网站服务器\"/>"));
  EXPECT_TRUE(page.ends_with("</td></tr></tbody></table></body></html>"));
  EXPECT_NE(page.find("<a href='../'>.. 返回上级目录(Return)</a><td></td><td></td></tr>"), std::string::npos);
  EXPECT_NE(page.find("<div style='float:right;margin-right:10px'>泽瓦个人网站服务器</div>"), std::string::npos);
}

TEST_F(ListingPage, EmptyDirectoryKeepsItsPathAndCountsZero) {
  size_t count = 7;
  const std::string page = BuildListingPage(dir_.Path(), "/empty", count);
  EXPECT_EQ(count, 0u);
  EXPECT_NE(page.find("<h3>/empty</h3>"), std::string::npos);
  EXPECT_NE(page.find("共计(Sum):0个对象"), std::string::npos);
  EXPECT_TRUE(page.ends_with("<td></td><td></td></tr></tbody></table></body></html>"));
}

TEST_F(ListingPage, HostileNamesCannotRunScript) {
  dir_.Write("<img src=x onerror=alert(1)>", "x");
  dir_.Write("a'b%hc.txt", "x");
  size_t count = 0;
  const std::string page = BuildListingPage(dir_.Path(), "/<b>/", count);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(page.find("<img"), std::string::npos);
  EXPECT_EQ(page.find("<b>"), std::string::npos);
  EXPECT_NE(page.find("<h3>/&lt;b&gt;/</h3>"), std::string::npos);
  EXPECT_NE(page.find("<a href='/%3Cb%3E/%3Cimg%20src%3Dx%20onerror%3Dalert%281%29%3E'>&lt;img src=x "
                      "onerror=alert(1)&gt;</a>"),
            std::string::npos)
      << page;
  // A "%" in a name is only text, never a placeholder.
  EXPECT_NE(page.find("<a href='/%3Cb%3E/a%27b%25hc.txt'>a&#39;b%hc.txt</a>"), std::string::npos);
}

}  // namespace
}  // namespace zevra
