// The built-in error pages: one template in simplified Chinese, one row of
// texts per status, and the responder that sends a page, logs it and closes
// the connection when the status requires.
#include "server/response/ErrorPages.h"

#include <vector>

#include "common/Text.h"
#include "platform/System.h"
#include "server/response/Answer.h"
#include "server/response/ResponseHead.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// %e title (twice), %c content block, %s display name, %v version.
constexpr std::string_view kPageTemplate =
    "<!DOCTYPE html><html><head><title>%e</title>"
    "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\"><style>"
    "body{margin:0;padding-top:30px;font-family:\"Microsoft Yahei\",\"Helvetica Neue\",Helvetica,Arial,sans-serif;"
    "font-size:14px;line-height:1.5;color:#333}"
    ".navbar{position:fixed;top:0;left:0;right:0;min-height:30px;background:#f8f8f8;"
    "border-bottom:1px solid #e7e7e7}"
    ".navbar-brand{display:block;padding:5px 15px;color:#777}"
    ".container{max-width:960px;margin:0 auto;padding:0 15px}"
    ".post{padding:20px 0}"
    ".page-header{margin-bottom:20px;border-bottom:1px solid #eee}"
    ".phrase{max-width:600px;padding:9px;font-size:9pt;background:#f5f5f5;border:1px solid #ccc;"
    "border-radius:4px}"
    "code{padding:2px 4px;color:#c7254e;background:#f9f2f4;border-radius:4px}"
    "code.codeblue{color:#2a6ad4;background:#f9f2f4}"
    "footer{padding:20px 15px;color:#777}"
    "</style></head><body><header class=\"navbar navbar-default navbar-fixed-top\"><div class=\"container\">"
    "<div class=\"navbar-header\"><a class=\"navbar-brand\">服务器错误</a></div></div></header>"
    "<div class=\"container\"><div class=\"post\"><div class=\"page-header\"><h2><code>%e</code></h2></div>"
    "%c</div></div>"
    "<footer><p>%s <code class=\"codeblue\">Ver. %v</code></p></footer></body></html>";

constexpr std::string_view kLineBreak = "\r\n";
// The methods this server implements, as a 501 names them (RFC 9110 15.6.2
// lets it; the same field a 405 would carry).
constexpr std::string_view kAllowedMethods = "Allow: GET, HEAD, POST\r\n";
// Stands in the content block for the foreign lines until the placeholders
// are replaced. None of the system's own texts holds a NUL.
constexpr std::string_view kForeignMark("\0", 1);

enum class Closing { kAlways, kUnlessKeepAlive };
enum class Detail { kNone, kShown, kShownWithPath };

struct ErrorPageRow {
  int status;
  const char* statusLine;
  const char* title;
  const char* heading;
  const char* text;
  Detail detail;
  Closing closing;
};

constexpr ErrorPageRow kErrorPages[] = {
    {400, "400 Bad Request", "400 - Bad Request", "您的客户端提交了一个错误的 HTTP Request。",
     "可能网站管理员还没有配置此域名，请稍后再试。", Detail::kNone, Closing::kAlways},
    {403, "403 Forbidden", "403 - Forbidden", "您当前所请求的资源被禁止访问。",
     "您所请求的资源已经被设置禁止访问或者是 Web Server 没有足够的读写权限。请联系网站管理员以解决此问题。",
     Detail::kShown, Closing::kUnlessKeepAlive},
    {404, "404 Not Found", "404 - Not Found", "您所请求的资源在本服务器上无法找到。",
     "您所请求的资源可能已经被移除、更名或是暂时被禁用。", Detail::kShownWithPath, Closing::kUnlessKeepAlive},
    {405, "405 Method Not Allowed", "405 - Method Not Allowed", "此 HTTP Request 在本服务器上不被允许。",
     "请检查您的 HTTP Request 的请求方法。", Detail::kNone, Closing::kUnlessKeepAlive},
    // A POST without Content-Length: its body cannot be told from the next
    // request, so the connection cannot go on.
    {411, "411 Length Required", "411 - Length Required", "您的 HTTP Request 没有指明内容的长度。",
     "提交数据的 HTTP Request 必须带有 Content-Length，请补充后再次提交。", Detail::kNone, Closing::kAlways},
    // A body above MaxBodySize, refused before it is read: the rest of it
    // would follow on the connection, so it closes.
    {413, "413 Request Entity Too Large", "413 - Request Entity Too Large", "您提交的数据超过了本服务器允许的大小。",
     "请减小提交内容的大小后再次提交 HTTP Request。", Detail::kNone, Closing::kAlways},
    {414, "414 Request-URI Too Long", "414 - Request-URI Too Long", "您的HTTP请求过长。",
     "请缩短您的 URL 长度后再次提交 HTTP Request。", Detail::kNone, Closing::kUnlessKeepAlive},
    {500, "500 Internal Server Error", "500 - Internal Server Error", "服务器发生了错误，无法继续提供服务。",
     "服务器运行遇到了问题或是配置不正确。", Detail::kShown, Closing::kUnlessKeepAlive},
    // A method other than GET, HEAD and POST (methods are case-sensitive,
    // so "get" is one too). The answer names the ones there are.
    {501, "501 Not Implemented", "501 - Not Implemented", "此 HTTP Request 的请求方法在本服务器上没有实现。",
     "本服务器只支持 GET、HEAD 和 POST 请求方法，请检查您的 HTTP Request 的请求方法。", Detail::kNone,
     Closing::kUnlessKeepAlive},
    {502, "502 Bad Gateway", "502 - Bad Gateway", "服务器网关发生了错误，无法继续提供服务。",
     "网关或上游服务器遇到了问题或是配置不正确。", Detail::kShown, Closing::kUnlessKeepAlive},
    {503, "503 Service Unavailable", "503 - Service Unavailable", "您暂时无法访问此服务器。",
     "服务器可能遇到了临时问题需要维护。", Detail::kNone, Closing::kAlways},
    {504, "504 Gateway Timeout", "504 - Gateway Timeout", "您暂时无法访问这个页面。",
     "已经超过了预设的网关等待时间，但是网关依然没有传回数据。", Detail::kNone, Closing::kUnlessKeepAlive},
};

// A status without a page of its own is answered as a server error: the
// caller asked for an error page, and 500 is the one that says "ours".
const ErrorPageRow& RowFor(int status) {
  for (const ErrorPageRow& row : kErrorPages) {
    if (row.status == status) return row;
  }
  for (const ErrorPageRow& row : kErrorPages) {
    if (row.status == 500) return row;
  }
  return kErrorPages[0];
}


// The page of a row without details, the same bytes for every request:
// built once per row (the first time any is asked for) instead of per
// answer. Details (Debug on) make a page of their own each time.
const std::string& PlainPageOf(const ErrorPageRow& row) {
  static const std::vector<std::string> pages = [] {
    std::vector<std::string> built;
    for (const ErrorPageRow& each : kErrorPages) built.push_back(BuildErrorPage(each.title, each.heading, each.text));
    return built;
  }();
  return pages[static_cast<size_t>(&row - kErrorPages)];
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string BuildErrorPage(std::string_view title, std::string_view heading, std::string_view text,
                           std::string_view foreignText) {
  // The text's lines: the system's own first, then the foreign ones. Both
  // are split as one text at CR LF, so a page reads the same whichever
  // part a line came from.
  std::string combined(text);
  if (!foreignText.empty()) {
    combined += kLineBreak;
    combined += foreignText;
  }
  const size_t foreignFrom = foreignText.empty() ? combined.size() + 1 : text.size() + kLineBreak.size();
  const std::vector<std::string_view> lines = SplitText(combined, kLineBreak);

  std::string content = "<p>";
  content += heading;
  content += "</p>\r\n";
  std::string foreignBlock;
  if (lines.size() >= 2) {
    content += "<div class=\"phrase\">";
    for (std::string_view line : lines) {
      const size_t offset = static_cast<size_t>(line.data() - combined.data());
      if (offset >= foreignFrom) {
        foreignBlock += "<p>";
        foreignBlock += EscapeHtml(line);
        foreignBlock += "</p>";
      } else {
        content += "<p>";
        content += line;
        content += "</p>";
      }
    }
    if (!foreignText.empty()) content += kForeignMark;
    content += "</div>";
  } else {
    content += "<p>";
    content += text;
    content += "</p>";
  }

  std::string page = ReplaceAll(kPageTemplate, "%e", title);
  page = ReplaceAll(page, "%c", content);
  page = ReplaceAll(page, "%s", kDisplayName);
  page = ReplaceAll(page, "%v", kVersionNumber);
  if (!foreignText.empty()) page = ReplaceAll(page, kForeignMark, foreignBlock);
  // The page is held in UTF-8 already, which is what it is sent in.
  return page;
}

std::string BuildErrorPage(std::string_view title, std::string_view heading, std::string_view text) {
  return BuildErrorPage(title, heading, text, {});
}

void SendErrorPage(int status, const HttpRequest& request, ResponseHead& response, ConnId conn,
                   std::string_view detail) {
  const ErrorPageRow& row = RowFor(status);
  response.Status = row.statusLine;
  response.ContentType = "text/html; charset=utf-8";

  // With Debug on, a detail is shown as further lines in the phrase box;
  // a 404 also names the local path it looked for.
  std::string foreign;
  if (row.detail != Detail::kNone && g_settings.Debug && !detail.empty()) {
    if (row.detail == Detail::kShownWithPath) {
      foreign = request.LocalPath;
      foreign += kLineBreak;
    }
    foreign += detail;
  }
  std::string built;
  if (!foreign.empty()) built = BuildErrorPage(row.title, row.heading, row.text, foreign);

  // Pages follow the client's Accept-Encoding themselves: a refusal sent
  // before any handler ran has had no encoding chosen for it.
  response.ContentEncoding.clear();
  response.AcceptRanges.clear();
  if (row.closing == Closing::kAlways) response.Connection = "close";
  if (row.status == 501) response.ExtraHeaders += kAllowedMethods;
  Answer answer;
  answer.body = foreign.empty() ? std::string_view(PlainPageOf(row)) : std::string_view(built);
  answer.compress = g_settings.EnableGZIP && AcceptsGzip(request.AcceptEncoding);
  FinishAnswer(conn, request, response, answer);
}

}  // namespace zevra
