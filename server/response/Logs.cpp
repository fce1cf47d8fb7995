#include "server/response/Logs.h"

#include <cstdio>
#include <mutex>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/File.h"
#include "platform/System.h"

namespace zevra {
namespace {

// The two process-wide log files. Opened in append mode, so each line's
// single write lands at the end of the file as one unit, also when the
// daemon and the worker append to the same error log.
struct LogFiles {
  std::mutex lock;  // guards open/close against appends, not the appends' order
  platform::File access;
  platform::File error;
};

LogFiles& Files() {
  static LogFiles files;
  return files;
}

void AppendLine(platform::File& file, std::string_view message) {
  std::string line = LogTimestamp();
  line += " - - ";
  line += message;
  line += "\r\n";
  // A failed write loses the line; nothing else happens.
  if (platform::CodePageIsUtf8()) {
    (void)file.WriteAll(line.data(), line.size());
    return;
  }
  const std::string bytes = platform::Utf8ToCodePage(line);
  (void)file.WriteAll(bytes.data(), bytes.size());
}

}  // namespace

void OpenAccessLog(const std::string& path) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  f.access = path.empty() ? platform::File() : platform::File::OpenAppend(path);
}

void OpenErrorLog(const std::string& path) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  f.error = path.empty() ? platform::File() : platform::File::OpenAppend(path);
}

void CloseAccessLog() {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  f.access.Close();
}

void CloseErrorLog() {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  f.error.Close();
}

bool AccessLogIsOpen() {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  return f.access.IsOpen();
}

void AppendAccessLog(std::string_view message) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  if (f.access) AppendLine(f.access, message);
}

void AppendErrorLog(std::string_view message) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  if (f.error) AppendLine(f.error, message);
}

std::string LogTimestamp() {
  // Every access line carries one and the text changes once a second, so
  // each thread keeps the last one it made: no local-time conversion and
  // no formatting for the other lines of that second.
  struct Cached {
    int64_t second = -1;
    std::string text;
  };
  thread_local Cached cache;
  const int64_t now = platform::UnixSecondsNow();
  if (now != cache.second) {
    const platform::CivilTime t = platform::LocalTimeNow();
    std::string text;
    text.reserve(19);
    AppendDateTime(text, t.year, 4, t.month, t.day, t.hour, t.minute, t.second);
    cache.text = std::move(text);
    cache.second = now;
  }
  return cache.text;
}

std::string EscapeLogText(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F) {
      out += "\\x";
      out += kHex[b >> 4];
      out += kHex[b & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::string AccessLogMessage(ConnId conn, const HttpRequest& request, std::string_view status,
                             std::string_view contentLength, bool withPort) {
  std::string address;
  uint16_t port = 0;
  const bool known = Link().RemoteAddress(conn, address, port);
  std::string path = request.Directory;
  if constexpr (platform::kPathSeparator != '/') {
    for (char& c : path) {
      if (c == platform::kPathSeparator) c = '/';
    }
  }
  path += request.FileName;
  std::string line;
  line.reserve(address.size() + path.size() + request.UserAgent.size() + 48);
  line += address;
  if (withPort) {
    line += ':';
    AppendZeroPadded(line, known ? port : 0, 1);
  }
  line += " \"";
  line += EscapeLogText(request.Method);
  line += ' ';
  line += EscapeLogText(path);
  line += " HTTP/1.1\" ";
  line += EscapeLogText(status);
  line += ' ';
  line += EscapeLogText(contentLength);
  line += " \"";
  line += EscapeLogText(request.UserAgent);
  line += '"';
  return line;
}

std::string RemoteAddressText(ConnId conn) {
  std::string address;
  uint16_t port = 0;
  if (!Link().RemoteAddress(conn, address, port)) return std::string();
  return address;
}

std::string RemotePortText(ConnId conn) {
  std::string address;
  uint16_t port = 0;
  if (!Link().RemoteAddress(conn, address, port)) return "0";
  return std::to_string(port);
}

std::string SystemErrorText(int code) { return platform::SystemErrorText(code); }

}  // namespace zevra
