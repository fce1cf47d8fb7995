// Any bytes as a request target: the split and the decoding must stay
// inside the bytes and give pieces that fit back together.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view target(reinterpret_cast<const char*>(data), size);

  // Decoding never grows a text and drops every NUL; text without '%'
  // comes back as it was, less its NULs.
  const std::string decoded = zevra::PercentDecode(target);
  Check(decoded.size() <= size);
  Check(decoded.find('\0') == std::string::npos);
  if (target.find('%') == std::string_view::npos) {
    std::string plain(target);
    std::erase(plain, '\0');
    Check(decoded == plain);
  }
  const std::string text = zevra::Utf8ToAnsi(decoded);
  Check(zevra::Utf8ToAnsi(text) == text);

  std::string directory, fileName, query;
  if (!zevra::SplitTarget(target, directory, fileName, query)) return 0;
  Check(fileName.find(zevra::platform::kPathSeparator) == std::string::npos);
  if (!directory.empty()) {
    Check(directory.front() == zevra::platform::kPathSeparator);
    Check(directory.back() == zevra::platform::kPathSeparator);
  }
  for (const std::string* piece : {&directory, &fileName, &query}) Check(zevra::Utf8ToAnsi(*piece) == *piece);
  // The pieces are the decoded, repaired target cut at its first '?' and
  // the last '/' before it: put together they give it back.
  std::string path = directory;
  for (char& c : path) {
    if (c == zevra::platform::kPathSeparator) c = '/';
  }
  path += fileName;
  Check(path.find('?') == std::string::npos);
  if (!query.empty()) {
    Check(text == path + "?" + query);
  } else {
    Check(text == path || text == path + "?");
  }
  return 0;
}
