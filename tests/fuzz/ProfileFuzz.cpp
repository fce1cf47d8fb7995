// Any bytes as a settings file, parsed from memory and read from disk (the
// byte-order mark and code-page paths). Values stay within their 127
// characters, and a key that is not there gives the default.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <system_error>

#include "common/Profile.h"
#include "platform/System.h"

namespace {

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

std::string g_path;

// 127 characters of at most four UTF-8 bytes each.
void CheckValue(const std::string& value) { Check(value.size() <= 127 * 4); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_path = (std::filesystem::temp_directory_path() /
            ("zevra-fuzz-profile-" + std::to_string(zevra::platform::CurrentProcessId()) + ".ini"))
               .string();
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove(g_path, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const zevra::ProfileFile file = zevra::ProfileFile::Parse(text);
  static constexpr std::string_view kDefault = "\x01" "default";
  for (std::string_view key : {"Port", "Charset", "MaxConnections", "KeepAlive", "a", ""}) {
    const std::string value = file.Read("Zevra", key, kDefault);
    if (value != kDefault) CheckValue(value);
  }
  // The first line's name, whatever it is, as section and key.
  const std::string_view first = text.substr(0, text.find_first_of("\r\n"));
  CheckValue(file.Read(first, first, ""));
  // A name that no file can hold (lines end at LF) gives the default.
  const std::string absent = "a\nb";
  Check(file.Read(absent, absent, kDefault) == kDefault);

  bool written;
  {
    std::ofstream out(g_path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    written = static_cast<bool>(out);
  }
  if (written) {
    const zevra::ProfileFile loaded = zevra::ProfileFile::Load(g_path);
    for (std::string_view key : {"Port", "Charset", "a"}) {
      const std::string value = loaded.Read("Zevra", key, kDefault);
      if (value != kDefault) CheckValue(value);
    }
  }
  return 0;
}
