// Reading and writing profile (INI) files with the semantics of the Windows
// profile functions that the settings file was designed around, so that a
// file the console writes reads the same on every platform.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zevra {

// The profile functions read values into a 128-character buffer: a longer
// value reaches its reader cut.
inline constexpr size_t kMaxProfileValueCharacters = 127;

// How the reader sees one line (blanks and a CR around it do not count).
struct ProfileLine {
  enum Kind { kBlank, kComment, kSection, kKey, kOther };
  Kind kind = kBlank;
  std::string_view name;   // section or key name, trimmed
  std::string_view value;  // a key's value, trimmed and unquoted
};
ProfileLine ClassifyProfileLine(std::string_view line);

// Whether a value reaches the reader whole (at most 127 characters).
bool FitsProfileValue(std::string_view value);

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

// Changes keys of a profile file the way the profile functions write them:
// the first key of that name in the first section of that name gets its new
// value in place; a missing key is added at the end of its section, a
// missing section at the end of the file. Every other byte stays as it was:
// other lines, comments, unknown keys, repeated sections, a byte-order mark,
// each line's own line end and the code page. The file is replaced in one
// atomic step.
class ProfileEditor {
 public:
  // A missing file starts empty. A file that exists but cannot be read is
  // not edited at all (writing it would drop what it holds): Save fails.
  static ProfileEditor Load(const std::string& path);
  static ProfileEditor FromBytes(std::string bytes);

  // Whether a value can be written so that the reader gets it back as it
  // is: no CR, LF or NUL (which would end the line and could add keys or
  // sections), at most 127 characters, and representable in the file's
  // encoding.
  bool CanWrite(std::string_view value) const;
  // Sets section/key to value; false, and nothing changed, when CanWrite
  // refuses the value or a name could not be read back as written.
  bool Set(std::string_view section, std::string_view key, std::string_view value);

  // The file's bytes as they stand.
  const std::string& Bytes() const { return bytes_; }
  // Writes the bytes over path through a temporary file beside it. On
  // failure errorCode holds the system's error and the file is untouched.
  bool Save(const std::string& path, int& errorCode) const;

 private:
  std::string bytes_;
  bool unreadable_ = false;
  int loadError_ = 0;
};

// One-shot form of ProfileFile::Load(path).Read(...).
std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue);

}  // namespace zevra
