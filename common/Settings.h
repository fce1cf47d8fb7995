// The server's settings file: its keys with the server's defaults, and the
// record the server holds them in. Shared with the console, which writes the
// file, so that both programs name the same keys in the same sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/Text.h"

#include "platform/Native.h"

namespace zevra {

// Relative to the program directory: Config\Zevra.ini on Windows.
inline constexpr char kSettingsFile[] = {'C', 'o', 'n', 'f', 'i', 'g', platform::kPathSeparator,
                                         'Z', 'e', 'v', 'r', 'a', '.', 'i', 'n', 'i', '\0'};

enum class SettingKind { kInteger, kBoolean, kText };

struct SettingKey {
  const char* section;
  const char* key;
  const char* serverDefault;  // what the server uses when the key is missing
  SettingKind kind;
};

// The keys in the order the server reads them (the access log is opened
// right after WriteAccessLog, so the order is observable).
enum SettingId : size_t {
  kSettingPort,
  kSettingWorkerThreads,
  kSettingConnections,
  kSettingMaxConn,
  kSettingKeepAlive,
  kSettingWriteAccessLog,
  kSettingEnableGZIP,
  kSettingGZIPCompressLevel,
  kSettingGatewayTimeout,
  kSettingDebug,
  kSettingBuffer,
  kSettingServerAdmin,
  kSettingFileMapping,
  kSettingDirectoryListing,
  kSettingMaxBodySize,
  kSettingCount,
};

inline constexpr SettingKey kSettingKeys[kSettingCount] = {
    {"Listen", "Port", "80", SettingKind::kInteger},
    {"Performance", "WorkerThreads", "8", SettingKind::kInteger},
    {"Performance", "Connections", "1024", SettingKind::kInteger},
    {"Performance", "MaxConn", "10240", SettingKind::kInteger},
    {"Performance", "KeepAlive", "0", SettingKind::kInteger},  // milliseconds; 0 = sweeper off
    {"Settings", "WriteAccessLog", "True", SettingKind::kBoolean},
    {"Settings", "EnableGZIP", "True", SettingKind::kBoolean},
    {"Settings", "GZIPCompressLevel", "3", SettingKind::kInteger},
    {"Settings", "GatewayTimeout", "30000", SettingKind::kInteger},  // milliseconds
    {"Settings", "Debug", "True", SettingKind::kBoolean},
    {"Performance", "Buffer", "40960", SettingKind::kInteger},  // bytes per send
    {"Settings", "ServerAdmin", "webmaster", SettingKind::kText},
    {"Performance", "FileMapping", "16", SettingKind::kInteger},  // MiB
    {"Settings", "DirectoryListing", "True", SettingKind::kBoolean},
    // MiB: a request declaring a longer body is refused with 413 before any
    // of it is read; room for any upload a personal site's CGI program
    // takes, far below what would fill a disk by accident.
    {"Performance", "MaxBodySize", "1024", SettingKind::kInteger},
};

// The server's own keys beyond the table, which the console leaves alone:
// milliseconds a request head may take from its first byte, and that a
// request body may go without a byte (0 = no limit).
inline constexpr SettingKey kHeadTimeoutKey = {"Performance", "HeadTimeout", "20000", SettingKind::kInteger};
inline constexpr SettingKey kBodyTimeoutKey = {"Performance", "BodyTimeout", "20000", SettingKind::kInteger};

// The booleans as they are written.
inline constexpr const char* kSettingTrue = "True";
inline constexpr const char* kSettingFalse = "False";

// A text switches a setting on only when it reads TRUE in any letter case.
inline bool ReadBoolean(std::string_view text) { return EqualsIgnoreCase(text, "TRUE"); }

// The server's record; its initial values are the defaults of the table
// above (FileMapping as its derived window of 16 MiB).
struct ServerSettings {
  int32_t Port = 80;
  int32_t WorkerThreads = 8;
  int32_t Connections = 1024;
  int32_t MaxConn = 10240;
  int32_t KeepAlive = 0;          // milliseconds of silence; 0 = sweeper off
  bool WriteAccessLog = true;
  bool EnableGZIP = true;
  int32_t GZIPCompressLevel = 3;
  int32_t GatewayTimeout = 30000;  // milliseconds
  bool Debug = true;
  int32_t Buffer = 40960;          // bytes per send of file and CGI data
  std::string ServerAdmin = "webmaster";
  int32_t FileMapping = 16 * 1048576;  // the derived window in bytes, not MiB
  bool DirectoryListing = true;
  // Milliseconds a request head may take from its first byte, and that a
  // request body may stall; 0 = no limit. Slow senders hold connections.
  int32_t HeadTimeout = 20000;
  int32_t BodyTimeout = 20000;
  // MaxBodySize held in bytes; 0 or less in the file reads as 0 (no body
  // accepted).
  int64_t MaxBodySize = int64_t{1024} * 1048576;
};

}  // namespace zevra
