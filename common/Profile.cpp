#include "common/Profile.h"

#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/File.h"

namespace zevra {
namespace {



// A line's blanks, and the CR of a CR LF file read line by line at LF.
std::string_view Trim(std::string_view text) { return TrimAny(text, " \t\r"); }

// A value wholly enclosed in one pair of matching quotes loses them; what is
// inside, blanks included, stays. An unbalanced quote is part of the value.
std::string_view Unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front()) {
    value.remove_prefix(1);
    value.remove_suffix(1);
  }
  return value;
}

// Cuts UTF-8 text to at most n characters without splitting one. A
// continuation byte counts as part of a character only behind a lead byte
// and at most three in a row, so malformed text is bounded too (at most four
// bytes a character).
std::string CutToCharacters(std::string_view text, size_t n) {
  size_t count = 0;
  int continuations = -1;  // -1: no lead byte to continue
  for (size_t i = 0; i < text.size(); ++i) {
    const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    if (continuation && continuations >= 0 && continuations < 3) {
      ++continuations;
      continue;
    }
    if (count == n) return std::string(text.substr(0, i));
    ++count;
    continuations = continuation ? -1 : 0;
  }
  return std::string(text);
}

}  // namespace

ProfileFile ProfileFile::Load(const std::string& path) {
  std::string bytes;
  if (!platform::ReadWholeFile(path, bytes)) return ProfileFile();
  // A UTF-8 byte-order mark says what the text is, whatever the code page.
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    return Parse(std::string_view(bytes).substr(3));
  }
  return Parse(platform::CodePageToUtf8(bytes));
}

ProfileLine ClassifyProfileLine(std::string_view rawLine) {
  ProfileLine result;
  std::string_view line = Trim(rawLine);
  if (line.empty()) return result;
  if (line.front() == ';') {
    result.kind = ProfileLine::kComment;
    return result;
  }
  if (line.front() == '[') {
    size_t close = line.find(']');
    result.kind = ProfileLine::kSection;
    result.name = Trim(close == std::string_view::npos ? line.substr(1) : line.substr(1, close - 1));
    return result;
  }
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) {
    result.kind = ProfileLine::kOther;
    return result;
  }
  result.kind = ProfileLine::kKey;
  result.name = Trim(line.substr(0, eq));
  result.value = Unquote(Trim(line.substr(eq + 1)));
  return result;
}

bool FitsProfileValue(std::string_view value) {
  return CutToCharacters(value, kMaxProfileValueCharacters).size() == value.size();
}

ProfileFile ProfileFile::Parse(std::string_view text) {
  ProfileFile file;
  Section* current = nullptr;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const ProfileLine line = ClassifyProfileLine(text.substr(start, end - start));
    start = end + 1;
    if (line.kind == ProfileLine::kSection) {
      // A section that occurs again adds nothing: the first one counts.
      current = nullptr;
      bool repeat = false;
      for (const Section& s : file.sections_) repeat = repeat || EqualsIgnoreCase(s.name, line.name);
      if (repeat) continue;
      file.sections_.push_back(Section{std::string(line.name), {}});
      current = &file.sections_.back();
    } else if (line.kind == ProfileLine::kKey && current != nullptr) {
      current->entries.push_back(Entry{std::string(line.name), std::string(line.value)});
    }
  }
  return file;
}

std::string ProfileFile::Read(std::string_view section, std::string_view key, std::string_view defaultValue) const {
  for (const Section& s : sections_) {
    if (!EqualsIgnoreCase(s.name, section)) continue;
    for (const Entry& e : s.entries) {
      if (EqualsIgnoreCase(e.key, key)) return CutToCharacters(e.value, kMaxProfileValueCharacters);
    }
    break;
  }
  return CutToCharacters(defaultValue, kMaxProfileValueCharacters);
}

std::string ReadProfileString(const std::string& path, std::string_view section, std::string_view key,
                              std::string_view defaultValue) {
  return ProfileFile::Load(path).Read(section, key, defaultValue);
}

}  // namespace zevra
