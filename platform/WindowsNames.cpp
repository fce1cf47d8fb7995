#include "platform/WindowsNames.h"

#include <array>
#include <cctype>

namespace zevra::platform {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsLowerAscii(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (LowerAscii(text[i]) != lower[i]) return false;
  }
  return true;
}

bool EndsWithLowerAscii(std::string_view text, std::string_view lower) {
  return text.size() >= lower.size() && EqualsLowerAscii(text.substr(text.size() - lower.size()), lower);
}

// Windows drops trailing dots and blanks from a name before it looks it up.
std::string_view WithoutTrailingDotsAndBlanks(std::string_view name) {
  while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.remove_suffix(1);
  return name;
}

}  // namespace

bool IsReservedDeviceName(std::string_view segment) {
  // The device is named by what stands before the first dot, blanks at its
  // end dropped: "NUL", "nul.txt", "Nul .php" and "nul.a.b" all open NUL.
  std::string_view base = segment.substr(0, segment.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  static constexpr std::array<std::string_view, 6> kPlain = {"con", "prn", "aux", "nul", "conin$", "conout$"};
  for (std::string_view name : kPlain) {
    if (EqualsLowerAscii(base, name)) return true;
  }
  if (base.size() < 4) return false;
  std::string_view stem = base.substr(0, 3);
  if (!EqualsLowerAscii(stem, "com") && !EqualsLowerAscii(stem, "lpt")) return false;
  std::string_view number = base.substr(3);
  // COM0 and LPT0 are on Windows' own list of names not to use; refusing
  // them costs nothing and spares guessing which versions open a device.
  if (number.size() == 1) return number[0] >= '0' && number[0] <= '9';
  // ¹ ² ³ in UTF-8: C2 B9, C2 B2, C2 B3.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool IsWindowsSafeSegment(std::string_view segment) {
  if (segment.empty() || segment == "." || segment == "..") return true;
  for (char c : segment) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) return false;
    switch (c) {
      case ':': case '\\': case '"': case '<': case '>': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
  const char last = segment.back();
  if (last == '.' || last == ' ') return false;
  return !IsReservedDeviceName(segment);
}

bool MayBeShortAlias(std::string_view path) {
  for (size_t i = path.find('~'); i != std::string_view::npos; i = path.find('~', i + 1)) {
    if (i + 1 < path.size() && std::isalnum(static_cast<unsigned char>(path[i + 1])) != 0) return true;
  }
  return false;
}

std::string QuoteWindowsArgument(std::string_view argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos) {
    return std::string(argument);
  }
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      // 2n + 1: n literal backslashes and the quote itself as a character.
      quoted.append(backslashes * 2 + 1, '\\');
    } else {
      quoted.append(backslashes, '\\');
    }
    backslashes = 0;
    quoted += c;
  }
  // Before the closing quote they would escape it: 2n give n.
  quoted.append(backslashes * 2, '\\');
  quoted += '"';
  return quoted;
}

bool BuildWindowsCommandLine(const std::vector<std::string>& arguments, std::string& commandLine) {
  commandLine.clear();
  if (arguments.empty() || arguments[0].find('"') != std::string::npos) return false;
  const std::string& program = arguments[0];
  // Quoted when it holds a blank: unquoted, CreateProcess would try
  // "C:\Program.exe" for "C:\Program Files\x.exe".
  if (program.empty() || program.find_first_of(" \t") != std::string::npos) {
    commandLine = "\"" + program + "\"";
  } else {
    commandLine = program;
  }
  for (size_t i = 1; i < arguments.size(); ++i) {
    commandLine += ' ';
    commandLine += QuoteWindowsArgument(arguments[i]);
  }
  return true;
}

bool IsCommandInterpreterProgram(std::string_view program) {
  size_t slash = program.find_last_of("\\/");
  std::string_view name = WithoutTrailingDotsAndBlanks(slash == std::string_view::npos ? program : program.substr(slash + 1));
  return EndsWithLowerAscii(name, ".bat") || EndsWithLowerAscii(name, ".cmd") || EqualsLowerAscii(name, "cmd") ||
         EqualsLowerAscii(name, "cmd.exe");
}

}  // namespace zevra::platform
