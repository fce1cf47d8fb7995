// Writing profile files: one key at a time, in place, keeping every byte the
// edit does not concern. Lines are found by their raw bytes and recognised
// by the same rule the reader uses (ClassifyProfileLine), so that what is
// written is exactly what the reader will find.
#include <optional>
#include <vector>

#include "common/FileReplace.h"
#include "common/Profile.h"
#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/System.h"

namespace zevra {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

struct RawLine {
  size_t begin = 0;       // first byte of the line (after a byte-order mark)
  size_t contentEnd = 0;  // where its line end begins
  size_t end = 0;         // after its line end
};

std::vector<RawLine> SplitRawLines(const std::string& bytes, size_t from) {
  std::vector<RawLine> lines;
  size_t start = from;
  while (start < bytes.size()) {
    size_t nl = bytes.find('\n', start);
    RawLine line;
    line.begin = start;
    if (nl == std::string::npos) {
      line.contentEnd = line.end = bytes.size();
    } else {
      line.contentEnd = (nl > start && bytes[nl - 1] == '\r') ? nl - 1 : nl;
      line.end = nl + 1;
    }
    lines.push_back(line);
    start = line.end;
  }
  return lines;
}

bool HoldsLineBreakOrNul(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool IsBlankAt(std::string_view text, bool front) {
  if (text.empty()) return false;
  char c = front ? text.front() : text.back();
  return c == ' ' || c == '\t';
}

// The reader trims blanks around a value and drops one pair of quotes that
// encloses it whole; a value that would lose something that way is written
// inside double quotes, which the reader takes off again.
std::string QuotedForReader(std::string_view value) {
  const bool enclosed =
      value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
  std::string text(value);
  if (IsBlankAt(value, true) || IsBlankAt(value, false) || enclosed) {
    text.insert(text.begin(), '"');
    text.push_back('"');
  }
  return text;
}

bool IsWritableName(std::string_view name, bool isSection) {
  if (name.empty() || IsBlankAt(name, true) || IsBlankAt(name, false) || HoldsLineBreakOrNul(name)) return false;
  if (isSection) return name.find(']') == std::string_view::npos;
  return name.find('=') == std::string_view::npos && name.front() != ';' && name.front() != '[';
}

}  // namespace

ProfileEditor ProfileEditor::Load(const std::string& path) {
  ProfileEditor editor;
  if (platform::ReadWholeFile(path, editor.bytes_)) return editor;
  const int error = platform::LastErrorCode();
  if (platform::QueryFile(path).exists) {
    editor.unreadable_ = true;
    editor.loadError_ = error;
  }
  return editor;
}

ProfileEditor ProfileEditor::FromBytes(std::string bytes) {
  ProfileEditor editor;
  editor.bytes_ = std::move(bytes);
  return editor;
}

bool ProfileEditor::CanWrite(std::string_view value) const {
  if (HoldsLineBreakOrNul(value) || !FitsProfileValue(value)) return false;
  if (bytes_.starts_with(kUtf8Mark)) return true;
  // A character the code page has no byte for would arrive as '?'.
  return platform::CodePageToUtf8(platform::Utf8ToCodePage(value)) == value;
}

bool ProfileEditor::Set(std::string_view section, std::string_view key, std::string_view value) {
  if (!IsWritableName(section, true) || !IsWritableName(key, false) || !CanWrite(value)) return false;
  const bool utf8 = bytes_.starts_with(kUtf8Mark);
  auto decode = [&](std::string_view raw) { return utf8 ? std::string(raw) : platform::CodePageToUtf8(raw); };
  auto encode = [&](std::string_view text) { return utf8 ? std::string(text) : platform::Utf8ToCodePage(text); };
  const std::string encodedValue = encode(QuotedForReader(value));

  const std::vector<RawLine> lines = SplitRawLines(bytes_, utf8 ? kUtf8Mark.size() : 0);
  // New lines take the file's own line end; a new file takes the platform's.
  std::string eol = platform::kPathSeparator == '\\' ? "\r\n" : "\n";
  for (const RawLine& line : lines) {
    if (line.end > line.contentEnd) {
      eol = bytes_.substr(line.contentEnd, line.end - line.contentEnd);
      break;
    }
  }

  std::optional<size_t> sectionLine;
  std::optional<size_t> lastInSection;  // the section's last line that is not blank
  for (size_t i = 0; i < lines.size(); ++i) {
    const RawLine& raw = lines[i];
    const std::string text = decode(std::string_view(bytes_).substr(raw.begin, raw.contentEnd - raw.begin));
    const ProfileLine line = ClassifyProfileLine(text);
    if (!sectionLine) {
      if (line.kind == ProfileLine::kSection && EqualsIgnoreCase(line.name, section)) sectionLine = i;
      continue;
    }
    if (line.kind == ProfileLine::kSection) break;  // the section ends at the next header
    if (line.kind == ProfileLine::kKey && EqualsIgnoreCase(line.name, key)) {
      // '=' is ASCII and no trail byte of a double-byte code page, so the
      // first '=' of the raw line is the one the reader splits at.
      const size_t eq = bytes_.find('=', raw.begin);
      bytes_.replace(eq + 1, raw.contentEnd - eq - 1, encodedValue);
      return true;
    }
    if (line.kind != ProfileLine::kBlank) lastInSection = i;
  }

  const std::string keyLine = encode(key) + "=" + encodedValue + eol;
  if (sectionLine) {
    const RawLine& after = lines[lastInSection.value_or(*sectionLine)];
    const size_t at = after.end;
    bytes_.insert(at, keyLine);
    if (after.end == after.contentEnd) bytes_.insert(at, eol);  // the file's last line had no line end
    return true;
  }
  if (!lines.empty() && lines.back().end == lines.back().contentEnd) bytes_ += eol;
  bytes_.push_back('[');
  bytes_ += encode(section);
  bytes_.push_back(']');
  bytes_ += eol;
  bytes_ += keyLine;
  return true;
}

bool ProfileEditor::Save(const std::string& path, int& errorCode) const {
  if (unreadable_) {
    errorCode = loadError_;
    return false;
  }
  return ReplaceFileContent(path, path + ".~tmp", bytes_, errorCode);
}

}  // namespace zevra
