// The error pages: exact page bytes, the Debug rule for details, escaping
// of everything that came from a request, gzip, HEAD, the closing rules and
// the access-log line.
#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tests/support/FakeLink.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"
#include "tests/support/AccessLogFile.h"
#include "tests/support/Gunzip.h"

namespace zevra {
namespace {

using support::Gunzip;

constexpr ConnId kConn = 42;

// The style sheet is the page's own; everything around it is fixed.
std::string StyleOf(const std::string& page) {
  const size_t from = page.find("<style>");
  const size_t to = page.find("</style>");
  if (from == std::string::npos || to == std::string::npos) return std::string();
  return page.substr(from + 7, to - from - 7);
}

std::string ExpectedPage(const std::string& style, const std::string& title, const std::string& content) {
  return "<!DOCTYPE html><html><head><title>" + title +
         "</title><meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><style>" + style +
         "</style></head><body><header class=\"navbar navbar-default navbar-fixed-top\"><div class=\"container\">"
         "<div class=\"navbar-header\"><a class=\"navbar-brand\">服务器错误</a></div></div></header>"
         "<div class=\"container\"><div class=\"post\"><div class=\"page-header\"><h2><code>" +
         title + "</code></h2></div>" + content +
         "</div></div><footer><p>泽瓦个人网站服务器 <code class=\"codeblue\">Ver. 0.2.9</code></p></footer>"
         "</body></html>";
}

const std::string kStyle = StyleOf(BuildErrorPage("t", "h", "x"));

std::string WithoutDate(std::string head) {
  const size_t at = head.find("\r\nDate: ");
  if (at == std::string::npos) return head;
  const size_t end = head.find("\r\n", at + 2);
  return head.erase(at + 2, end - at);
}

TEST(BuildErrorPage, StyleSheetHasTheNamedClasses) {
  for (const char* part : {".navbar{", ".container{", ".post{", ".page-header{", ".phrase{", ".codeblue{",
                           "padding-top:30px", "\"Microsoft Yahei\",\"Helvetica Neue\",Helvetica,Arial,sans-serif",
                           "font-size:14px", "position:fixed", "font-size:9pt", "max-width:600px",
                           "border:1px solid", "border-radius"}) {
    EXPECT_NE(kStyle.find(part), std::string::npos) << part;
  }
  // No placeholder can hide in it.
  EXPECT_EQ(kStyle.find('%'), std::string::npos);
}

TEST(BuildErrorPage, OneLineAndSeveralLines) {
  EXPECT_EQ(BuildErrorPage("404 - Not Found", "标题", "正文"),
            ExpectedPage(kStyle, "404 - Not Found", "<p>标题</p>\r\n<p>正文</p>"));
  EXPECT_EQ(BuildErrorPage("T", "H", ""), ExpectedPage(kStyle, "T", "<p>H</p>\r\n<p></p>"));
  EXPECT_EQ(BuildErrorPage("T", "H", "a\r\nb\r\n\r\nc"),
            ExpectedPage(kStyle, "T", "<p>H</p>\r\n<div class=\"phrase\"><p>a</p><p>b</p><p></p><p>c</p></div>"));
}

TEST(BuildErrorPage, OwnTextsGoThroughThePlaceholders) {
  // The system's own texts are inserted as they stand, and the display
  // name and version are filled in after the content block.
  EXPECT_EQ(BuildErrorPage("T", "<b>%s</b>", "v%v"),
            ExpectedPage(kStyle, "T", "<p><b>泽瓦个人网站服务器</b></p>\r\n<p>v0.2.9</p>"));
}

TEST(BuildErrorPage, ForeignTextIsEscapedAndNeverReplaced) {
  const std::string page =
      BuildErrorPage("T", "H", "own", "<script>alert('x')</script>\r\n%s & %v %c %e \"q\"");
  EXPECT_EQ(page, ExpectedPage(kStyle, "T",
                               "<p>H</p>\r\n<div class=\"phrase\"><p>own</p>"
                               "<p>&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;</p>"
                               "<p>%s &amp; %v %c %e &quot;q&quot;</p></div>"));
  // A NUL in foreign text is just a byte of it.
  const std::string nul("a\0b", 3);
  EXPECT_EQ(BuildErrorPage("T", "H", "own", nul),
            ExpectedPage(kStyle, "T", "<p>H</p>\r\n<div class=\"phrase\"><p>own</p><p>" + nul + "</p></div>"));
}

// Settings, access log and link for one responder test; all restored after.
class SendErrorPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_settings;
    g_settings.Debug = false;
    g_settings.EnableGZIP = false;
    g_settings.WriteAccessLog = true;
    g_settings.GZIPCompressLevel = 3;
    log_ = std::make_unique<support::AccessLogFile>();
    request_.Method = "GET";
    request_.Directory = "/docs/";
    request_.FileName = "missing.html";
    request_.LocalPath = "/srv/www/docs/missing.html";
    request_.UserAgent = "curl/8.0";
  }
  void TearDown() override {
    log_.reset();
    g_settings = saved_;
  }
  std::string LogText() { return log_->Text(); }
  // An empty log in place of the current one (closed before the new opens).
  void FreshLog() {
    log_.reset();
    log_ = std::make_unique<support::AccessLogFile>();
  }
  // The sent bytes split into head (without its Date line) and body.
  void Sent(std::string& head, std::string& body) {
    const std::string sent = link_.Sent(kConn);
    const size_t end = sent.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    head = WithoutDate(sent.substr(0, end + 4));
    body = sent.substr(end + 4);
  }

  ServerSettings saved_;
  std::unique_ptr<support::AccessLogFile> log_;
  fakes::FakeLink link_;
  HttpRequest request_;
  ResponseHead response_;
};

TEST_F(SendErrorPageTest, NotFoundWithDebugOff) {
  g_settings.Debug = false;
  SendErrorPage(404, request_, response_, kConn, "OS信息 : (2) No such file or directory");
  std::string head, body;
  Sent(head, body);
  const std::string page = ExpectedPage(kStyle, "404 - Not Found",
                                        "<p>您所请求的资源在本服务器上无法找到。</p>\r\n"
                                        "<p>您所请求的资源可能已经被移除、更名或是暂时被禁用。</p>");
  EXPECT_EQ(body, page);
  EXPECT_EQ(head, "HTTP/1.1 404 Not Found\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html; charset=utf-8\r\n"
                  "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n");
  EXPECT_EQ(link_.State(kConn).sendCalls, 1);  // head and body as one buffer
  EXPECT_EQ(link_.Disconnects(kConn), 1);      // nothing asked for keep-alive
  const std::string log = LogText();
  const std::string tail = " - - 127.0.0.1:50000 \"GET /docs/missing.html HTTP/1.1\" 404 " +
                           std::to_string(page.size()) + " \"curl/8.0\"\r\n";
  ASSERT_GE(log.size(), tail.size());
  EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
  EXPECT_EQ(log.size(), 19 + tail.size());  // one line: timestamp + message
}

TEST_F(SendErrorPageTest, PlainPagesStayTheSameBetweenDetailedOnes) {
  // Pages without details are built once and kept; a detailed page in
  // between must neither change them nor come out of the kept ones.
  std::vector<std::string> bodies;
  for (int round = 0; round < 4; ++round) {
    g_settings.Debug = round % 2 == 1;
    fakes::FakeLink link;
    ResponseHead response;
    SendErrorPage(404, request_, response, kConn, "OS信息 : (2) gone");
    const std::string sent = link.Sent(kConn);
    bodies.push_back(sent.substr(sent.find("\r\n\r\n") + 4));
  }
  EXPECT_EQ(bodies[0], bodies[2]);
  EXPECT_EQ(bodies[1], bodies[3]);
  EXPECT_EQ(bodies[0].find("gone"), std::string::npos);
  EXPECT_NE(bodies[1].find("gone"), std::string::npos);
  EXPECT_EQ(bodies[0], BuildErrorPage("404 - Not Found", "您所请求的资源在本服务器上无法找到。",
                                      "您所请求的资源可能已经被移除、更名或是暂时被禁用。"));
}

TEST_F(SendErrorPageTest, NotFoundWithDebugOnShowsEscapedPathAndDetail) {
  g_settings.Debug = true;
  request_.LocalPath = "/srv/www/<script>alert(1)</script>";
  SendErrorPage(404, request_, response_, kConn, "OS信息 : (2) No such file or directory\r\n");
  std::string head, body;
  Sent(head, body);
  EXPECT_EQ(body, ExpectedPage(kStyle, "404 - Not Found",
                               "<p>您所请求的资源在本服务器上无法找到。</p>\r\n<div class=\"phrase\">"
                               "<p>您所请求的资源可能已经被移除、更名或是暂时被禁用。</p>"
                               "<p>/srv/www/&lt;script&gt;alert(1)&lt;/script&gt;</p>"
                               "<p>OS信息 : (2) No such file or directory</p></div>"));
  // With Debug on but no detail, the page is the plain one.
  fakes::FakeLink other;
  ResponseHead response;
  SendErrorPage(404, request_, response, 9, "");
  EXPECT_EQ(other.Sent(9).find("<div class=\"phrase\">"), std::string::npos);
  EXPECT_EQ(other.Sent(9).find("script"), std::string::npos);
}

TEST_F(SendErrorPageTest, HostileHostInDetailIsEscaped) {
  g_settings.Debug = true;
  SendErrorPage(500, request_, response_, kConn, "Host: \"><img src=x onerror=alert(1)>");
  std::string head, body;
  Sent(head, body);
  EXPECT_EQ(body, ExpectedPage(kStyle, "500 - Internal Server Error",
                               "<p>服务器发生了错误，无法继续提供服务。</p>\r\n<div class=\"phrase\">"
                               "<p>服务器运行遇到了问题或是配置不正确。</p>"
                               "<p>Host: &quot;&gt;&lt;img src=x onerror=alert(1)&gt;</p></div>"));
  EXPECT_NE(head.find("HTTP/1.1 500 Internal Server Error\r\n"), std::string::npos);
}

TEST_F(SendErrorPageTest, DetailOnlyWhereTheStatusTakesOne) {
  g_settings.Debug = true;
  for (int status : {400, 405, 411, 414, 503, 504}) {
    fakes::FakeLink link;
    ResponseHead response;
    SendErrorPage(status, request_, response, 1, "SECRET-DETAIL");
    EXPECT_EQ(link.Sent(1).find("SECRET-DETAIL"), std::string::npos) << status;
  }
  for (int status : {403, 500, 502}) {
    fakes::FakeLink link;
    ResponseHead response;
    SendErrorPage(status, request_, response, 1, "SECRET-DETAIL");
    EXPECT_NE(link.Sent(1).find("<p>SECRET-DETAIL</p></div>"), std::string::npos) << status;
  }
}

TEST_F(SendErrorPageTest, EveryStatusWithItsTexts) {
  struct Row {
    int status;
    const char* statusLine;
    const char* title;
    const char* heading;
    const char* text;
  };
  const Row rows[] = {
      {400, "400 Bad Request", "400 - Bad Request", "您的客户端提交了一个错误的 HTTP Request。",
       "可能网站管理员还没有配置此域名，请稍后再试。"},
      {403, "403 Forbidden", "403 - Forbidden", "您当前所请求的资源被禁止访问。",
       "您所请求的资源已经被设置禁止访问或者是 Web Server 没有足够的读写权限。请联系网站管理员以解决此问题。"},
      {404, "404 Not Found", "404 - Not Found", "您所请求的资源在本服务器上无法找到。",
       "您所请求的资源可能已经被移除、更名或是暂时被禁用。"},
      {405, "405 Method Not Allowed", "405 - Method Not Allowed", "此 HTTP Request 在本服务器上不被允许。",
       "请检查您的 HTTP Request 的请求方法。"},
      {414, "414 Request-URI Too Long", "414 - Request-URI Too Long", "您的HTTP请求过长。",
       "请缩短您的 URL 长度后再次提交 HTTP Request。"},
      {500, "500 Internal Server Error", "500 - Internal Server Error", "服务器发生了错误，无法继续提供服务。",
       "服务器运行遇到了问题或是配置不正确。"},
      {502, "502 Bad Gateway", "502 - Bad Gateway", "服务器网关发生了错误，无法继续提供服务。",
       "网关或上游服务器遇到了问题或是配置不正确。"},
      {503, "503 Service Unavailable", "503 - Service Unavailable", "您暂时无法访问此服务器。",
       "服务器可能遇到了临时问题需要维护。"},
      {504, "504 Gateway Timeout", "504 - Gateway Timeout", "您暂时无法访问这个页面。",
       "已经超过了预设的网关等待时间，但是网关依然没有传回数据。"},
  };
  for (const Row& row : rows) {
    fakes::FakeLink link;
    ResponseHead response;
    SendErrorPage(row.status, request_, response, 1);
    const std::string sent = link.Sent(1);
    const size_t end = sent.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(sent.substr(0, sent.find("\r\n")), std::string("HTTP/1.1 ") + row.statusLine);
    EXPECT_EQ(sent.substr(end + 4),
              ExpectedPage(kStyle, row.title,
                           std::string("<p>") + row.heading + "</p>\r\n<p>" + row.text + "</p>"))
        << row.status;
    EXPECT_EQ(response.Status, row.statusLine);
  }
  // 411, the worker's answer to a POST without a length.
  fakes::FakeLink link;
  ResponseHead response;
  request_.Method = "POST";
  response.Connection = "keep-alive";
  SendErrorPage(411, request_, response, 1);
  const std::string sent = link.Sent(1);
  EXPECT_EQ(sent.substr(0, sent.find("\r\n")), "HTTP/1.1 411 Length Required");
  EXPECT_NE(sent.find("<title>411 - Length Required</title>"), std::string::npos);
  EXPECT_NE(sent.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(link.Disconnects(1), 1);
}

TEST_F(SendErrorPageTest, HeadGetsTheLengthOfThePageOnly) {
  request_.Method = "HEAD";
  SendErrorPage(404, request_, response_, kConn);
  const std::string sent = link_.Sent(kConn);
  const std::string page = BuildErrorPage("404 - Not Found", "您所请求的资源在本服务器上无法找到。",
                                          "您所请求的资源可能已经被移除、更名或是暂时被禁用。");
  EXPECT_EQ(sent.size(), sent.find("\r\n\r\n") + 4);  // no body
  EXPECT_NE(sent.find("\r\nContent-Length: " + std::to_string(page.size()) + "\r\n"), std::string::npos);
  EXPECT_NE(LogText().find("\"HEAD /docs/missing.html HTTP/1.1\" 404 " + std::to_string(page.size()) + " "),
            std::string::npos);
}

TEST_F(SendErrorPageTest, GzipOnlyWhenEnabledAndAccepted) {
  g_settings.EnableGZIP = true;
  request_.AcceptEncoding = "GZIP, deflate";
  SendErrorPage(403, request_, response_, kConn);
  std::string head, body, page;
  Sent(head, body);
  ASSERT_TRUE(Gunzip(body, page));
  EXPECT_EQ(page, ExpectedPage(kStyle, "403 - Forbidden",
                               "<p>您当前所请求的资源被禁止访问。</p>\r\n<p>您所请求的资源已经被设置禁止访问或者是 "
                               "Web Server 没有足够的读写权限。请联系网站管理员以解决此问题。</p>"));
  EXPECT_EQ(head, "HTTP/1.1 403 Forbidden\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html; charset=utf-8\r\n"
                  "Content-Encoding: gzip\r\nContent-Length: " + std::to_string(body.size()) +
                  "\r\nVary: Accept-Encoding\r\n\r\n");

  for (const char* acceptEncoding : {"deflate", "gzip;q=0", ""}) {
    fakes::FakeLink link;
    ResponseHead response;
    request_.AcceptEncoding = acceptEncoding;
    SendErrorPage(403, request_, response, 1);
    EXPECT_EQ(link.Sent(1).find("Content-Encoding"), std::string::npos) << acceptEncoding;
    EXPECT_NE(link.Sent(1).find("</html>"), std::string::npos) << acceptEncoding;
  }
  g_settings.EnableGZIP = false;
  fakes::FakeLink link;
  ResponseHead response;
  request_.AcceptEncoding = "gzip";
  SendErrorPage(403, request_, response, 1);
  EXPECT_EQ(link.Sent(1).find("Content-Encoding"), std::string::npos);
}

TEST_F(SendErrorPageTest, ClosingRules) {
  struct Case {
    int status;
    const char* connection;
    int disconnects;
  };
  const Case cases[] = {
      {400, "keep-alive", 1}, {503, "keep-alive", 1}, {411, "keep-alive", 1},
      {404, "keep-alive", 0}, {404, "Keep-Alive", 0}, {404, "close", 1}, {404, "", 1},
      {403, "keep-alive", 0}, {405, "keep-alive", 0}, {414, "keep-alive", 0},
      {500, "keep-alive", 0}, {502, "keep-alive", 0}, {504, "keep-alive", 0}, {504, "", 1},
  };
  for (const Case& c : cases) {
    fakes::FakeLink link;
    ResponseHead response;
    response.Connection = c.connection;
    SendErrorPage(c.status, request_, response, 1);
    EXPECT_EQ(link.Disconnects(1), c.disconnects) << c.status << " " << c.connection;
    if (c.status == 400 || c.status == 503 || c.status == 411) {
      EXPECT_NE(link.Sent(1).find("\r\nConnection: close\r\n"), std::string::npos) << c.status;
    }
  }
}

TEST_F(SendErrorPageTest, RefusedSendStillClosesAndLogs) {
  link_.SetRefuseSends(true);
  SendErrorPage(400, request_, response_, kConn);
  EXPECT_EQ(link_.Sent(kConn), "");
  EXPECT_EQ(link_.Disconnects(kConn), 1);
  EXPECT_NE(LogText().find("127.0.0.1:50000 \"GET /docs/missing.html HTTP/1.1\" 400 "), std::string::npos);
}

TEST_F(SendErrorPageTest, AccessLogLine) {
  request_.UserAgent = "";
  link_.SetRemote(kConn, "127.0.0.9", 61234);
  SendErrorPage(405, request_, response_, kConn);
  const std::string log = LogText();
  EXPECT_NE(log.find(" - - 127.0.0.9:61234 \"GET /docs/missing.html HTTP/1.1\" 405 " + response_.ContentLength +
                     " \"\"\r\n"),
            std::string::npos)
      << log;

  // A User-Agent or path cannot split the log line.
  FreshLog();
  request_.UserAgent = "evil\r\n2020-01-01 00:00:00 - - forged";
  request_.FileName = "a\nb";
  fakes::FakeLink link;
  ResponseHead response;
  SendErrorPage(404, request_, response, 1);
  const std::string escaped = LogText();
  EXPECT_EQ(escaped.find('\n'), escaped.size() - 1);
  EXPECT_NE(escaped.find("/docs/a\\x0Ab HTTP/1.1"), std::string::npos);
  EXPECT_NE(escaped.find("\"evil\\x0D\\x0A2020-01-01"), std::string::npos);

  // Off means no line at all.
  FreshLog();
  g_settings.WriteAccessLog = false;
  fakes::FakeLink quiet;
  ResponseHead response2;
  SendErrorPage(404, request_, response2, 1);
  EXPECT_EQ(LogText(), "");
}

}  // namespace
}  // namespace zevra
