// The head a CGI program writes before its blank line, read into an answer
// record.
#include "server/cgi/CgiHead.h"

#include <array>

#include "common/Text.h"

namespace zevra {
namespace {

struct KnownField {
  const char* lowerName;
  std::string ResponseHead::*field;
};

// The header names a program's head may set as fields, in the order they
// are tried.
constexpr std::array<KnownField, 22> kKnownFields = {{
    {"accept-language", &ResponseHead::AcceptLanguage},
    {"referer", &ResponseHead::Referer},
    {"origin", &ResponseHead::Origin},
    {"user-agent", &ResponseHead::UserAgent},
    {"accept", &ResponseHead::Accept},
    {"accept-encoding", &ResponseHead::AcceptEncoding},
    {"accept-charset", &ResponseHead::AcceptCharset},
    {"expires", &ResponseHead::Expires},
    {"cache-control", &ResponseHead::CacheControl},
    {"pragma", &ResponseHead::Pragma},
    {"last-modified", &ResponseHead::LastModified},
    {"content-length", &ResponseHead::ContentLength},
    {"connection", &ResponseHead::Connection},
    {"content-type", &ResponseHead::ContentType},
    {"x-powered-by", &ResponseHead::XPoweredBy},
    {"date", &ResponseHead::Date},
    {"content-encoding", &ResponseHead::ContentEncoding},
    {"etag", &ResponseHead::ETag},
    {"if-modified-since", &ResponseHead::IfModifiedSince},
    {"if-none-match", &ResponseHead::IfNoneMatch},
    {"range", &ResponseHead::Range},
    {"status", &ResponseHead::Status},
}};

// A bare CR or LF inside a line would end the field early for some
// client and start one the program never meant (a Set-Cookie out of a
// Location built from a query); a NUL cuts a head short. Each becomes a
// blank, which is what HTTP asks of a recipient that keeps such a value.
std::string WithoutLineBreaks(std::string_view value) {
  std::string text(value);
  for (char& c : text) {
    if (c == '\r' || c == '\n' || c == '\0') c = ' ';
  }
  return text;
}

}  // namespace

ResponseHead ParseCgiHead(std::string_view head) {
  ResponseHead result;
  size_t blank = head.find("\r\n\r\n");
  if (blank != std::string_view::npos) head = head.substr(0, blank);
  for (std::string_view line : SplitText(head, "\r\n")) {
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos) break;
    std::string_view name = line.substr(0, colon);
    // A name that is no token (a blank, a control byte) makes no field: a
    // line that begins with a blank would even continue the one before.
    if (!IsHttpToken(name)) continue;
    std::string value = WithoutLineBreaks(line.substr(colon + 2));
    bool stored = false;
    for (const KnownField& known : kKnownFields) {
      if (EqualsIgnoreCase(name, known.lowerName)) {
        result.*known.field = std::move(value);
        stored = true;
        break;
      }
    }
    if (stored) continue;
    // The relay frames the body itself with Content-Length; a program's
    // Transfer-Encoding would make the client read it another way.
    if (EqualsIgnoreCase(name, "Transfer-Encoding")) continue;
    result.ExtraHeaders.append(name);
    result.ExtraHeaders.append(": ");
    result.ExtraHeaders.append(value);
    result.ExtraHeaders.append("\r\n");
  }
  if (result.ContentType.empty()) result.ContentType = "text/html";
  if (result.Status.empty()) result.Status = "200 OK";
  return result;
}

}  // namespace zevra
