// Reading profile (INI) files with the semantics of the Windows profile
// functions that the settings file was designed around, so that a file the
// console writes reads the same on every platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zevra {

// A parsed profile file. Parse once, then look keys up.
class ProfileFile {
 public:
  // Reads and parses the file; a missing or unreadable file is empty.
  static ProfileFile Load(const std::string& path);
  static ProfileFile Parse(std::string_view utf8Text);

  // The value of key in section, or defaultValue when the key (or the
  // section) is missing. Names match without regard to ASCII case; the first
  // key of that name in the first section of that name wins. A present key
  // with an empty value gives the empty text, not the default. The value is
  // cut to its first 127 characters.
  std::string Read(std::string_view section, std::string_view key, std::string_view defaultValue) const;

 private:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };
  std::vector<Section> sections_;
};

// One-shot form of ProfileFile::Load(path).Read(...).
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue);

}  // namespace zevra
