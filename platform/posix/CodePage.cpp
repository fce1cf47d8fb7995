#include "platform/CodePage.h"

#include <cerrno>
#include <clocale>
#include <cstring>
#include <iconv.h>
#include <langinfo.h>
#include <mutex>
#include <strings.h>

namespace zevra::platform {
namespace {

struct CodePageInfo {
  bool utf8 = true;
  std::string name;
};

const CodePageInfo& Info() {
  static const CodePageInfo info = [] {
    CodePageInfo i;
    // The process locale decides the code page, as the ANSI code page does
    // on Windows. Only LC_CTYPE is taken from the environment, so number
    // formatting stays that of the C locale.
    const char* saved = std::setlocale(LC_CTYPE, nullptr);
    std::string previous = saved != nullptr ? saved : "C";
    if (std::setlocale(LC_CTYPE, "") != nullptr) {
      const char* codeset = ::nl_langinfo(CODESET);
      if (codeset != nullptr) i.name = codeset;
    }
    std::setlocale(LC_CTYPE, previous.c_str());
    i.utf8 = i.name.empty() || ::strcasecmp(i.name.c_str(), "UTF-8") == 0 ||
             ::strcasecmp(i.name.c_str(), "utf8") == 0 ||
             ::strcasecmp(i.name.c_str(), "ANSI_X3.4-1968") == 0 ||
             ::strcasecmp(i.name.c_str(), "ASCII") == 0;
    return i;
  }();
  return info;
}

std::string Convert(std::string_view bytes, const char* to, const char* from) {
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() * 2 + 8);
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* o = buffer;
    size_t oLeft = sizeof buffer;
    size_t r = ::iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, sizeof buffer - oLeft);
    if (r == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // A byte without a mapping: put a question mark and step over it.
      out += '?';
      ++in;
      --inLeft;
    }
  }
  ::iconv_close(cd);
  return out;
}

}  // namespace

bool CodePageIsUtf8() { return Info().utf8; }

std::string CodePageToUtf8(std::string_view bytes) {
  if (CodePageIsUtf8()) return std::string(bytes);
  return Convert(bytes, "UTF-8", Info().name.c_str());
}

std::string Utf8ToCodePage(std::string_view text) {
  if (CodePageIsUtf8()) return std::string(text);
  return Convert(text, Info().name.c_str(), "UTF-8");
}

}  // namespace zevra::platform
