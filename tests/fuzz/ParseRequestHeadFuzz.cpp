// Any bytes as a request head: the parser must neither crash nor read
// outside them, and what it keeps must hold together.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/System.h"
#include "server/net/RequestParser.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool Contains(std::string_view text, std::string_view what) { return text.find(what) != std::string_view::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  const zevra::HttpRequest r = zevra::ParseRequestHead(head);

  const size_t end = head.find("\r\n\r\n");
  if (end == std::string_view::npos) {
    Check(r.Method.empty() && r.HeaderLines.empty() && r.Host.empty() && r.Uri.empty() && r.Body.empty());
    return 0;
  }
  Check(r.Body.size() <= size - end - 4);
  Check(r.HeaderLines.size() <= end);
  // No kept value can span a line of the head.
  for (const std::string* field : {&r.Method, &r.Version, &r.Host, &r.UserAgent, &r.Cookie, &r.ContentLength,
                                   &r.AcceptEncoding, &r.Connection, &r.Range, &r.Status}) {
    Check(!Contains(*field, "\r\n"));
  }
  // The path fields are valid UTF-8 text without NULs, and Uri is theirs.
  for (const std::string* field : {&r.Directory, &r.FileName, &r.Query}) {
    Check(zevra::Utf8ToAnsi(*field) == *field);
    Check(!Contains(*field, std::string_view("\0", 1)));
  }
  Check(r.FileName.find('/') == std::string::npos);
  if (!r.Directory.empty()) {
    Check(r.Directory.front() == zevra::platform::kPathSeparator);
    Check(r.Directory.back() == zevra::platform::kPathSeparator);
    std::string uri = r.Directory + r.FileName;
    if (!r.Query.empty()) uri += "?" + r.Query;
    Check(r.Uri == uri);
  } else {
    Check(r.FileName.empty() && r.Query.empty() && r.Uri.empty());
  }

  // The decoders on the raw bytes: decoding never grows a text, and the
  // UTF-8 repair is idempotent.
  const std::string decoded = zevra::PercentDecode(head);
  Check(decoded.size() <= size);
  const std::string text = zevra::Utf8ToAnsi(decoded);
  Check(zevra::Utf8ToAnsi(text) == text);
  return 0;
}
