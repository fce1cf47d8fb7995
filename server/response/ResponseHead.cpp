// Response heads: what every answer has in common (version, Server, Date,
// a Content-Type from the file name, the status-class rules), the MIME
// table, HTTP dates, and the send every head and body goes out through.
#include "server/response/ResponseHead.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/Text.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// From this body length on an answer offers byte ranges by itself.
constexpr int64_t kAcceptRangesFrom = 1048576;

struct MimeEntry {
  std::string_view extension;
  const char* type;
};

// Walked in order, first match wins.
constexpr MimeEntry kMimeTable[] = {
    {"html", "text/html"},
    {"htm", "text/html"},
    {"shtml", "text/html"},
    {"css", "text/css"},
    {"xml", "text/xml"},
    {"gif", "image/gif"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"js", "application/x-javascript"},
    {"atom", "application/atom+xml"},
    {"rss", "application/rss+xml"},
    {"mml", "text/mathml"},
    {"txt", "text/plain"},
    {"jad", "text/vnd.sun.j2me.app-descriptor"},
    {"wml", "text/vnd.wap.wml"},
    {"htc", "text/x-component"},
    {"png", "image/png"},
    {"tiff", "image/tiff"},
    {"tif", "image/tiff"},
    {"wbmp", "image/vnd.wap.wbmp"},
    {"ico", "image/x-icon"},
    {"jng", "image/x-jng"},
    {"bmp", "image/x-ms-bmp"},
    {"svg", "image/svg+xml"},
    {"jar", "application/java-archive"},
    {"war", "application/java-archive"},
    {"ear", "application/java-archive"},
    {"hqx", "application/mac-binhex40"},
    {"doc", "application/msword"},
    {"docx", "application/msword"},
    {"pdf", "application/pdf"},
    {"ps", "application/postscript"},
    {"eps", "application/postscript"},
    {"ai", "application/postscript"},
    {"rtf", "application/rtf"},
    {"xls", "application/vnd.ms-excel"},
    {"xlsx", "application/vnd.ms-excel"},
    {"ppt", "application/vnd.ms-powerpoint"},
    {"pptx", "application/vnd.ms-powerpoint"},
    {"rar", "application/x-rar-compressed"},
    {"zip", "application/zip"},
    {"mp3", "audio/mpeg"},
    {"woff", "application/x-font-woff"},
    {"mid", "audio/midi"},
    {"midi", "audio/midi"},
    {"kar", "audio/midi"},
    {"ogg", "audio/ogg"},
    {"m4a", "audio/x-m4a"},
    {"ra", "audio/x-realaudio"},
    {"3gp", "video/3gpp"},
    {"3gpp", "video/3gpp"},
    {"mpg", "video/mpeg"},
    {"mpeg", "video/mpeg"},
    {"mp4", "video/mp4"},
    {"mov", "video/quicktime"},
    {"webm", "video/webm"},
    {"flv", "video/x-flv"},
    {"m4v", "video/x-m4v"},
    {"mng", "video/x-mng"},
    {"asx", "video/x-ms-asf"},
    {"asf", "video/x-ms-asf"},
    {"wmv", "video/x-ms-wmv"},
    {"avi", "video/x-msvideo"},
    {"7z", "application/x-7z-compressed"},
    {"cco", "application/x-cocoa"},
    {"swf", "application/x-shockwave-flash"},
    // What a site of today serves beside the above. A module script, a
    // WebAssembly module streamed into instantiateStreaming and a web app
    // manifest are refused by browsers under any other type.
    {"mjs", "text/javascript"},
    {"wasm", "application/wasm"},
    {"json", "application/json"},
    {"map", "application/json"},
    {"webmanifest", "application/manifest+json"},
    {"webp", "image/webp"},
    {"avif", "image/avif"},
    {"woff2", "font/woff2"},
    {"ttf", "font/ttf"},
    {"otf", "font/otf"},
    {"opus", "audio/ogg"},
    {"oga", "audio/ogg"},
    {"flac", "audio/flac"},
    {"wav", "audio/wav"},
    {"csv", "text/csv"},
};
constexpr const char* kDefaultMimeType = "application/octet-stream";
constexpr size_t kLongestExtension = 11;  // "webmanifest"

// The known header fields in the order they are written, Server first.
struct HeaderField {
  std::string_view name;  // with its ": "
  std::string ResponseHead::*field;
};

constexpr HeaderField kHeaderOrder[] = {
    {"Server: ", &ResponseHead::Server},
    {"Date: ", &ResponseHead::Date},
    {"Expires: ", &ResponseHead::Expires},
    {"Content-Type: ", &ResponseHead::ContentType},
    {"Content-Encoding: ", &ResponseHead::ContentEncoding},
    {"Content-Length: ", &ResponseHead::ContentLength},
    {"Content-Range: ", &ResponseHead::ContentRange},
    {"Last-Modified: ", &ResponseHead::LastModified},
    {"ETag: ", &ResponseHead::ETag},
    {"Accept-Language: ", &ResponseHead::AcceptLanguage},
    {"Referer: ", &ResponseHead::Referer},
    {"Origin: ", &ResponseHead::Origin},
    {"User-Agent: ", &ResponseHead::UserAgent},
    {"Accept-Charset: ", &ResponseHead::AcceptCharset},
    {"Accept-Ranges: ", &ResponseHead::AcceptRanges},
    {"Vary: ", &ResponseHead::Vary},
    {"Cache-Control: ", &ResponseHead::CacheControl},
    {"Pragma: ", &ResponseHead::Pragma},
    {"Connection: ", &ResponseHead::Connection},
    {"Set-Cookie: ", &ResponseHead::SetCookie},
    {"X-Powered-By: ", &ResponseHead::XPoweredBy},
};

// A value goes out as it is, except for the bytes that would end its line
// early: a CR, LF or NUL that reached a field (a CGI program's header, a
// request value copied into an answer) would let the sender write header
// lines of its own. Each such byte becomes a space.
void AppendHeaderValue(std::string& out, std::string_view value) {
  const size_t from = out.size();
  out.append(value);
  for (size_t i = from; i < out.size(); ++i) {
    const char c = out[i];
    if (c == '\r' || c == '\n' || c == '\0') out[i] = ' ';
  }
}

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Day of the week of a Gregorian date, 0 = Sunday (Sakamoto's method).
int WeekdayOf(int year, int month, int day) {
  static constexpr int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (month < 3) year -= 1;
  int w = (year + year / 4 - year / 100 + year / 400 + kOffsets[month - 1] + day) % 7;
  return w < 0 ? w + 7 : w;
}

struct DateCache {
  int64_t second = -1;
  char text[40] = {};
  size_t length = 0;
};

}  // namespace

std::string ExtensionOf(std::string_view fileName) {
  // The name splits at every "."; one dot at the very end leaves no empty
  // piece after it. With a single piece there is no extension and the
  // name is served as HTML.
  std::string_view name = fileName;
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return "html";
  return std::string(name.substr(dot + 1));
}

bool IsCompressibleType(std::string_view mimeType) {
  // The essence only: "text/html; charset=utf-8" is text/html.
  const size_t semicolon = mimeType.find(';');
  std::string_view type = mimeType.substr(0, semicolon);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  // Lower-cased on the stack: this is asked on every compressed answer.
  char lowered[128];
  std::string essence;
  std::string_view t;
  if (type.size() <= sizeof lowered) {
    for (size_t i = 0; i < type.size(); ++i) lowered[i] = AsciiLowerChar(type[i]);
    t = std::string_view(lowered, type.size());
  } else {
    essence = AsciiLower(type);
    t = essence;
  }
  if (t.empty()) return true;  // an answer without a type goes out as HTML
  if (t.starts_with("text/")) return true;
  if (t.ends_with("+xml") || t.ends_with("+json")) return true;
  // Formats that are text or uncompressed binary underneath. Images,
  // audio, video, archives and WOFF fonts are compressed already: gzip
  // only makes them longer and costs a copy in WebCache.
  static constexpr std::string_view kPlainFormats[] = {
      "application/json",       "application/javascript", "application/x-javascript", "application/xml",
      "application/wasm",       "application/postscript", "application/rtf",          "image/x-icon",
      "image/x-ms-bmp",         "image/svg+xml",          "font/ttf",                 "font/otf",
  };
  for (std::string_view plain : kPlainFormats) {
    if (t == plain) return true;
  }
  return false;
}

const char* MimeTypeForExtension(std::string_view extension) {
  if (extension.empty() || extension.size() > kLongestExtension) return kDefaultMimeType;
  char lower[kLongestExtension];
  for (size_t i = 0; i < extension.size(); ++i) lower[i] = AsciiLowerChar(extension[i]);
  const std::string_view key(lower, extension.size());
  for (const MimeEntry& entry : kMimeTable) {
    if (entry.extension == key) return entry.type;
  }
  return kDefaultMimeType;
}

std::string FormatHttpDate(const platform::CivilTime& time) {
  const int month = time.month >= 1 && time.month <= 12 ? time.month : 1;
  const int weekday = time.day >= 1 && time.day <= 31 ? WeekdayOf(time.year, month, time.day)
                                                      : (time.weekday % 7 + 7) % 7;
  // "%s, %02d %s %d %02d:%02d:%02d GMT", built by hand: every static
  // answer formats its Last-Modified.
  std::string text;
  text.reserve(32);
  text += kWeekdays[weekday];
  text += ", ";
  AppendZeroPadded(text, time.day, 2);
  text += ' ';
  text += kMonths[month - 1];
  text += ' ';
  AppendZeroPadded(text, time.year, 1);
  text += ' ';
  AppendClockTime(text, time.hour, time.minute, time.second);
  text += " GMT";
  return text;
}

platform::CivilTime CurrentUtcTime() { return platform::UtcTimeNow(); }

std::string_view CurrentHttpDate() {
  // Every answer carries a Date: the text changes once a second, so each
  // thread keeps the last one it made. No lock, nothing shared.
  thread_local DateCache cache;
  const int64_t now = platform::UnixSecondsNow();
  if (now != cache.second) {
    const std::string text = FormatHttpDate(platform::UtcFromUnixSeconds(now));
    cache.length = std::min(text.size(), sizeof cache.text);
    std::memcpy(cache.text, text.data(), cache.length);
    cache.second = now;
  }
  return std::string_view(cache.text, cache.length);
}

bool AcceptsGzip(std::string_view acceptEncoding) {
  // Accept-Encoding is a comma-separated list of codings, each with
  // optional ";"-parameters, of which only q matters here. A quality of
  // zero ("q=0", "q=0.000") refuses the coding; anything else accepts it.
  // A gzip that is refused anywhere in the list stays refused.
  bool accepted = false;
  size_t start = 0;
  while (start <= acceptEncoding.size()) {
    size_t comma = acceptEncoding.find(',', start);
    if (comma == std::string_view::npos) comma = acceptEncoding.size();
    std::string_view element = acceptEncoding.substr(start, comma - start);
    start = comma + 1;
    size_t semicolon = element.find(';');
    if (!EqualsIgnoreCase(TrimBlanks(element.substr(0, semicolon)), "gzip")) continue;
    bool refused = false;
    while (semicolon != std::string_view::npos) {
      element = element.substr(semicolon + 1);
      semicolon = element.find(';');
      std::string_view parameter = TrimBlanks(element.substr(0, semicolon));
      if (parameter.size() < 2 || AsciiLowerChar(parameter[0]) != 'q') continue;
      parameter = TrimBlanks(parameter.substr(1));
      if (parameter.empty() || parameter[0] != '=') continue;
      const std::string_view quality = TrimBlanks(parameter.substr(1));
      bool zero = !quality.empty();
      bool seenDigit = false, seenDot = false;
      for (char c : quality) {
        if (c == '0') {
          seenDigit = true;
        } else if (c == '.' && !seenDot) {
          seenDot = true;
        } else {
          zero = false;
          break;
        }
      }
      if (zero && seenDigit) refused = true;
    }
    if (refused) return false;
    accepted = true;
  }
  return accepted;
}

std::string BuildResponseHead(ResponseHead& head) {
  // 1. A Content-Type from the file name, unless the answer has its own.
  if (head.ContentType.empty() && FindText(head.ExtraHeaders, "Content-Type", true) < 0) {
    head.ContentType = MimeTypeForExtension(ExtensionOf(head.FileName));
  }
  // 2. What every answer says about itself.
  head.Server = kVersionText;
  head.Version = "HTTP/1.1";
  head.Date.assign(CurrentHttpDate());
  // 3. A large enough 2xx or 3xx body offers ranges.
  const char statusClass = head.Status.empty() ? '\0' : head.Status[0];
  if ((statusClass == '2' || statusClass == '3') && ReadInteger64(head.ContentLength) >= kAcceptRangesFrom) {
    head.AcceptRanges = "bytes";
  }
  // 4. A 3xx answer has no body to describe.
  if (statusClass == '3') {
    head.ContentType.clear();
    head.ContentLength.clear();
    head.ContentEncoding.clear();
    head.Vary.clear();
  }
  // 5. A compressed answer depends on the request's Accept-Encoding.
  if (head.ContentEncoding == "gzip" && head.ExtraHeaders.find("Vary: ") == std::string::npos) {
    head.Vary = "Accept-Encoding";
  }

  // 6. Status line, the known fields in their fixed order, the extra lines
  // as they are, the blank line.
  size_t size = head.Version.size() + head.Status.size() + head.ExtraHeaders.size() + 5;
  for (const HeaderField& h : kHeaderOrder) {
    const std::string& value = head.*(h.field);
    if (!value.empty()) size += h.name.size() + value.size() + 2;
  }
  std::string out;
  out.reserve(size);
  AppendHeaderValue(out, head.Version);
  out += ' ';
  AppendHeaderValue(out, head.Status);
  out += "\r\n";
  for (const HeaderField& h : kHeaderOrder) {
    const std::string& value = head.*(h.field);
    if (value.empty()) continue;
    out.append(h.name);
    AppendHeaderValue(out, value);
    out += "\r\n";
  }
  out.append(head.ExtraHeaders);
  out += "\r\n";
  return out;
}

bool SendBytes(ConnId conn, std::string_view bytes) { return Link().Send(conn, bytes.data(), bytes.size()); }

}  // namespace zevra
