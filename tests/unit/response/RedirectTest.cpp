// The Location of a folder redirect: the path encoded as listing links are,
// the query passed on as sent but never able to end the header line.
#include <gtest/gtest.h>

#include "server/response/Redirect.h"

namespace zevra {
namespace {

TEST(FolderLocation, EncodesThePathAndKeepsTheQuery) {
  EXPECT_EQ(FolderLocation("/app", ""), "/app/");
  EXPECT_EQ(FolderLocation("/a b/\xE4\xB8\xAD", "x=1&y=%41"), "/a%20b/%E4%B8%AD/?x=1&y=%41");
  // A "?" that was part of the name stays part of it.
  EXPECT_EQ(FolderLocation("/what?", "q"), "/what%3F/?q");
  // Bytes that would break the field line are encoded.
  EXPECT_EQ(FolderLocation("/d", std::string("a\nb\rc d\x7F", 8)), "/d/?a%0Ab%0Dc%20d%7F");
  EXPECT_EQ(FolderLocation("/d\r\nX: y", ""), "/d%0D%0AX%3A%20y/");
}

}  // namespace
}  // namespace zevra
