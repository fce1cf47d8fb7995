// Any bytes as a settings file, edited: when the writer takes a value, the
// reader finds exactly that value under its key afterwards, and every other
// key reads as it did before. The first line of the input is the value.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Profile.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

zevra::ProfileFile Parse(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return zevra::ProfileFile::Parse(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t cut = input.find('\n');
  const std::string_view value = cut == std::string_view::npos ? input.substr(0, 16) : input.substr(0, cut);
  const std::string file(cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1));

  struct Key {
    const char* section;
    const char* key;
  };
  static constexpr Key kKeys[] = {{"Listen", "Port"}, {"listen", "Other"}, {"Settings", "ServerAdmin"},
                                  {"Performance", "Buffer"}, {"a", "a"}};
  static constexpr std::string_view kDefault = "\x01" "default";
  const zevra::ProfileFile before = Parse(file);
  for (const Key& target : kKeys) {
    zevra::ProfileEditor editor = zevra::ProfileEditor::FromBytes(file);
    if (!editor.Set(target.section, target.key, value)) {
      Check(editor.Bytes() == file);  // a refused value changes nothing
      continue;
    }
    const zevra::ProfileFile after = Parse(editor.Bytes());
    for (const Key& other : kKeys) {
      const std::string now = after.Read(other.section, other.key, kDefault);
      if (&other == &target) {
        Check(now == value);
      } else {
        Check(now == before.Read(other.section, other.key, kDefault));
      }
    }
  }
  return 0;
}
