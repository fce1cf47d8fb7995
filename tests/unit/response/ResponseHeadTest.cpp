// Response heads: field order, the status-class rules, the MIME table,
// dates, the gzip acceptance rule and the send.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/FakeLink.h"
#include "server/response/ResponseHead.h"

namespace zevra {
namespace {

// The head with its Date value cut out, which is the only part that moves.
std::string WithoutDate(std::string head) {
  const size_t at = head.find("\r\nDate: ");
  if (at == std::string::npos) return head;
  const size_t end = head.find("\r\n", at + 2);
  return head.erase(at + 2, end - at);
}

TEST(BuildResponseHead, WritesFieldsInFixedOrder) {
  ResponseHead h;
  h.Status = "200 OK";
  h.FileName = "index.html";
  // Filled in reverse of the order they are written.
  h.XPoweredBy = "PHP";
  h.SetCookie = "a=1";
  h.Connection = "keep-alive";
  h.Pragma = "no-cache";
  h.CacheControl = "private";
  h.AcceptCharset = "utf-8";
  h.UserAgent = "ua";
  h.Origin = "o";
  h.Referer = "r";
  h.AcceptLanguage = "zh";
  h.ETag = "\"e\"";
  h.LastModified = "Sat, 05 Mar 2016 08:09:07 GMT";
  h.ContentRange = "bytes 0-1/2";
  h.ContentLength = "2";
  h.ContentEncoding = "gzip";
  h.Expires = "0";
  h.ExtraHeaders = "X-A: 1\r\nX-B: 2\r\n";
  // Fields that never become headers.
  h.Host = "host";
  h.Cookie = "c";
  h.Range = "bytes=0-";
  std::string head = BuildResponseHead(h);
  EXPECT_EQ(WithoutDate(head),
            "HTTP/1.1 200 OK\r\n"
            "Server: Zevra/0.2.9\r\n"
            "Expires: 0\r\n"
            "Content-Type: text/html\r\n"
            "Content-Encoding: gzip\r\n"
            "Content-Length: 2\r\n"
            "Content-Range: bytes 0-1/2\r\n"
            "Last-Modified: Sat, 05 Mar 2016 08:09:07 GMT\r\n"
            "ETag: \"e\"\r\n"
            "Accept-Language: zh\r\n"
            "Referer: r\r\n"
            "Origin: o\r\n"
            "User-Agent: ua\r\n"
            "Accept-Charset: utf-8\r\n"
            "Vary: Accept-Encoding\r\n"
            "Cache-Control: private\r\n"
            "Pragma: no-cache\r\n"
            "Connection: keep-alive\r\n"
            "Set-Cookie: a=1\r\n"
            "X-Powered-By: PHP\r\n"
            "X-A: 1\r\nX-B: 2\r\n"
            "\r\n");
  // Date comes right after Server and is the record's new value.
  EXPECT_EQ(head.find("Date: "), std::string("HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\n").size());
  EXPECT_EQ(h.Date.size(), 29u);
  EXPECT_NE(head.find("\r\nDate: " + h.Date + "\r\n"), std::string::npos);
  EXPECT_EQ(h.Version, "HTTP/1.1");
  EXPECT_EQ(h.Server, "Zevra/0.2.9");
}

TEST(BuildResponseHead, MinimalHeadEndsWithBlankLine) {
  ResponseHead h;
  h.Status = "404 Not Found";
  h.ContentType = "text/html; charset=utf-8";
  h.Version = "HTTP/1.0";  // overwritten
  h.Server = "other";      // overwritten
  EXPECT_EQ(WithoutDate(BuildResponseHead(h)),
            "HTTP/1.1 404 Not Found\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html; charset=utf-8\r\n\r\n");
}

TEST(BuildResponseHead, ContentTypeFromFileNameUnlessGiven) {
  ResponseHead h;
  h.Status = "200 OK";
  h.FileName = "notes";
  BuildResponseHead(h);
  EXPECT_EQ(h.ContentType, "text/html");

  ResponseHead cgi;
  cgi.Status = "200 OK";
  cgi.FileName = "run.php";
  cgi.ExtraHeaders = "content-type: text/plain\r\n";
  std::string head = BuildResponseHead(cgi);
  EXPECT_EQ(cgi.ContentType, "");
  EXPECT_EQ(head.find("Content-Type: "), std::string::npos);
  EXPECT_NE(head.find("\r\ncontent-type: text/plain\r\n\r\n"), std::string::npos);
}

TEST(BuildResponseHead, AcceptRangesFromOneMebibyte) {
  ResponseHead h;
  h.Status = "200 OK";
  h.ContentLength = "1048575";
  BuildResponseHead(h);
  EXPECT_EQ(h.AcceptRanges, "");
  h.ContentLength = "1048576";
  EXPECT_NE(BuildResponseHead(h).find("\r\nAccept-Ranges: bytes\r\n"), std::string::npos);

  ResponseHead partial;
  partial.Status = "206 Partial Content";
  partial.ContentLength = "5000000000";  // 64-bit lengths
  BuildResponseHead(partial);
  EXPECT_EQ(partial.AcceptRanges, "bytes");

  ResponseHead error;
  error.Status = "404 Not Found";
  error.ContentLength = "2000000";
  BuildResponseHead(error);
  EXPECT_EQ(error.AcceptRanges, "");
}

TEST(BuildResponseHead, RedirectsAndNotModifiedCarryNoBodyFields) {
  ResponseHead h;
  h.Status = "304 Not Modified";
  h.FileName = "a.css";
  h.ContentType = "text/css";
  h.ContentLength = "1048576";
  h.ContentEncoding = "gzip";
  h.Vary = "Accept-Encoding";
  h.ETag = "\"x\"";
  std::string head = BuildResponseHead(h);
  EXPECT_EQ(WithoutDate(head),
            "HTTP/1.1 304 Not Modified\r\nServer: Zevra/0.2.9\r\nETag: \"x\"\r\nAccept-Ranges: bytes\r\n\r\n");
}

TEST(BuildResponseHead, VaryOnlyForGzipAndNotTwice) {
  ResponseHead h;
  h.Status = "200 OK";
  h.ContentEncoding = "gzip";
  h.ExtraHeaders = "Vary: Cookie\r\n";
  std::string head = BuildResponseHead(h);
  EXPECT_EQ(h.Vary, "");
  EXPECT_EQ(head.find("Vary: Accept-Encoding"), std::string::npos);

  ResponseHead d;
  d.Status = "200 OK";
  d.ContentEncoding = "deflate";
  BuildResponseHead(d);
  EXPECT_EQ(d.Vary, "");
}

TEST(BuildResponseHead, ValuesCannotBreakTheirLine) {
  ResponseHead h;
  h.Status = "200 OK\r\nX-Evil: 1";
  h.ContentType = "text/plain";
  h.Origin = "http://a\nSet-Cookie: s=1";
  h.SetCookie = std::string("a\0b\rc", 5);
  std::string head = BuildResponseHead(h);
  EXPECT_EQ(WithoutDate(head),
            "HTTP/1.1 200 OK  X-Evil: 1\r\nServer: Zevra/0.2.9\r\nContent-Type: text/plain\r\n"
            "Origin: http://a Set-Cookie: s=1\r\nSet-Cookie: a b c\r\n\r\n");
}

TEST(MimeTypes, ExtensionsAndTable) {
  EXPECT_EQ(ExtensionOf("notes"), "html");
  EXPECT_EQ(ExtensionOf(""), "html");
  EXPECT_EQ(ExtensionOf("notes."), "html");  // a final dot leaves no piece
  EXPECT_EQ(ExtensionOf("a.b."), "b");
  EXPECT_EQ(ExtensionOf("a.."), "");
  EXPECT_EQ(ExtensionOf(".htaccess"), "htaccess");
  EXPECT_EQ(ExtensionOf("archive.tar.gz"), "gz");
  EXPECT_STREQ(MimeTypeForExtension(ExtensionOf("PHOTO.JPG")), "image/jpeg");
  EXPECT_STREQ(MimeTypeForExtension(ExtensionOf("archive.tar.gz")), "application/octet-stream");
  EXPECT_STREQ(MimeTypeForExtension(ExtensionOf("notes")), "text/html");
  EXPECT_STREQ(MimeTypeForExtension(""), "application/octet-stream");
  EXPECT_STREQ(MimeTypeForExtension("HtMl"), "text/html");
  EXPECT_STREQ(MimeTypeForExtension("htmlx"), "application/octet-stream");
  EXPECT_STREQ(MimeTypeForExtension("\xE4\xB8\xAD"), "application/octet-stream");
  // A few rows across the table, with the last entry of some groups.
  const std::pair<const char*, const char*> rows[] = {
      {"shtml", "text/html"}, {"js", "application/x-javascript"}, {"tif", "image/tiff"},
      {"ear", "application/java-archive"}, {"ai", "application/postscript"}, {"kar", "audio/midi"},
      {"3gpp", "video/3gpp"}, {"swf", "application/x-shockwave-flash"},
  };
  for (const auto& [extension, type] : rows) EXPECT_STREQ(MimeTypeForExtension(extension), type) << extension;
  // The longest extension of the table, in any case.
  EXPECT_STREQ(MimeTypeForExtension("WebManifest"), "application/manifest+json");
  EXPECT_STREQ(MimeTypeForExtension("webmanifestx"), "application/octet-stream");
}

TEST(MimeTypes, OnlyTypesThatShrinkAreCompressible) {
  for (const char* type : {"text/html", "text/css; charset=utf-8", "TEXT/PLAIN", "application/json",
                           "application/manifest+json", "image/svg+xml", "application/rss+xml",
                           "application/x-javascript", "application/wasm", "image/x-icon", ""}) {
    EXPECT_TRUE(IsCompressibleType(type)) << type;
  }
  for (const char* type : {"image/png", "image/jpeg", "image/webp", "application/octet-stream", "application/zip",
                           "video/mp4", "audio/ogg", "font/woff2", "application/x-font-woff", "application/pdf",
                           "text", "application/jsonx"}) {
    EXPECT_FALSE(IsCompressibleType(type)) << type;
  }
}

TEST(HttpDate, Rfc1123Form) {
  platform::CivilTime t;
  t.year = 2016; t.month = 3; t.day = 5; t.hour = 8; t.minute = 9; t.second = 7;
  EXPECT_EQ(FormatHttpDate(t), "Sat, 05 Mar 2016 08:09:07 GMT");
  t = platform::UtcFromUnixSeconds(0);
  EXPECT_EQ(FormatHttpDate(t), "Thu, 01 Jan 1970 00:00:00 GMT");
  t = platform::UtcFromUnixSeconds(951782400);  // a leap day
  EXPECT_EQ(FormatHttpDate(t), "Tue, 29 Feb 2000 00:00:00 GMT");
  t = platform::UtcFromUnixSeconds(1798761599);
  EXPECT_EQ(FormatHttpDate(t), "Thu, 31 Dec 2026 23:59:59 GMT");
}

TEST(HttpDate, CurrentDateIsTheClocks) {
  // The cached text must be the one of the current second (or, across a
  // tick, the one just before or after it).
  const int64_t before = platform::UnixSecondsNow();
  const std::string date(CurrentHttpDate());
  const int64_t after = platform::UnixSecondsNow();
  bool matched = false;
  for (int64_t s = before; s <= after; ++s) {
    matched = matched || date == FormatHttpDate(platform::UtcFromUnixSeconds(s));
  }
  EXPECT_TRUE(matched) << date;
  const platform::CivilTime now = CurrentUtcTime();
  EXPECT_GE(now.year, 2024);
}

TEST(AcceptsGzip, TokenAnyCaseNotRefused) {
  EXPECT_TRUE(AcceptsGzip("gzip"));
  EXPECT_TRUE(AcceptsGzip("GZIP, deflate"));
  EXPECT_TRUE(AcceptsGzip("deflate,gzip;q=0.5"));
  EXPECT_TRUE(AcceptsGzip(" br ,\tGzip ; q=1 "));
  EXPECT_TRUE(AcceptsGzip("gzip;q=0.001"));
  EXPECT_FALSE(AcceptsGzip(""));
  EXPECT_FALSE(AcceptsGzip("deflate"));
  EXPECT_FALSE(AcceptsGzip("x-gzipped"));
  EXPECT_FALSE(AcceptsGzip("gzipx, br"));
  EXPECT_FALSE(AcceptsGzip("identity;gzip"));
  EXPECT_FALSE(AcceptsGzip("gzip;q=0"));
  EXPECT_FALSE(AcceptsGzip("gzip; Q=0.000"));
  EXPECT_FALSE(AcceptsGzip("gzip;q=0., deflate"));
  EXPECT_FALSE(AcceptsGzip("gzip, gzip;q=0"));  // refused anywhere stays refused
}

TEST(SendBytes, HandsTheWholeBufferOver) {
  fakes::FakeLink link;
  const std::string bytes("head\0body", 9);
  EXPECT_TRUE(SendBytes(7, bytes));
  EXPECT_EQ(link.Sent(7), bytes);
  EXPECT_EQ(link.State(7).sendCalls, 1);
  link.SetRefuseSends(true);
  EXPECT_FALSE(SendBytes(7, "more"));
  EXPECT_EQ(link.Sent(7), bytes);
}

}  // namespace
}  // namespace zevra
