// Request heads into HttpRequest records.
//
// The parser runs once per request on a worker thread, so it works in one
// left-to-right pass over the head: each line is found with a byte search
// for CR, each header name is matched by its length before any letters are
// compared, and values are copied once, straight into their fields. Nothing
// here fails: what cannot be read stays empty and the handlers decide.
#include "server/net/RequestParser.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <cstdint>
#include <cstring>

#include "common/Text.h"
#include "platform/System.h"

namespace zevra {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The header fields a request may fill, in the order their names are tried.
// Names are unique, so the first match is the only match; the order is kept
// for whoever adds a name that is a case variant of another.
struct KnownHeader {
  std::string_view name;
  std::string HttpRequest::*field;
};

constexpr KnownHeader kKnownHeaders[] = {
    {"HOST", &HttpRequest::Host},
    {"Accept-Language", &HttpRequest::AcceptLanguage},
    {"Referer", &HttpRequest::Referer},
    {"Origin", &HttpRequest::Origin},
    {"User-Agent", &HttpRequest::UserAgent},
    {"Accept", &HttpRequest::Accept},
    {"Accept-Encoding", &HttpRequest::AcceptEncoding},
    {"Accept-Charset", &HttpRequest::AcceptCharset},
    {"Server", &HttpRequest::Server},
    {"Cache-Control", &HttpRequest::CacheControl},
    {"Pragma", &HttpRequest::Pragma},
    {"Last-Modified", &HttpRequest::LastModified},
    {"Content-Length", &HttpRequest::ContentLength},
    {"Connection", &HttpRequest::Connection},
    {"Content-Type", &HttpRequest::ContentType},
    {"X-Powered-By", &HttpRequest::XPoweredBy},
    {"Expires", &HttpRequest::Expires},
    {"Date", &HttpRequest::Date},
    {"Content-Encoding", &HttpRequest::ContentEncoding},
    {"ETag", &HttpRequest::ETag},
    {"Cookie", &HttpRequest::Cookie},
    {"If-Modified-Since", &HttpRequest::IfModifiedSince},
    {"If-None-Match", &HttpRequest::IfNoneMatch},
    {"Range", &HttpRequest::Range},
    {"Status", &HttpRequest::Status},
    // A resumed download names the version it holds; without this field a
    // range of a changed file would be spliced onto the old bytes.
    {"If-Range", &HttpRequest::IfRange},
};

// The longest known name, "If-Modified-Since"; a longer name is not looked
// up at all.
constexpr size_t kLongestKnownName = 17;

// Compares a received name with a known one of the same length, folding
// ASCII case only. Known names hold letters and "-" alone: setting bit 5
// folds a byte onto a lower-case letter only when it is that letter in
// either case, and "-" must match exactly.
bool SameHeaderName(std::string_view received, std::string_view known) {
  for (size_t i = 0; i < known.size(); ++i) {
    const char k = known[i];
    const char r = received[i];
    if (k == '-' ? r != '-' : static_cast<char>(r | 0x20) != static_cast<char>(k | 0x20)) return false;
  }
  return true;
}

// The known names grouped by length, in list order within each group, so a
// received name is compared only with the few of its own length.
struct NamesOfLength {
  uint8_t count = 0;
  uint8_t index[8] = {};
};

constexpr auto kNamesByLength = [] {
  std::array<NamesOfLength, kLongestKnownName + 1> table{};
  for (size_t i = 0; i < std::size(kKnownHeaders); ++i) {
    NamesOfLength& group = table[kKnownHeaders[i].name.size()];
    group.index[group.count++] = static_cast<uint8_t>(i);
  }
  return table;
}();

std::string HttpRequest::*FieldForHeader(std::string_view name) {
  if (name.size() > kLongestKnownName || name.empty()) return nullptr;
  const NamesOfLength& group = kNamesByLength[name.size()];
  const char first = AsciiLowerChar(name[0]);
  for (uint8_t k = 0; k < group.count; ++k) {
    const KnownHeader& known = kKnownHeaders[group.index[k]];
    if (AsciiLowerChar(known.name[0]) == first && SameHeaderName(name, known.name)) return known.field;
  }
  return nullptr;
}

// Position of the first CR LF at or after from, or npos.
size_t FindLineEnd(std::string_view text, size_t from) {
  while (from < text.size()) {
    const void* cr = std::memchr(text.data() + from, '\r', text.size() - from);
    if (cr == nullptr) return std::string_view::npos;
    size_t at = static_cast<size_t>(static_cast<const char*>(cr) - text.data());
    if (at + 1 < text.size() && text[at + 1] == '\n') return at;
    from = at + 1;
  }
  return std::string_view::npos;
}

// Position of the first ": " in line, or npos; sets more when a second one
// follows it.
size_t FindHeaderSeparator(std::string_view line, bool& more) {
  more = false;
  size_t found = std::string_view::npos;
  size_t from = 0;
  while (from < line.size()) {
    const void* colon = std::memchr(line.data() + from, ':', line.size() - from);
    if (colon == nullptr) break;
    size_t at = static_cast<size_t>(static_cast<const char*>(colon) - line.data());
    if (at + 1 < line.size() && line[at + 1] == ' ') {
      if (found != std::string_view::npos) {
        more = true;
        return found;
      }
      found = at;
      from = at + 2;
    } else {
      from = at + 1;
    }
  }
  return found;
}

// A header line is used only when it holds exactly one ": " and a value
// after it. A second ": " anywhere in the value makes the whole line
// unusable, also when it stands at the very end of the line: cutting the
// value there would store a value the client never sent.
void ParseHeaderLine(std::string_view line, bool firstHeaderLine, HttpRequest& request) {
  bool more = false;
  const size_t sep = FindHeaderSeparator(line, more);
  if (sep == std::string_view::npos || more) return;
  const std::string_view name = line.substr(0, sep);
  const std::string_view value = line.substr(sep + 2);
  if (value.empty()) return;

  // The line was accepted: it is name + ": " + value as it stands. A skipped
  // first header line still leaves its separator, so the text then begins
  // with CR LF.
  if (!firstHeaderLine) request.HeaderLines.append(kLineEnd);
  request.HeaderLines.append(line);

  std::string HttpRequest::*field = FieldForHeader(name);
  if (field == nullptr) return;
  if (field == &HttpRequest::Cookie) {
    // Every Cookie line, joined as they come. A line's own bytes are kept,
    // bare CR and LF included, but a join must not make a line break the
    // client never sent (one value ending in CR, the next beginning with
    // LF): a CGI program would find it in HTTP_COOKIE.
    std::string& cookie = request.Cookie;
    if (!cookie.empty() && cookie.back() == '\r' && value.front() == '\n') cookie.back() = ' ';
    cookie.append(value);
  } else {
    (request.*field).assign(value);  // a repeated field keeps its last value
  }
}

// The request line splits at single spaces into exactly three parts. As in
// every split of this server, empty parts between two spaces count, and one
// space at the very end adds no part.
void ParseRequestLine(std::string_view line, HttpRequest& request) {
  if (line.empty()) return;
  const size_t first = line.find(' ');
  if (first == std::string_view::npos) return;
  const size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return;
  size_t versionEnd = line.size();
  const size_t third = line.find(' ', second + 1);
  if (third != std::string_view::npos) {
    // Only a lone trailing space is allowed after the version.
    if (third + 1 != line.size()) return;
    versionEnd = third;
  }
  request.Method.assign(line.substr(0, first));
  request.Version.assign(line.substr(second + 1, versionEnd - second - 1));
  SplitTarget(line.substr(first + 1, second - first - 1), request.Directory, request.FileName, request.Query);
}

void RebuildUri(HttpRequest& request) {
  std::string& uri = request.Uri;
  uri.reserve(request.Directory.size() + request.FileName.size() + request.Query.size() + 1);
  uri = request.Directory;
  if constexpr (platform::kPathSeparator != '/') {
    for (char& c : uri) {
      if (c == platform::kPathSeparator) c = '/';
    }
  }
  uri += request.FileName;
  if (!request.Query.empty()) {
    uri += '?';
    uri += request.Query;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  const size_t size = text.size();
  size_t i = 0;
  while (i < size) {
    // Plain bytes are copied in runs up to the next "%" or NUL.
    size_t run = i;
    while (run < size && text[run] != '%' && text[run] != '\0') ++run;
    out.append(text.data() + i, run - i);
    if (run == size) break;
    i = run;
    if (text[i] == '\0') {
      // A NUL, sent raw or as %00, is dropped: it has no place in a path
      // or a query, and any C string made of the path would end there.
      ++i;
      continue;
    }
    const int high = i + 1 < size ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < size ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) {
      // Not an escape: the "%" stands for itself. Decoding it anyway would
      // make bytes out of nothing ("%3G" would become ".").
      out += '%';
      ++i;
      continue;
    }
    const char byte = static_cast<char>(high * 16 + low);
    if (byte != '\0') out += byte;
    i += 3;
  }
  return out;
}

std::string Utf8ToAnsi(std::string_view bytes) {
  if (IsValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  AppendValidUtf8(bytes, out);
  return out;
}

bool SplitTarget(std::string_view target, std::string& directory, std::string& fileName, std::string& query) {
  // The target splits at its first "?" before anything is decoded: the
  // query is the program's to read as the client sent it (an encoded "&"
  // or "+" in a value is data, not a separator), and a "?" that was sent
  // encoded belongs to the path, so "/what%3F.txt" names the file
  // "what?.txt".
  const size_t question = target.find('?');
  const std::string_view rawPath = target.substr(0, question);
  std::string decoded = PercentDecode(rawPath);
  if (!IsValidUtf8(decoded)) {
    std::string valid;
    AppendValidUtf8(decoded, valid);
    decoded.swap(valid);
  }
  if (decoded.empty() || decoded[0] != '/') return false;

  // A "?" at the very end gives no query and leaves Query alone. A NUL
  // cannot travel in an environment variable, so it is dropped here as
  // it is from the path; raw bytes that are not UTF-8 (clients encode
  // them; a raw one is a broken or hostile request) are repaired like the
  // path's, since every text inside is UTF-8.
  if (question != std::string_view::npos && question + 1 < target.size()) {
    query.assign(target.substr(question + 1));
    std::erase(query, '\0');
    if (!IsValidUtf8(query)) {
      std::string valid;
      AppendValidUtf8(query, valid);
      query.swap(valid);
    }
  }
  const std::string_view path = decoded;
  // UTF-8 never hides "/" inside a multibyte character, so a byte search
  // from the end finds the real last separator.
  const size_t slash = path.rfind('/');  // found: path begins with "/"
  directory.assign(path.substr(0, slash + 1));
  if constexpr (platform::kPathSeparator != '/') {
    for (char& c : directory) {
      if (c == '/') c = platform::kPathSeparator;
    }
  }
  fileName.assign(path.substr(slash + 1));
  return true;
}

HttpRequest ParseRequestHead(std::string_view head) {
  HttpRequest request;
  ParseRequestHeadInto(head, request);
  return request;
}

void ParseRequestHeadInto(std::string_view head, HttpRequest& request) {
  // The head ends at the first empty line; without one there is no head.
  // Lines are handled as they are found, and the record is dropped again in
  // the rare case that the end never comes, so the head is read only once.
  size_t lineEnd = FindLineEnd(head, 0);
  if (lineEnd == std::string_view::npos) return;
  const std::string_view requestLine = head.substr(0, lineEnd);
  // Room for a usual head; a body that may follow in these bytes is not
  // counted, and a longer head grows the text as it goes.
  request.HeaderLines.reserve(std::min<size_t>(head.size() - lineEnd, 2048));
  bool firstHeaderLine = true;
  size_t lineStart = lineEnd + 2;
  size_t terminator = 0;
  for (;;) {
    lineEnd = FindLineEnd(head, lineStart);
    if (lineEnd == std::string_view::npos) {
      request = HttpRequest();
      return;
    }
    if (lineEnd == lineStart) {
      terminator = lineStart - 2;
      break;
    }
    ParseHeaderLine(head.substr(lineStart, lineEnd - lineStart), firstHeaderLine, request);
    firstHeaderLine = false;
    lineStart = lineEnd + 2;
  }
  ParseRequestLine(requestLine, request);

  // The body is what follows the head in these bytes, bounded by the
  // declared length and by what is actually present.
  const size_t bodyStart = terminator + 4;
  const int64_t declared = ReadInteger64(request.ContentLength);
  if (declared > 0 && bodyStart < head.size()) {
    const size_t present = head.size() - bodyStart;
    const size_t take = static_cast<uint64_t>(declared) < present ? static_cast<size_t>(declared) : present;
    request.Body.assign(head.substr(bodyStart, take));
  }
  RebuildUri(request);
}

}  // namespace zevra
