// The ANSI code page at the edges. Under GBK (code page 936: the Windows
// tests run once under a zh_CN.GBK locale, which sets
// ZEVRA_EXPECT_CODE_PAGE=936) a trail byte may be 0x5C, the byte of '\'.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/CodePage.h"

namespace zevra {
namespace {

bool RunsUnderGbk() {
  const char* expected = std::getenv("ZEVRA_EXPECT_CODE_PAGE");
  return expected != nullptr && std::string(expected) == "936";
}

TEST(CodePage, AsciiPassesUnchanged) {
  const std::string ascii = "C:\\Zevra\\WebRoot;index.html;Static;None;None";
  EXPECT_EQ(platform::Utf8ToCodePage(ascii), ascii);
  EXPECT_EQ(platform::CodePageToUtf8(ascii), ascii);
  EXPECT_EQ(platform::Utf8ToCodePage(""), "");
}

TEST(CodePage, GbkTrailBackslashStaysInsideItsCharacter) {
  if (!RunsUnderGbk()) GTEST_SKIP() << "only under code page 936";
  EXPECT_FALSE(platform::CodePageIsUtf8());
  // "乗" is 81 5C, "嘰" 87 5C in GBK.
  EXPECT_EQ(platform::Utf8ToCodePage("a\\乗\\嘰b"), "a\\\x81\x5C\\\x87\x5C" "b");
  EXPECT_EQ(platform::CodePageToUtf8("a\\\x81\x5C\\\x87\x5C" "b"), "a\\乗\\嘰b");
  // A lead byte cut off at the end is no character of its own.
  EXPECT_EQ(platform::CodePageToUtf8("\x81\x5C\x81").substr(0, 3), "乗");
}

}  // namespace
}  // namespace zevra
