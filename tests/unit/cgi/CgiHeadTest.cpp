// The head a CGI program writes, as an answer record.
#include <gtest/gtest.h>

#include "server/cgi/CgiHead.h"

namespace zevra {
namespace {

TEST(ParseCgiHead, StatusAndContentTypeFillTheirFields) {
  ResponseHead h = ParseCgiHead("Status: 404 Not Found\r\nContent-Type: text/plain");
  EXPECT_EQ(h.Status, "404 Not Found");
  EXPECT_EQ(h.ContentType, "text/plain");
  EXPECT_EQ(h.ExtraHeaders, "");
}

TEST(ParseCgiHead, EmptyHeadGetsTheDefaults) {
  ResponseHead h = ParseCgiHead("");
  EXPECT_EQ(h.Status, "200 OK");
  EXPECT_EQ(h.ContentType, "text/html");
}

TEST(ParseCgiHead, UnknownLinesPassWholeInOrderAndLocationLeavesStatus) {
  ResponseHead h = ParseCgiHead(
      "Set-Cookie: a=1; Path=/\r\nLocation: /next\r\nset-cookie: b=2\r\nVary: Cookie\r\nX-Odd:  two blanks");
  EXPECT_EQ(h.ExtraHeaders,
            "Set-Cookie: a=1; Path=/\r\nLocation: /next\r\nset-cookie: b=2\r\nVary: Cookie\r\nX-Odd:  two blanks\r\n");
  EXPECT_EQ(h.Status, "200 OK");
}

TEST(ParseCgiHead, NamesMatchInAnyCaseAndALaterLineWins) {
  ResponseHead h = ParseCgiHead("CONTENT-TYPE: a/b\r\ncontent-type: c/d\r\nX-Powered-By: PHP\r\n"
                                "content-encoding: gzip\r\nCache-Control: no-store\r\nContent-Length: 7\r\n"
                                "ETag: \"e\"\r\nExpires: 0\r\nLast-Modified: x\r\nPragma: no-cache");
  EXPECT_EQ(h.ContentType, "c/d");
  EXPECT_EQ(h.XPoweredBy, "PHP");
  EXPECT_EQ(h.ContentEncoding, "gzip");
  EXPECT_EQ(h.CacheControl, "no-store");
  EXPECT_EQ(h.ContentLength, "7");
  EXPECT_EQ(h.ETag, "\"e\"");
  EXPECT_EQ(h.Expires, "0");
  EXPECT_EQ(h.LastModified, "x");
  EXPECT_EQ(h.Pragma, "no-cache");
  EXPECT_EQ(h.ExtraHeaders, "");
}

TEST(ParseCgiHead, ALineWithoutColonBlankEndsTheParse) {
  ResponseHead h = ParseCgiHead("X-A: 1\r\nStatus:200\r\nStatus: 500 Oops\r\nX-B: 2");
  EXPECT_EQ(h.ExtraHeaders, "X-A: 1\r\n");
  EXPECT_EQ(h.Status, "200 OK");
}

TEST(ParseCgiHead, StopsAtABlankLineAndDropsTransferEncoding) {
  ResponseHead h = ParseCgiHead("Transfer-Encoding: chunked\r\nX-A: 1\r\n\r\nX-B: 2");
  EXPECT_EQ(h.ExtraHeaders, "X-A: 1\r\n");
}

TEST(ParseCgiHead, MappedValueKeepsLaterSeparators) {
  EXPECT_EQ(ParseCgiHead("Status: 302 Moved: see").Status, "302 Moved: see");
}

TEST(ParseCgiHead, BareLineBreaksInAValueBecomeBlanksAndAddNoField) {
  ResponseHead h = ParseCgiHead(std::string_view("Location: /x\rSet-Cookie: a=1\r\nX-A: one\nSet-Cookie: b=2\r\n"
                                                 "Content-Type: text/plain\r\rX: y\r\nX-Nul: a\0b",
                                                 98));
  EXPECT_EQ(h.ExtraHeaders, "Location: /x Set-Cookie: a=1\r\nX-A: one Set-Cookie: b=2\r\nX-Nul: a b\r\n");
  EXPECT_EQ(h.ContentType, "text/plain  X: y");
}

TEST(ParseCgiHead, ALineWhoseNameIsNoTokenIsDroppedAndTheParseGoesOn) {
  ResponseHead h = ParseCgiHead("X-A: 1\r\n Folded: 2\r\nBad Name: 3\r\n\nX-B: 4\r\nX-C: 5");
  EXPECT_EQ(h.ExtraHeaders, "X-A: 1\r\nX-C: 5\r\n");
}

}  // namespace
}  // namespace zevra
