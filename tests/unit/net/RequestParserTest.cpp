// Request heads into records: the request line, the header rules, the
// target's decoding and split, the body bound.
#include <gtest/gtest.h>

#include <string>

#include "server/net/RequestParser.h"
#include "tests/support/NativePath.h"

namespace zevra {
namespace {

using testfiles::Native;

HttpRequest Parse(const std::string& head) { return ParseRequestHead(head); }
HttpRequest ParseLine(const std::string& requestLine) { return Parse(requestLine + "\r\nHost: a\r\n\r\n"); }

TEST(RequestParser, BrowserRequestFillsItsFields) {
  const std::string head =
      "GET /docs/index.html?lang=zh HTTP/1.1\r\n"
      "Host: www.example.test\r\n"
      "Connection: keep-alive\r\n"
      "Cache-Control: max-age=0\r\n"
      "User-Agent: Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36\r\n"
      "Accept: text/html,application/xhtml+xml;q=0.9,*/*;q=0.8\r\n"
      "Referer: http://www.example.test/\r\n"
      "Accept-Encoding: gzip, deflate, br\r\n"
      "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8\r\n"
      "If-None-Match: \"5f-1a\"\r\n"
      "If-Modified-Since: Sat, 05 Mar 2016 08:09:07 GMT\r\n"
      "Cookie: sid=1\r\n"
      "Sec-Fetch-Mode: navigate\r\n"
      "\r\n";
  HttpRequest r = Parse(head);
  EXPECT_EQ(r.Method, "GET");
  EXPECT_EQ(r.Version, "HTTP/1.1");
  EXPECT_EQ(r.Directory, Native("/docs/"));
  EXPECT_EQ(r.FileName, "index.html");
  EXPECT_EQ(r.Query, "lang=zh");
  EXPECT_EQ(r.Uri, "/docs/index.html?lang=zh");
  EXPECT_EQ(r.Host, "www.example.test");
  EXPECT_EQ(r.Connection, "keep-alive");
  EXPECT_EQ(r.CacheControl, "max-age=0");
  EXPECT_EQ(r.UserAgent,
            "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/120.0 Safari/537.36");
  EXPECT_EQ(r.Accept, "text/html,application/xhtml+xml;q=0.9,*/*;q=0.8");
  EXPECT_EQ(r.Referer, "http://www.example.test/");
  EXPECT_EQ(r.AcceptEncoding, "gzip, deflate, br");
  EXPECT_EQ(r.AcceptLanguage, "zh-CN,zh;q=0.9,en;q=0.8");
  EXPECT_EQ(r.IfNoneMatch, "\"5f-1a\"");
  EXPECT_EQ(r.IfModifiedSince, "Sat, 05 Mar 2016 08:09:07 GMT");
  EXPECT_EQ(r.Cookie, "sid=1");
  EXPECT_EQ(r.Body, "");
  // Every accepted line, the unknown one included, in order.
  const size_t start = head.find("\r\n") + 2;
  EXPECT_EQ(r.HeaderLines, head.substr(start, head.size() - start - 4));
  EXPECT_EQ(r.LocalPath, "");
  EXPECT_EQ(r.ScriptPath, "");
}

TEST(RequestParser, TargetIsSplitThenOnlyThePathDecoded) {
  HttpRequest r = ParseLine("GET /a%20b/c.html?x=%41 HTTP/1.1");
  EXPECT_EQ(r.Directory, Native("/a b/"));
  EXPECT_EQ(r.FileName, "c.html");
  EXPECT_EQ(r.Query, "x=%41");
  EXPECT_EQ(r.Uri, "/a b/c.html?x=%41");

  r = ParseLine("GET / HTTP/1.1");
  EXPECT_EQ(r.Directory, Native("/"));
  EXPECT_EQ(r.FileName, "");
  EXPECT_EQ(r.Query, "");
  EXPECT_EQ(r.Uri, "/");

  // An encoded question mark is part of the name; the first raw one
  // splits, and the query keeps any further "?".
  r = ParseLine("GET /x%3Fy?z?w HTTP/1.1");
  EXPECT_EQ(r.FileName, "x?y");
  EXPECT_EQ(r.Query, "z?w");
  EXPECT_EQ(r.Uri, "/x?y?z?w");

  // Encoded separators and plus signs in a query stay what they were.
  r = ParseLine("GET /q.php?q=C%2B%2B&a=1%26b%3D2+c HTTP/1.1");
  EXPECT_EQ(r.FileName, "q.php");
  EXPECT_EQ(r.Query, "q=C%2B%2B&a=1%26b%3D2+c");
  EXPECT_EQ(r.Uri, "/q.php?q=C%2B%2B&a=1%26b%3D2+c");

  // A raw NUL cannot reach an environment variable; raw bytes that are
  // not UTF-8 are repaired as in the path, raw UTF-8 is kept.
  r = ParseLine(std::string("GET /q?a=1\0b HTTP/1.1", 21));
  EXPECT_EQ(r.Query, "a=1b");
  r = ParseLine("GET /q?a=\xFF&b=\xE4\xB8\xAD HTTP/1.1");
  EXPECT_EQ(r.Query, "a=\xEF\xBF\xBD&b=\xE4\xB8\xAD");

  // Encoded slashes in either case take part in the split at the last one.
  r = ParseLine("GET /a%2fb%2Fc HTTP/1.1");
  EXPECT_EQ(r.Directory, Native("/a/b/"));
  EXPECT_EQ(r.FileName, "c");

  // %00 disappears; "+" stays a plus.
  r = ParseLine("GET /a%00b+c HTTP/1.1");
  EXPECT_EQ(r.FileName, "ab+c");

  // A Chinese name, percent-encoded UTF-8.
  r = ParseLine("GET /%E4%B8%AD.html HTTP/1.1");
  EXPECT_EQ(r.FileName, "\xE4\xB8\xAD.html");

  // A target that is not a path leaves the path fields empty.
  r = ParseLine("GET http://h/x HTTP/1.1");
  EXPECT_EQ(r.Method, "GET");
  EXPECT_EQ(r.Directory, Native(""));
  EXPECT_EQ(r.FileName, "");
  EXPECT_EQ(r.Uri, "");
  r = ParseLine("GET %2Fx HTTP/1.1");  // decodes to "/x": a path after all
  EXPECT_EQ(r.FileName, "x");
}

TEST(RequestParser, RequestLineNeedsExactlyThreeParts) {
  HttpRequest r = ParseLine("GET  /a HTTP/1.1");  // two spaces: four parts
  EXPECT_EQ(r.Method, "");
  EXPECT_EQ(r.Version, "");
  EXPECT_EQ(r.Directory, Native(""));
  EXPECT_EQ(r.Uri, "");
  EXPECT_EQ(r.Host, "a");  // the headers are read all the same

  r = ParseLine("GET /a HTTP/1.1 ");  // one trailing space adds no part
  EXPECT_EQ(r.Method, "GET");
  EXPECT_EQ(r.Version, "HTTP/1.1");
  EXPECT_EQ(r.FileName, "a");

  EXPECT_EQ(ParseLine("GET /a HTTP/1.1  ").Method, "");
  EXPECT_EQ(ParseLine("GET /a HTTP/1.1 x").Method, "");
  EXPECT_EQ(ParseLine("GET /a").Method, "");
  EXPECT_EQ(ParseLine("").Method, "");

  // The method is kept as sent; upper-casing is the dispatcher's.
  r = ParseLine("get /a HTTP/1.0");
  EXPECT_EQ(r.Method, "get");
  EXPECT_EQ(r.Version, "HTTP/1.0");
}

TEST(RequestParser, HeaderLineRules) {
  HttpRequest r = Parse(
      "GET / HTTP/1.1\r\n"
      "hOsT: site.test\r\n"            // any letter case
      "Referer:http://x/\r\n"          // no space after the colon: skipped
      "Origin: \r\n"                   // empty value: skipped
      "Accept: a:b\r\n"                // a colon without a space is fine
      "Server: a: b\r\n"               // ": " inside the value: skipped
      "Pragma: a: \r\n"                // ... also at the very end
      "Expires: x\r\n"
      "Expires: y\r\n"                 // the last one wins
      "X-Custom: kept\r\n"             // unknown: only in HeaderLines
      "Date: last\r\n"
      "\r\n");
  EXPECT_EQ(r.Host, "site.test");
  EXPECT_EQ(r.Referer, "");
  EXPECT_EQ(r.Origin, "");
  EXPECT_EQ(r.Accept, "a:b");
  EXPECT_EQ(r.Server, "");
  EXPECT_EQ(r.Pragma, "");
  EXPECT_EQ(r.Expires, "y");
  EXPECT_EQ(r.Date, "last");  // no carriage return left on the last line
  EXPECT_EQ(r.HeaderLines,
            "hOsT: site.test\r\nAccept: a:b\r\nExpires: x\r\nExpires: y\r\nX-Custom: kept\r\nDate: last");
  // Response-only fields are never filled from a request.
  r = Parse("GET / HTTP/1.1\r\nVary: x\r\nSet-Cookie: y\r\nAccept-Ranges: z\r\nContent-Range: w\r\n\r\n");
  EXPECT_EQ(r.Vary, "");
  EXPECT_EQ(r.SetCookie, "");
  EXPECT_EQ(r.AcceptRanges, "");
  EXPECT_EQ(r.ContentRange, "");
  EXPECT_EQ(r.ExtraHeaders, "");
}

TEST(RequestParser, SkippedFirstHeaderLineLeavesLeadingBreak) {
  HttpRequest r = Parse("GET / HTTP/1.1\r\nbroken\r\nHost: h\r\n\r\n");
  EXPECT_EQ(r.HeaderLines, "\r\nHost: h");
  r = Parse("GET / HTTP/1.1\r\nHost: h\r\nbroken\r\nAccept: a\r\n\r\n");
  EXPECT_EQ(r.HeaderLines, "Host: h\r\nAccept: a");
}

TEST(RequestParser, NameFoldingTouchesAsciiLettersOnly) {
  // Bytes one bit away from a letter or from "-" are not that letter.
  HttpRequest r = Parse("GET / HTTP/1.1\r\nAccept\rLanguage: x\r\nD\x01TE: y\r\nh\xcfst: z\r\nRANGE: w\r\n\r\n");
  EXPECT_EQ(r.AcceptLanguage, "");
  EXPECT_EQ(r.Date, "");
  EXPECT_EQ(r.Host, "");
  EXPECT_EQ(r.Range, "w");
}

TEST(RequestParser, CookiesAreJoinedWithoutSeparator) {
  HttpRequest r = Parse("GET / HTTP/1.1\r\nCookie: a=1\r\ncookie: b=2\r\n\r\n");
  EXPECT_EQ(r.Cookie, "a=1b=2");
}

// Found by the head fuzzer: a value ending in a bare CR joined to one that
// begins with a bare LF made a line break inside the kept Cookie.
TEST(RequestParser, JoinedCookiesNeverMakeALineBreak) {
  HttpRequest r = Parse("GET / HTTP/1.1\r\nCookie: a=1\r\r\nCookie: \nb=2\r\n\r\n");
  EXPECT_EQ(r.Cookie, "a=1 \nb=2");
}

TEST(RequestParser, BodyIsBoundedByLengthAndByWhatIsThere) {
  const std::string head = "POST /f HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  EXPECT_EQ(Parse(head + "hello world").Body, "hello");
  EXPECT_EQ(Parse(head + "hi").Body, "hi");
  EXPECT_EQ(Parse(head).Body, "");
  EXPECT_EQ(Parse("POST /f HTTP/1.1\r\nHost: h\r\n\r\nbody").Body, "");
  EXPECT_EQ(Parse("POST /f HTTP/1.1\r\nContent-Length: -3\r\n\r\nbody").Body, "");
  EXPECT_EQ(Parse("POST /f HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\nbody").Body, "body");
  // The body may hold an empty line of its own: the head ends at the first.
  HttpRequest r = Parse("POST /f HTTP/1.1\r\nContent-Length: 8\r\n\r\nab\r\n\r\ncdef");
  EXPECT_EQ(r.Body, "ab\r\n\r\ncd");
  EXPECT_EQ(r.ContentLength, "8");
}

TEST(RequestParser, HeadWithoutEndGivesEmptyRecord) {
  HttpRequest r = Parse("GET / HTTP/1.1\r\nHost: h\r\n");
  EXPECT_EQ(r.Method, "");
  EXPECT_EQ(r.Host, "");
  EXPECT_EQ(r.HeaderLines, "");
  EXPECT_EQ(r.Uri, "");
  EXPECT_EQ(Parse("").Method, "");
  EXPECT_EQ(Parse("\r\n\r\nGET / HTTP/1.1\r\n\r\n").Method, "");
  // A bare LF or CR is part of a line, not its end.
  r = Parse("GET / HTTP/1.1\r\nHost: h\nAccept:x\rk\r\n\r\n");
  EXPECT_EQ(r.Host, "h\nAccept:x\rk");
  EXPECT_EQ(r.Accept, "");
  EXPECT_EQ(Parse("GET / HTTP/1.1\n\n").Method, "");
}

TEST(RequestParser, NulBytesDoNotEndTheHead) {
  const std::string head("GET /a\0.txt HTTP/1.1\r\nHost: x\0y\r\n\r\n", 35);
  HttpRequest r = ParseRequestHead(head);
  EXPECT_EQ(r.Host, std::string("x\0y", 3));
  EXPECT_EQ(r.FileName, "a.txt");  // a path never carries a NUL
}

TEST(PercentDecode, EscapesAndNonEscapes) {
  EXPECT_EQ(PercentDecode("%41%62%7e%7E"), "Ab~~");
  EXPECT_EQ(PercentDecode("a+b"), "a+b");
  EXPECT_EQ(PercentDecode("%00%00x"), "x");
  EXPECT_EQ(PercentDecode(std::string("/a.php\0.txt", 11)), "/a.php.txt");  // raw NULs too
  // A "%" without two hex digits is itself: it makes no byte of its own.
  EXPECT_EQ(PercentDecode("%"), "%");
  EXPECT_EQ(PercentDecode("%4"), "%4");
  EXPECT_EQ(PercentDecode("%3G%3G"), "%3G%3G");
  EXPECT_EQ(PercentDecode("%%41"), "%A");
  EXPECT_EQ(PercentDecode("100%"), "100%");
  EXPECT_EQ(PercentDecode("%e4%b8%ad"), "\xE4\xB8\xAD");
}

TEST(Utf8ToAnsi, ValidTextPassesUnchanged) {
  EXPECT_EQ(Utf8ToAnsi("plain"), "plain");
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD\xE6\x96\x87"), "\xE4\xB8\xAD\xE6\x96\x87");
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80");          // U+1F600
  EXPECT_EQ(Utf8ToAnsi("\xF4\x8F\xBF\xBF"), "\xF4\x8F\xBF\xBF");          // U+10FFFF
  EXPECT_EQ(Utf8ToAnsi("\xEF\xBF\xBD"), "\xEF\xBF\xBD");
  EXPECT_EQ(Utf8ToAnsi(""), "");
}

// Each maximal ill-formed subpart becomes one U+FFFD.
TEST(Utf8ToAnsi, InvalidSequencesBecomeReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(Utf8ToAnsi("a\xC0\xAF" "b"), "a" + R + R + "b");        // overlong "/"
  EXPECT_EQ(Utf8ToAnsi("\xE0\x80\xAF"), R + R + R);                  // overlong, three bytes
  EXPECT_EQ(Utf8ToAnsi("\xED\xA0\x80"), R + R + R);                  // surrogate U+D800
  EXPECT_EQ(Utf8ToAnsi("\xF4\x90\x80\x80"), R + R + R + R);          // above U+10FFFF
  EXPECT_EQ(Utf8ToAnsi("\xF5\x80"), R + R);
  EXPECT_EQ(Utf8ToAnsi("x\xE4\xB8"), "x" + R);                       // truncated at the end
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8" "a"), R + "a");                    // truncated before ASCII
  EXPECT_EQ(Utf8ToAnsi("\xF0\x9F\x98" "\xE4\xB8\xAD"), R + "\xE4\xB8\xAD");
  EXPECT_EQ(Utf8ToAnsi("\x80\xBF"), R + R);                          // stray continuations
  EXPECT_EQ(Utf8ToAnsi("\xFF"), R);
  // Through a request: a decoded overlong slash can never become a "/".
  HttpRequest r = ParseLine("GET /a%C0%AFb HTTP/1.1");
  EXPECT_EQ(r.Directory, Native("/"));
  EXPECT_EQ(r.FileName, "a" + R + R + "b");
}

TEST(SplitTarget, ReportsAndLeavesFieldsAlone) {
  std::string d = "D", f = "F", q = "Q";
  EXPECT_FALSE(SplitTarget("x/y", d, f, q));
  EXPECT_EQ(d + f + q, "DFQ");
  EXPECT_FALSE(SplitTarget("", d, f, q));
  EXPECT_TRUE(SplitTarget("/p/q?", d, f, q));
  EXPECT_EQ(d, Native("/p/"));
  EXPECT_EQ(f, "q");
  EXPECT_EQ(q, "Q");  // a "?" at the end gives no query part
}

}  // namespace
}  // namespace zevra
