#include "server/process/Settings.h"

#include "common/Text.h"
#include "platform/System.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

constexpr int64_t kMebibyte = 1048576;
constexpr int64_t kWindowCeiling = int64_t{1} << 31;  // the window is a 32-bit byte count

struct SettingsReader {
  const ProfileFile& file;
  std::string Text(const char* section, const char* key, const char* def) const {
    return file.Read(section, key, def);
  }
  int32_t Integer(const char* section, const char* key, const char* def) const {
    return ReadInteger(Text(section, key, def));
  }
  bool Boolean(const char* section, const char* key, const char* def) const {
    return ReadBoolean(Text(section, key, def));
  }
};

std::string SettingsPath() { return g_startup.programDirectory + "/" + kSettingsFile; }

// Reads the keys in the order the file is specified to be read; hook runs
// right after WriteAccessLog, where the logs are opened.
template <typename Hook>
ServerSettings ReadInOrder(const ProfileFile& file, uint32_t granularity, Hook afterAccessLogSwitch) {
  SettingsReader r{file};
  ServerSettings s;
  s.Port = r.Integer("Listen", "Port", "80");
  s.WorkerThreads = r.Integer("Performance", "WorkerThreads", "8");
  s.Connections = r.Integer("Performance", "Connections", "1024");
  s.MaxConn = r.Integer("Performance", "MaxConn", "10240");
  s.KeepAlive = r.Integer("Performance", "KeepAlive", "0");
  s.WriteAccessLog = r.Boolean("Settings", "WriteAccessLog", "True");
  afterAccessLogSwitch(s);
  s.EnableGZIP = r.Boolean("Settings", "EnableGZIP", "True");
  s.GZIPCompressLevel = r.Integer("Settings", "GZIPCompressLevel", "3");
  s.GatewayTimeout = r.Integer("Settings", "GatewayTimeout", "30000");
  s.Debug = r.Boolean("Settings", "Debug", "True");
  s.Buffer = r.Integer("Performance", "Buffer", "40960");
  s.ServerAdmin = r.Text("Settings", "ServerAdmin", "webmaster");
  s.FileMapping = FileMappingWindow(r.Integer("Performance", "FileMapping", "16"), granularity);
  s.DirectoryListing = r.Boolean("Settings", "DirectoryListing", "True");
  s.HeadTimeout = r.Integer("Performance", "HeadTimeout", "20000");
  s.BodyTimeout = r.Integer("Performance", "BodyTimeout", "20000");
  return s;
}

}  // namespace

bool ReadBoolean(std::string_view text) { return EqualsIgnoreCase(text, "TRUE"); }

int32_t FileMappingWindow(int32_t mebibytes, uint32_t granularity) {
  const int64_t g = granularity == 0 ? 1 : granularity;
  // A window of nothing or less is no window: one granularity is the least.
  if (mebibytes <= 0) return static_cast<int32_t>(g);
  int64_t bytes = static_cast<int64_t>(mebibytes) * kMebibyte;
  // 2048 MiB and more do not fit the 32-bit count: the largest multiple of
  // the granularity below 2 GiB stands in for them.
  if (bytes >= kWindowCeiling) bytes = kWindowCeiling - 1;
  if (bytes < g) return static_cast<int32_t>(g);
  return static_cast<int32_t>(bytes - bytes % g);
}

std::string AccessLogFileName(const platform::CivilTime& d) {
  return "Access_" + std::to_string(d.year) + std::to_string(d.month) + std::to_string(d.day) + ".log";
}

ServerSettings ReadServerSettings(const ProfileFile& file, uint32_t granularity) {
  return ReadInOrder(file, granularity, [](const ServerSettings&) {});
}

void LoadServerSettings() {
  const ProfileFile file = ProfileFile::Load(SettingsPath());
  g_settings = ReadInOrder(file, g_startup.allocationGranularity, [](const ServerSettings& s) {
    if (s.WriteAccessLog) {
      OpenAccessLog(g_startup.programDirectory + "/WebLogs/" + AccessLogFileName(platform::LocalTimeNow()));
    }
    OpenErrorLog(g_startup.programDirectory + "/error.log");
  });
}

}  // namespace zevra
