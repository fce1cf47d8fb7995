// Any bytes as the head a CGI program wrote: no field of the answer record
// may hold a CR, an LF or a NUL (a client could take either line break
// for the end of the field), every kept raw line is a "Name: value" line
// with a token for its name, and the program's own Transfer-Encoding never
// gets through.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Text.h"
#include "server/cgi/CgiHead.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

bool HasLineEnd(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view head(reinterpret_cast<const char*>(data), size);
  const zevra::ResponseHead r = zevra::ParseCgiHead(head);
  Check(!r.ContentType.empty());
  Check(!r.Status.empty());
  for (const std::string* field : {&r.Status, &r.ContentType, &r.SetCookie, &r.ContentLength, &r.CacheControl,
                                   &r.Expires, &r.LastModified, &r.XPoweredBy, &r.ETag, &r.Date, &r.Connection}) {
    Check(!HasLineEnd(*field));
  }
  Check(r.ExtraHeaders.size() <= size + 2);
  std::string_view extra = r.ExtraHeaders;
  size_t lines = 0;
  while (!extra.empty()) {
    const size_t end = extra.find("\r\n");
    Check(end != std::string_view::npos);  // every kept line ends in CR LF
    const std::string_view line = extra.substr(0, end);
    const size_t colon = line.find(": ");
    Check(colon != std::string_view::npos);
    Check(zevra::IsHttpToken(line.substr(0, colon)));
    Check(!HasLineEnd(line));
    Check(zevra::AsciiLower(line.substr(0, colon)) != "transfer-encoding");
    extra.remove_prefix(end + 2);
    Check(++lines <= size);
  }
  return 0;
}
