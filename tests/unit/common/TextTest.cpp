// Trimming, the one helper every header reader and the profile reader share.
#include <gtest/gtest.h>

#include "common/Text.h"

namespace zevra {
namespace {

TEST(TrimAny, CutsOnlyTheGivenBytesAtTheEnds) {
  EXPECT_EQ(TrimBlanks(" \t a b \t"), "a b");
  EXPECT_EQ(TrimBlanks("\r a \r"), "\r a \r");  // CR is no blank in a header value
  EXPECT_EQ(TrimAny("\r a \r", " \t\r"), "a");
  EXPECT_EQ(TrimBlanks("   "), "");
  EXPECT_EQ(TrimBlanks(""), "");
  // The result is a view into the text, not a copy.
  const std::string_view text = "  x  ";
  EXPECT_EQ(TrimBlanks(text).data(), text.data() + 2);
}

}  // namespace
}  // namespace zevra
