// Test harness for the socket library: a loopback client on plain sockets
// (POSIX or Winsock), and a small server on the library's C interface whose
// callbacks record every event per connection. The C callbacks carry no
// sender, so they reach the one server of the test through a process-wide
// pointer.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "socket/HPSocket.h"

namespace sockettest {

using Clock = std::chrono::steady_clock;

// Polls `condition` every few milliseconds until it holds or the time is up.
bool WaitUntil(const std::function<bool()>& condition, int timeoutMs);

// A blocking TCP client of 127.0.0.1 with bounded waits.
class Client {
 public:
  explicit Client(uint16_t port);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Connected() const { return fd_ >= 0; }
  bool SendAll(std::string_view bytes);
  // Up to `length` bytes, waiting at most `timeoutMs` in all; fewer when the
  // peer closed or the time ran out.
  std::string ReadExactly(size_t length, int timeoutMs);
  // Whatever arrives within `timeoutMs` (at most `limit` bytes).
  std::string ReadAvailable(size_t limit, int timeoutMs);
  // True when the peer closed (EOF or reset) within `timeoutMs`; bytes that
  // arrive first are collected into `drained`.
  bool WaitClosed(int timeoutMs, std::string* drained = nullptr);
  void ShutdownWrite();
  void Close();
  uint16_t LocalPort() const;

 private:
  int fd_ = -1;
};

#if !defined(_WIN32)
// Raises the soft (and, if allowed, the hard) descriptor limit to at least
// `wanted`; false when the process may not have that many.
bool RaiseDescriptorLimit(uint64_t wanted);
// Resident memory of this process in bytes.
uint64_t ResidentBytes();
#endif

// What the callbacks saw of one connection, in order: 'A' accept, 'R'
// receive, 'C' close.
struct ConnectionRecord {
  std::string events;
  std::string received;
  bool eventAfterClose = false;
  En_HP_SocketOperation closeOperation = SO_UNKNOWN;
  HP_SOCKET socket = 0;  // as OnAccept gave it
};

class TestServer {
 public:
  using ReceiveHook = std::function<En_HP_HandleResult(HP_CONNID, const uint8_t*, int)>;

  // Starts on 127.0.0.1 and a free port with `workerThreads` callback slots.
  explicit TestServer(uint32_t workerThreads, ReceiveHook onReceive = {});
  ~TestServer();
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  bool Started() const { return started_; }
  HP_TcpServer Handle() const { return server_; }
  uint16_t Port() const { return port_; }

  // Echoes the bytes back through HP_Server_Send.
  En_HP_HandleResult Echo(HP_CONNID id, const uint8_t* data, int length);

  std::map<HP_CONNID, ConnectionRecord> Records();
  std::vector<HP_CONNID> AcceptedIds();
  size_t ClosedCount();
  int Overlaps() const { return overlaps_.load(); }
  int MaxConcurrent() const { return maxConcurrent_.load(); }
  int Shutdowns() const { return shutdowns_.load(); }
  bool WaitForAccepted(size_t count, int timeoutMs);
  bool WaitForClosed(size_t count, int timeoutMs);

  // Whether OnReceive keeps a copy of the bytes (off for bulk tests).
  void KeepReceived(bool keep) { keepReceived_ = keep; }

 private:
  static En_HP_HandleResult HP_CALL OnAccept(HP_CONNID id, HP_SOCKET socket);
  static En_HP_HandleResult HP_CALL OnReceive(HP_CONNID id, const uint8_t* data, int length);
  static En_HP_HandleResult HP_CALL OnSend(HP_CONNID id, const uint8_t* data, int length);
  static En_HP_HandleResult HP_CALL OnClose(HP_CONNID id, En_HP_SocketOperation operation, int error);
  static En_HP_HandleResult HP_CALL OnShutdown();

  void Enter(HP_CONNID id);
  void Leave(HP_CONNID id);
  void Record(HP_CONNID id, char kind, const uint8_t* data, int length, En_HP_SocketOperation operation,
              HP_SOCKET socket = 0);

  HP_TcpServerListener listener_ = nullptr;
  HP_TcpServer server_ = nullptr;
  uint16_t port_ = 0;
  bool started_ = false;
  ReceiveHook onReceive_;
  std::atomic<bool> keepReceived_{true};

  std::mutex mutex_;
  std::map<HP_CONNID, ConnectionRecord> records_;
  std::map<HP_CONNID, int> inside_;
  std::vector<HP_CONNID> accepted_;
  size_t closed_ = 0;
  std::atomic<int> overlaps_{0};
  std::atomic<int> concurrent_{0};
  std::atomic<int> maxConcurrent_{0};
  std::atomic<int> shutdowns_{0};
};

// Connects, sends `request` and expects exactly `expected` before the
// server closes the connection, with OnClose only after the last queued
// byte left ("ARC"): for handlers that disconnect right after queuing a
// large answer.
void ExpectWholeAnswerBeforeClose(TestServer& server, const std::string& request, const std::string& expected);

}  // namespace sockettest
