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
  for (const std::string* piece : {&directory, &fileName}) Check(zevra::Utf8ToAnsi(*piece) == *piece);
  // The target is cut at its first '?' before decoding: the pieces of the
  // path put together give the decoded, repaired part before it, and the
  // query is the rest as sent, less its NULs, repaired the same way.
  const size_t question = target.find('?');
  std::string path = directory;
  for (char& c : path) {
    if (c == zevra::platform::kPathSeparator) c = '/';
  }
  path += fileName;
  Check(path == zevra::Utf8ToAnsi(zevra::PercentDecode(target.substr(0, question))));
  std::string rawQuery(question == std::string_view::npos ? std::string_view() : target.substr(question + 1));
  std::erase(rawQuery, '\0');
  Check(query == zevra::Utf8ToAnsi(rawQuery));
  return 0;
}
