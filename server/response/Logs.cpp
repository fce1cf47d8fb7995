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

// timestamp + " - - " + message + CR LF, in the bytes the file holds.
const std::string& CurrentTimestamp();

void BuildLine(std::string_view message, std::string& line) {
  line.assign(CurrentTimestamp());
  line += " - - ";
  line += message;
  line += "\r\n";
  if (!platform::CodePageIsUtf8()) line = platform::Utf8ToCodePage(line);
}

void AppendLine(platform::File& file, std::string_view message) {
  std::string line;
  BuildLine(message, line);
  // A failed write loses the line; nothing else happens.
  (void)file.WriteAll(line.data(), line.size());
}

// Lines deferred by the library are written before a file they are for
// closes or is replaced.
void FlushDeferredLines() {
  if (ServerLink* link = LinkIfSet()) link->FlushDeferredWrites();
}

}  // namespace

void OpenAccessLog(const std::string& path) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  FlushDeferredLines();
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
  FlushDeferredLines();
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
  // Inside a request the line goes to the library, which writes the lines
  // of all answers its loop finished in one turn with one write, before it
  // waits again: a line still lands right after its answer, for a fraction
  // of the system calls. Elsewhere it is written at once.
  thread_local std::string line;
  BuildLine(message, line);
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  if (!f.access) return;
  ServerLink* link = LinkIfSet();
  if (link != nullptr && link->DeferFileWrite(f.access, line)) return;
  (void)f.access.WriteAll(line.data(), line.size());
}

void AppendErrorLog(std::string_view message) {
  LogFiles& f = Files();
  std::lock_guard<std::mutex> guard(f.lock);
  if (f.error) AppendLine(f.error, message);
}

namespace {

// The calling thread's timestamp text of the current second.
const std::string& CurrentTimestamp() {
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

}  // namespace

std::string LogTimestamp() { return CurrentTimestamp(); }

namespace {

// Appends text with bytes below 0x20 and 0x7F as \xHH; plain runs are
// copied whole, so the usual text costs one append and no temporary. A
// plain `from` byte is written as `to` (the local path separator as "/").
void AppendEscapedLogText(std::string& out, std::string_view text, char from = '\0', char to = '\0') {
  static const char kHex[] = "0123456789ABCDEF";
  size_t start = 0;
  const auto appendPlain = [&](size_t end) {
    const size_t at = out.size();
    out.append(text.data() + start, end - start);
    if (from != '\0') {
      for (size_t k = at; k < out.size(); ++k) {
        if (out[k] == from) out[k] = to;
      }
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    if (b >= 0x20 && b != 0x7F) continue;
    appendPlain(i);
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
    start = i + 1;
  }
  appendPlain(text.size());
}

}  // namespace

std::string EscapeLogText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendEscapedLogText(out, text);
  return out;
}

std::string AccessLogMessage(ConnId conn, const HttpRequest& request, std::string_view status,
                             std::string_view contentLength, bool withPort) {
  std::string address;
  uint16_t port = 0;
  const bool known = Link().RemoteAddress(conn, address, port);
  std::string line;
  line.reserve(address.size() + request.Directory.size() + request.FileName.size() + request.Method.size() +
               request.UserAgent.size() + 48);
  line += address;
  if (withPort) {
    line += ':';
    AppendZeroPadded(line, known ? port : 0, 1);
  }
  line += " \"";
  AppendEscapedLogText(line, request.Method);
  line += ' ';
  // The path as the client wrote it: Directory with "/" again, then FileName.
  if constexpr (platform::kPathSeparator != '/') {
    AppendEscapedLogText(line, request.Directory, platform::kPathSeparator, '/');
  } else {
    AppendEscapedLogText(line, request.Directory);
  }
  AppendEscapedLogText(line, request.FileName);
  line += " HTTP/1.1\" ";
  AppendEscapedLogText(line, status);
  line += ' ';
  AppendEscapedLogText(line, contentLength);
  line += " \"";
  AppendEscapedLogText(line, request.UserAgent);
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
