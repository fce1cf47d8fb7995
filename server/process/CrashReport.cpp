// Everything here may run inside the crash hook: texts are built by hand in
// fixed buffers, the pid file is read with plain reads, and the line goes
// out in one write to a log handle opened when the report was armed.
#include "server/process/CrashReport.h"

#include <string>

#include "platform/File.h"
#include "platform/System.h"
#include "server/core/ProgramPaths.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// Bounded appends into a fixed buffer; what does not fit is cut off.
struct LineWriter {
  char* out;
  size_t capacity;
  size_t length = 0;

  void Text(std::string_view text) {
    for (char c : text) {
      if (length == capacity) return;
      out[length++] = c;
    }
  }
  // Upper-case hexadecimal without leading zeros, with one "0" in front
  // when the number of digits is odd: 0 -> "00", 0x5 -> "05", 0x1234.
  void Hex(uint64_t value) {
    char digits[17];
    int n = 0;
    do {
      digits[n++] = "0123456789ABCDEF"[value & 15];
      value >>= 4;
    } while (value != 0);
    if (n % 2 != 0) digits[n++] = '0';
    while (n > 0) Text(std::string_view(&digits[--n], 1));
  }
  void Decimal(uint64_t value, int width = 0) {
    char digits[21];
    int n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    while (n < width) digits[n++] = '0';
    while (n > 0) Text(std::string_view(&digits[--n], 1));
  }
};

// Filled when the report is armed; only read inside the hook.
std::string g_pidFilePath;
platform::File g_errorLog;

void ReportCrash(const platform::CrashRecord& record) {
  char pid[32];
  size_t pidLength = 0;
  {
    platform::File file = platform::File::OpenRead(g_pidFilePath);
    char raw[sizeof pid];
    int64_t n = file.IsOpen() ? file.Read(raw, sizeof raw) : 0;
    // Only what can stand in a log line; a missing file leaves it empty.
    for (int64_t i = 0; i < n; ++i) {
      if (raw[i] >= 0x20 && raw[i] < 0x7F) pid[pidLength++] = raw[i];
    }
  }
  char line[1024];
  size_t length =
      FormatCrashLine(record, std::string_view(pid, pidLength), platform::CrashLocalTime(), line, sizeof line);
  if (g_errorLog.IsOpen()) (void)g_errorLog.WriteAll(line, length);
}

}  // namespace

size_t FormatCrashMessage(const platform::CrashRecord& record, std::string_view pid, char* out, size_t capacity) {
  LineWriter w{out, capacity};
  w.Text("[ Core ] Error - Worker [");
  w.Text(pid);
  w.Text("] Crashed. Exception {Code:0x");
  w.Hex(record.code);
  w.Text(", Address:0x");
  w.Hex(record.address);
  w.Text(", Flags:0x");
  w.Hex(record.flags);
  w.Text(", Record:0x");
  w.Hex(record.nestedRecord);
  w.Text(", ");
  uint32_t count = record.parameterCount < platform::kMaxCrashParameters ? record.parameterCount
                                                                          : platform::kMaxCrashParameters;
  if (count > 0) {
    w.Text("Params:0x");
    w.Hex(count);
    w.Text(", ");
  }
  for (uint32_t i = 0; i < count; ++i) {
    w.Text("Info[");
    w.Decimal(i + 1);
    w.Text("]:0x");
    w.Hex(record.parameters[i]);
    if (i + 1 < count) w.Text(", ");
  }
  w.Text("}");
  return w.length;
}

size_t FormatCrashLine(const platform::CrashRecord& record, std::string_view pid, const platform::CivilTime& time,
                       char* out, size_t capacity) {
  LineWriter w{out, capacity};
  w.Decimal(static_cast<uint64_t>(time.year), 4);
  w.Text("-");
  w.Decimal(static_cast<uint64_t>(time.month), 2);
  w.Text("-");
  w.Decimal(static_cast<uint64_t>(time.day), 2);
  w.Text(" ");
  w.Decimal(static_cast<uint64_t>(time.hour), 2);
  w.Text(":");
  w.Decimal(static_cast<uint64_t>(time.minute), 2);
  w.Text(":");
  w.Decimal(static_cast<uint64_t>(time.second), 2);
  w.Text(" - - ");
  // Room for the line end is kept even when the message is cut.
  size_t room = w.length + 2 <= capacity ? capacity - w.length - 2 : 0;
  w.length += FormatCrashMessage(record, pid, out + w.length, room);
  w.Text("\r\n");
  return w.length;
}

void InstallCrashReport() {
  g_pidFilePath = PidFilePath();
  g_errorLog = platform::File::OpenAppend(ProgramPath({"error.log"}));
  platform::InstallCrashHandler(ReportCrash);
}

}  // namespace zevra
