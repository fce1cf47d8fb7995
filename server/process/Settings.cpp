#include "server/process/Settings.h"

#include "common/Text.h"
#include "platform/System.h"
#include "server/core/ProgramPaths.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

constexpr int64_t kMebibyte = 1048576;
constexpr int64_t kWindowCeiling = int64_t{1} << 31;  // the window is a 32-bit byte count

struct SettingsReader {
  const ProfileFile& file;
  std::string Text(const SettingKey& k) const { return file.Read(k.section, k.key, k.serverDefault); }
  std::string Text(SettingId id) const { return Text(kSettingKeys[id]); }
  int32_t Integer(const SettingKey& k) const { return ReadInteger(Text(k)); }
  int32_t Integer(SettingId id) const { return ReadInteger(Text(id)); }
  bool Boolean(SettingId id) const { return ReadBoolean(Text(id)); }
};

std::string SettingsPath() { return ProgramPath({kSettingsFile}); }

// Reads the keys in the order the file is specified to be read; hook runs
// right after WriteAccessLog, where the logs are opened.
template <typename Hook>
ServerSettings ReadInOrder(const ProfileFile& file, uint32_t granularity, Hook afterAccessLogSwitch) {
  SettingsReader r{file};
  ServerSettings s;
  s.Port = r.Integer(kSettingPort);
  s.WorkerThreads = r.Integer(kSettingWorkerThreads);
  s.Connections = r.Integer(kSettingConnections);
  s.MaxConn = r.Integer(kSettingMaxConn);
  s.KeepAlive = r.Integer(kSettingKeepAlive);
  s.WriteAccessLog = r.Boolean(kSettingWriteAccessLog);
  afterAccessLogSwitch(s);
  s.EnableGZIP = r.Boolean(kSettingEnableGZIP);
  s.GZIPCompressLevel = r.Integer(kSettingGZIPCompressLevel);
  s.GatewayTimeout = r.Integer(kSettingGatewayTimeout);
  s.Debug = r.Boolean(kSettingDebug);
  s.Buffer = r.Integer(kSettingBuffer);
  s.ServerAdmin = r.Text(kSettingServerAdmin);
  s.FileMapping = FileMappingWindow(r.Integer(kSettingFileMapping), granularity);
  s.DirectoryListing = r.Boolean(kSettingDirectoryListing);
  s.HeadTimeout = r.Integer(kHeadTimeoutKey);
  s.BodyTimeout = r.Integer(kBodyTimeoutKey);
  const int64_t maxBodyMiB = r.Integer(kSettingMaxBodySize);
  s.MaxBodySize = maxBodyMiB > 0 ? maxBodyMiB * kMebibyte : 0;
  return s;
}

}  // namespace

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
      OpenAccessLog(ProgramPath({"WebLogs", AccessLogFileName(platform::LocalTimeNow())}));
    }
    OpenErrorLog(ProgramPath({"error.log"}));
  });
}

}  // namespace zevra
