#include "SocketTestSupport.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sockettest {
namespace {

std::atomic<TestServer*> g_server{nullptr};

// The client's few socket calls that differ between Winsock and POSIX.
// (A Winsock SOCKET fits the int the client keeps: its values are small.)
#if defined(_WIN32)
struct WinsockSession {
  WinsockSession() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~WinsockSession() { ::WSACleanup(); }
} g_winsock;

int OpenStreamSocket() {
  const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
void CloseSocket(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
int WaitReadable(int fd, int timeoutMs) {
  WSAPOLLFD entry{static_cast<SOCKET>(fd), POLLRDNORM, 0};
  return ::WSAPoll(&entry, 1, timeoutMs);
}
bool Interrupted() { return false; }
bool WasReset() { return ::WSAGetLastError() == WSAECONNRESET; }
constexpr int kShutWrite = SD_SEND;
constexpr int kSendFlags = 0;
#else
int OpenStreamSocket() { return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }
void CloseSocket(int fd) { ::close(fd); }
int WaitReadable(int fd, int timeoutMs) {
  pollfd entry{fd, POLLIN, 0};
  return ::poll(&entry, 1, timeoutMs);
}
bool Interrupted() { return errno == EINTR; }
bool WasReset() { return errno == ECONNRESET; }
constexpr int kShutWrite = SHUT_WR;
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

// ---- Client ------------------------------------------------------------------

Client::Client(uint16_t port) {
  fd_ = OpenStreamSocket();
  if (fd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    CloseSocket(fd_);
    fd_ = -1;
    return;
  }
  const int on = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) CloseSocket(fd_);
  fd_ = -1;
}

void Client::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, kShutWrite);
}

uint16_t Client::LocalPort() const {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.sin_port);
}

bool Client::SendAll(std::string_view bytes) {
  while (!bytes.empty() && fd_ >= 0) {
    const ssize_t sent = ::send(fd_, bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 1 << 30)),
                                kSendFlags);
    if (sent < 0) {
      if (Interrupted()) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return bytes.empty();
}

std::string Client::ReadExactly(size_t length, int timeoutMs) {
  std::string out;
  out.reserve(length);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  while (out.size() < length && fd_ >= 0) {
    if (WaitReadable(fd_, RemainingMs(deadline)) <= 0) break;
    const ssize_t got = ::recv(fd_, buffer, static_cast<int>(std::min(sizeof buffer, length - out.size())), 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

std::string Client::ReadAvailable(size_t limit, int timeoutMs) {
  std::string out;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  while (out.size() < limit && fd_ >= 0) {
    if (WaitReadable(fd_, RemainingMs(deadline)) <= 0) break;
    const ssize_t got = ::recv(fd_, buffer, static_cast<int>(std::min(sizeof buffer, limit - out.size())), 0);
    if (got <= 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  return out;
}

bool Client::WaitClosed(int timeoutMs, std::string* drained) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  char buffer[65536];
  while (fd_ >= 0) {
    if (WaitReadable(fd_, RemainingMs(deadline)) <= 0) return false;
    const ssize_t got = ::recv(fd_, buffer, static_cast<int>(sizeof buffer), 0);
    if (got == 0) return true;
    if (got < 0) return WasReset();
    if (drained != nullptr) drained->append(buffer, static_cast<size_t>(got));
  }
  return false;
}

#if !defined(_WIN32)
bool RaiseDescriptorLimit(uint64_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) {
    rlimit raised{wanted, wanted};
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
    return false;
  }
  limit.rlim_cur = wanted;
  return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

uint64_t ResidentBytes() {
  FILE* file = std::fopen("/proc/self/statm", "r");
  if (file == nullptr) return 0;
  unsigned long long size = 0, resident = 0;
  const int fields = std::fscanf(file, "%llu %llu", &size, &resident);
  std::fclose(file);
  if (fields != 2) return 0;
  return resident * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
}
#endif

// ---- TestServer ----------------------------------------------------------------

TestServer::TestServer(uint32_t workerThreads, ReceiveHook onReceive) : onReceive_(std::move(onReceive)) {
  g_server.store(this);
  listener_ = Create_HP_TcpServerListener();
  server_ = Create_HP_TcpServer(listener_);
  if (listener_ == nullptr || server_ == nullptr) return;
  HP_Set_FN_Server_OnAccept(listener_, &TestServer::OnAccept);
  HP_Set_FN_Server_OnReceive(listener_, &TestServer::OnReceive);
  HP_Set_FN_Server_OnSend(listener_, &TestServer::OnSend);
  HP_Set_FN_Server_OnClose(listener_, &TestServer::OnClose);
  HP_Set_FN_Server_OnShutdown(listener_, &TestServer::OnShutdown);
  HP_Server_SetWorkerThreadCount(server_, workerThreads);
  HP_TcpServer_SetAcceptSocketCount(server_, 1024);
  if (!HP_Server_Start(server_, "127.0.0.1", 0)) return;
  char address[16];
  int length = sizeof address;
  started_ = HP_Server_GetListenAddress(server_, address, &length, &port_) != 0 && port_ != 0;
}

TestServer::~TestServer() {
  if (server_ != nullptr) Destroy_HP_TcpServer(server_);
  if (listener_ != nullptr) Destroy_HP_TcpServerListener(listener_);
  g_server.store(nullptr);
}

En_HP_HandleResult TestServer::Echo(HP_CONNID id, const uint8_t* data, int length) {
  return HP_Server_Send(server_, id, data, length) ? HR_OK : HR_ERROR;
}

void TestServer::Enter(HP_CONNID id) {
  {
    std::lock_guard lock(mutex_);
    if (inside_[id]++ > 0) overlaps_.fetch_add(1);
  }
  const int now = concurrent_.fetch_add(1) + 1;
  int seen = maxConcurrent_.load();
  while (now > seen && !maxConcurrent_.compare_exchange_weak(seen, now)) {
  }
}

void TestServer::Leave(HP_CONNID id) {
  concurrent_.fetch_sub(1);
  std::lock_guard lock(mutex_);
  --inside_[id];
}

void TestServer::Record(HP_CONNID id, char kind, const uint8_t* data, int length, En_HP_SocketOperation operation,
                        HP_SOCKET socket) {
  std::lock_guard lock(mutex_);
  ConnectionRecord& record = records_[id];
  if (record.events.find('C') != std::string::npos) record.eventAfterClose = true;
  record.events.push_back(kind);
  if (kind == 'R' && keepReceived_) record.received.append(reinterpret_cast<const char*>(data), length);
  if (kind == 'A') {
    accepted_.push_back(id);
    record.socket = socket;
  }
  if (kind == 'C') {
    record.closeOperation = operation;
    ++closed_;
  }
}

En_HP_HandleResult TestServer::OnAccept(HP_CONNID id, HP_SOCKET socket) {
  TestServer* self = g_server.load();
  self->Enter(id);
  self->Record(id, 'A', nullptr, 0, SO_UNKNOWN, socket);
  self->Leave(id);
  return HR_OK;
}

En_HP_HandleResult TestServer::OnReceive(HP_CONNID id, const uint8_t* data, int length) {
  TestServer* self = g_server.load();
  self->Enter(id);
  self->Record(id, 'R', data, length, SO_UNKNOWN);
  const En_HP_HandleResult result = self->onReceive_ ? self->onReceive_(id, data, length) : self->Echo(id, data, length);
  self->Leave(id);
  return result;
}

En_HP_HandleResult TestServer::OnSend(HP_CONNID, const uint8_t*, int) { return HR_OK; }

En_HP_HandleResult TestServer::OnClose(HP_CONNID id, En_HP_SocketOperation operation, int) {
  TestServer* self = g_server.load();
  self->Enter(id);
  self->Record(id, 'C', nullptr, 0, operation);
  self->Leave(id);
  return HR_OK;
}

En_HP_HandleResult TestServer::OnShutdown() {
  TestServer* self = g_server.load();
  if (self != nullptr) self->shutdowns_.fetch_add(1);
  return HR_OK;
}

std::map<HP_CONNID, ConnectionRecord> TestServer::Records() {
  std::lock_guard lock(mutex_);
  return records_;
}

std::vector<HP_CONNID> TestServer::AcceptedIds() {
  std::lock_guard lock(mutex_);
  return accepted_;
}

size_t TestServer::ClosedCount() {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool TestServer::WaitForAccepted(size_t count, int timeoutMs) {
  return WaitUntil([&] { return AcceptedIds().size() >= count; }, timeoutMs);
}

bool TestServer::WaitForClosed(size_t count, int timeoutMs) {
  return WaitUntil([&] { return ClosedCount() >= count; }, timeoutMs);
}

void ExpectWholeAnswerBeforeClose(TestServer& server, const std::string& request, const std::string& expected) {
  Client client(server.Port());
  ASSERT_TRUE(client.SendAll(request));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // let the queue fill
  std::string received;
  EXPECT_TRUE(client.WaitClosed(20000, &received));
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  ASSERT_TRUE(server.WaitForClosed(1, 5000));
  EXPECT_EQ(server.Records().begin()->second.events, "ARC");
}

}  // namespace sockettest
