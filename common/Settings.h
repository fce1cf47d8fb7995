// The server's settings file: its keys with their defaults, and the record
// the server holds them in. Shared with the console, which writes the file.
#pragma once

#include <cstdint>
#include <string>

namespace zevra {

// Relative to the program directory.
inline constexpr const char* kSettingsFile = "Config/Zevra.ini";

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
};

}  // namespace zevra
