#include "socket/Server.h"

#include <algorithm>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/Descriptor.h"
#include "platform/Error.h"
#include "platform/System.h"
#include "socket/Connection.h"

namespace zevra::socket {
namespace {

using platform::ErrorCodeOf;
using platform::ErrorName;

// Dotted text of an address into `out` (room for `capacity` bytes with the
// terminator); the length, or -1 when it does not fit. IPv4 is formatted by
// hand: the access log asks for it on every request.
int FormatAddress(const asio::ip::address& address, char* out, size_t capacity) {
  asio::ip::address_v4 v4;
  bool isV4 = address.is_v4();
  if (isV4) {
    v4 = address.to_v4();
  } else if (address.to_v6().is_v4_mapped()) {
    v4 = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    isV4 = true;
  }
  char text[64];
  size_t length = 0;
  if (isV4) {
    const auto bytes = v4.to_bytes();
    for (size_t i = 0; i < 4; ++i) {
      if (i > 0) text[length++] = '.';
      unsigned value = bytes[i];
      if (value >= 100) text[length++] = static_cast<char>('0' + value / 100);
      if (value >= 10) text[length++] = static_cast<char>('0' + value / 10 % 10);
      text[length++] = static_cast<char>('0' + value % 10);
    }
  } else {
    const std::string v6 = address.to_v6().to_string();
    length = std::min(v6.size(), sizeof text - 1);
    std::memcpy(text, v6.data(), length);
  }
  if (length + 1 > capacity) return -1;
  std::memcpy(out, text, length);
  out[length] = '\0';
  return static_cast<int>(length);
}

// Copies a formatted address into the caller's buffer with the in/out length
// convention: in, the buffer's size; out, the text's length (or, when the
// buffer is too small, the size it needs).
bool CopyAddress(const asio::ip::address& address, char* text, int* length) {
  if (text == nullptr || length == nullptr || *length <= 0) {
    if (length != nullptr) *length = 0;
    return false;
  }
  char buffer[64];
  const int written = FormatAddress(address, buffer, sizeof buffer);
  if (written < 0 || written + 1 > *length) {
    *length = written < 0 ? 0 : written + 1;
    return false;
  }
  std::memcpy(text, buffer, static_cast<size_t>(written) + 1);
  *length = written;
  return true;
}

}  // namespace

// ---- Start and stop -------------------------------------------------------

Server::~Server() { Stop(); }

void Server::SetError(int code) { SetErrorText(platform::SystemErrorText(code)); }

void Server::SetError(const asio::error_code& error) {
  if (error.category() == asio::system_category()) {
    SetError(error.value());
  } else {
    SetErrorText(error.message());
  }
}

void Server::SetErrorText(std::string text) {
  std::lock_guard lock(errorMutex_);
  lastError_ = std::move(text);
}

const char* Server::LastErrorDesc() {
  std::lock_guard lock(errorMutex_);
  return lastError_.c_str();
}

bool Server::Start(const char* address, uint16_t port) {
  std::lock_guard control(controlMutex_);
  if (running_) {
    SetError(ErrorCodeOf(ErrorName::kAlreadyInProgress));
    return false;
  }
  asio::error_code error;
  const asio::ip::address bindAddress =
      asio::ip::make_address(address != nullptr && *address != '\0' ? address : "0.0.0.0", error);
  if (error) {
    SetError(ErrorCodeOf(ErrorName::kInvalidArgument));
    return false;
  }
  // The default follows the usual rule for an I/O completion port: twice
  // the processors, plus two.
  uint32_t slots = workerThreads_;
  if (slots == 0) slots = std::max(1u, std::thread::hardware_concurrency()) * 2 + 2;
  slots = std::min<uint32_t>(slots, 1000);
  // One loop per processor the process may run on, never more than the
  // slots. More loops than processors only take turns on them: every
  // readiness then costs a switch between loop threads and each epoll wait
  // finds a single event, where one loop would have found them all at
  // once. A callback that blocks gets a helper thread (see LoopPool), so
  // WorkerThreads callbacks may still run at once.
  const uint32_t loopCount = std::min<uint32_t>(slots, std::max(1u, platform::UsableProcessorCount()));
  pool_.Create(slots, loopCount);
  // Room for connections: the configured count, and never so many that
  // the process runs out of descriptors for anything else.
  // Only a program that says how far its requests are (and so sets a
  // count) has connections to shed.
  roomLimit_ = maxConnections_;
  if (const uint64_t descriptors = platform::DescriptorLimit(); roomLimit_ > 0 && descriptors > 0) {
    const uint64_t byDescriptors = descriptors - std::min(descriptors / 4, kDescriptorReserve);
    if (roomLimit_ == 0 || byDescriptors < roomLimit_) roomLimit_ = byDescriptors;
  }

  const int backlog = static_cast<int>(std::clamp<uint32_t>(
      acceptSockets_, static_cast<uint32_t>(asio::socket_base::max_listen_connections), 65535u));
  if (!acceptor_.Open(asio::ip::tcp::endpoint(bindAddress, port), backlog, error)) {
    SetError(error);
    acceptor_.Release();
    pool_.Release();
    return false;
  }
  stopping_.store(false);
  acceptor_.Start();
  {
    std::lock_guard lock(sweepMutex_);
    sweepTimer_ = std::make_unique<asio::steady_timer>(pool_.First());
    ArmSweepLocked();
  }
  if (!pool_.StartThreads()) {
    // Not every thread could be created: undo the start.
    SetError(ErrorCodeOf(ErrorName::kTryAgain));
    stopping_.store(true);
    acceptor_.Close();
    {
      std::lock_guard lock(sweepMutex_);
      sweepTimer_->cancel();
      sweepTimer_.reset();
    }
    acceptor_.Release();
    pool_.Release();
    return false;
  }
  running_ = true;
  return true;
}

bool Server::Stop() {
  if (pool_.OnOwnThread()) {
    // Stopping joins this server's threads; one of them cannot wait for
    // itself.
    SetError(ErrorCodeOf(ErrorName::kWouldDeadlock));
    return false;
  }
  std::lock_guard control(controlMutex_);
  if (!running_) {
    SetError(ErrorCodeOf(ErrorName::kNotConnected));
    return false;
  }
  stopping_.store(true);
  acceptor_.Close();
  {
    std::lock_guard lock(sweepMutex_);
    sweepTimer_->cancel();
  }
  CloseAll();
  // Every connection now ends as soon as its running callback returns.
  table_.WaitEmpty();
  pool_.StopThreads();
  // The loops flushed what they deferred before they ended; this is for
  // bytes deferred by a callback that ran after its loop's last flush.
  pool_.FlushDeferredWrites();
  {
    std::lock_guard lock(sweepMutex_);
    sweepTimer_.reset();
  }
  acceptor_.Release();
  pool_.Release();
  running_ = false;
  if (listener_.onShutdown != nullptr) listener_.onShutdown();
  return true;
}

void Server::CloseAll() {
  for (auto& connection : table_.Select([](const Connection&) { return true; })) {
    connection->RequestClose(SO_CLOSE, 0, true);
  }
}

// ---- The sweep ----------------------------------------------------------------

void Server::ArmSweepLocked() {
  sweepTimer_->expires_after(std::chrono::milliseconds(kSweepMilliseconds));
  sweepTimer_->async_wait([this](const asio::error_code& error) { OnSweep(error); });
}

void Server::OnSweep(const asio::error_code& error) {
  if (error || stopping_.load()) return;
  const uint64_t now = platform::MonotonicMilliseconds();
  const auto quietSince = [now](const Connection& connection, uint64_t limit) {
    const uint64_t last = connection.lastActivity.load(std::memory_order_relaxed);
    return now - std::min(now, last) >= limit;
  };
  // Flushing after a disconnect, or paused for a full queue: either way the
  // peer has not read for too long.
  const auto stalled = table_.Select([&](const Connection& connection) {
    const ConnectionState state = connection.state.load();
    return (state == ConnectionState::kFlushing && quietSince(connection, kLingerMilliseconds)) ||
           (state == ConnectionState::kPaused && quietSince(connection, kStalledSendMilliseconds));
  });
  for (auto& connection : stalled) {
    const ConnectionState state = connection->state.load();
    const uint64_t limit = state == ConnectionState::kFlushing ? kLingerMilliseconds : kStalledSendMilliseconds;
    connection->CloseIfStill(state, now - std::min(now, limit));
  }
  // A request whose head takes too long from its first byte, or whose body
  // stalls too long, ties up a connection for nothing: slow senders are
  // how one client locks the others out.
  const uint64_t headTimeout = headTimeout_;
  const uint64_t bodyTimeout = bodyTimeout_;
  if (headTimeout > 0 || bodyTimeout > 0) {
    const auto overdue = table_.Select([&](const Connection& connection) {
      if (connection.Closing()) return false;
      const uint8_t phase = connection.phase.load();
      const uint64_t since = connection.phaseSince.load(std::memory_order_relaxed);
      return (phase == RP_HEAD && headTimeout > 0 && now - std::min(now, since) >= headTimeout) ||
             (phase == RP_BODY && bodyTimeout > 0 && quietSince(connection, bodyTimeout));
    });
    for (auto& connection : overdue) {
      if (connection->phase.load() == RP_HEAD) {
        connection->CloseIfPhaseStill(RP_HEAD, connection->phaseSince, now - std::min(now, headTimeout));
      } else {
        connection->CloseIfPhaseStill(RP_BODY, connection->lastActivity, now - std::min(now, bodyTimeout));
      }
    }
  }
  std::lock_guard lock(sweepMutex_);
  if (sweepTimer_ && !stopping_.load()) ArmSweepLocked();
}

// ---- What the C interface forwards -------------------------------------------

Connection* Server::Find(HP_CONNID id, ConnectionPtr& holder) {
  Connection* current = tl_thread.current;
  if (current != nullptr && current->id == id && &current->server == this) return current;
  holder = table_.Find(id);
  return holder.get();
}

bool Server::Send(HP_CONNID id, const uint8_t* data, int length) {
  if (length < 0 || (length > 0 && data == nullptr)) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr || !connection->Send(data, static_cast<size_t>(length))) return false;
  // OnSend reports bytes taken over by the library. It runs on the sending
  // thread, so inside the callback that sent them when one did.
  if (listener_.onSend != nullptr && length > 0) listener_.onSend(id, data, length);
  return true;
}

bool Server::SendFile(HP_CONNID id, intptr_t file, int64_t offset, int64_t length, const uint8_t* head,
                      int headLength) {
  if (offset < 0 || length < 0 || headLength < 0 || (headLength > 0 && head == nullptr)) return false;
  // Nothing of the file to follow: a head held back for more would wait.
  if (length == 0 && headLength > 0) return Send(id, head, headLength);
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  // The caller's handle serves the direct write only.
  if (!connection->SendFile(platform::NativeFileFromInteger(file), offset, length, head,
                            static_cast<size_t>(headLength))) {
    return false;
  }
  if (listener_.onSend != nullptr && headLength > 0) listener_.onSend(id, head, headLength);
  return true;
}

bool Server::PendingLength(HP_CONNID id, int* pending) {
  if (pending == nullptr) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  size_t bytes = 0;
  if (connection == nullptr || !connection->PendingBytes(bytes)) return false;
  *pending = static_cast<int>(std::min<size_t>(bytes, INT32_MAX));
  return true;
}

bool Server::SetExtra(HP_CONNID id, void* extra) {
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  connection->extra.store(extra);
  return true;
}

bool Server::GetExtra(HP_CONNID id, void** extra) {
  if (extra == nullptr) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) {
    *extra = nullptr;
    return false;
  }
  *extra = connection->extra.load();
  return true;
}

bool Server::Disconnect(HP_CONNID id) {
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  connection->RequestClose(SO_CLOSE, 0, false);
  return true;
}

bool Server::DisconnectSilent(uint32_t milliseconds) {
  const uint64_t now = platform::MonotonicMilliseconds();
  const auto silent = table_.Select([&](const Connection& connection) {
    const uint64_t last = connection.lastActivity.load(std::memory_order_relaxed);
    return now - std::min(now, last) >= milliseconds;
  });
  // A connection silent this long is not reading either: what it has queued
  // would never leave, so it is dropped.
  for (auto& connection : silent) connection->RequestClose(SO_CLOSE, 0, true);
  return true;
}

bool Server::SetRequestPhase(HP_CONNID id, En_HP_RequestPhase phase) {
  if (phase < RP_IDLE || phase > RP_ANSWERING) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  connection->SetPhase(phase);
  return true;
}

bool Server::HoldReceive(HP_CONNID id) {
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  return connection != nullptr && connection->Hold();
}

bool Server::DeferFileWrite(intptr_t file, const uint8_t* data, size_t length) {
  if (!pool_.OnOwnThread() || tl_thread.current == nullptr) return false;
  return pool_.DeferFileWrite(platform::NativeFileFromInteger(file), data, length);
}

size_t Server::Shed(size_t count, HP_CONNID spared) {
  // The oldest few by the time their last request was complete; a
  // connection being answered is never among them.
  // Ties (a burst accepted within one millisecond) go by accept order.
  using Age = std::pair<uint64_t, HP_CONNID>;
  using Candidate = std::pair<Age, ConnectionPtr>;
  std::vector<Candidate> oldest;  // a heap: the youngest of them in front
  const auto younger = [](const Candidate& a, const Candidate& b) { return a.first < b.first; };
  table_.ForEach([&](const ConnectionPtr& connection) {
    if (connection->id == spared || connection->Closing() || connection->phase.load() == RP_ANSWERING) return;
    const Age age(connection->lastCompleted.load(std::memory_order_relaxed), connection->id);
    if (oldest.size() < count) {
      oldest.emplace_back(age, connection);
      std::push_heap(oldest.begin(), oldest.end(), younger);
    } else if (!oldest.empty() && age < oldest.front().first) {
      std::pop_heap(oldest.begin(), oldest.end(), younger);
      oldest.back() = Candidate(age, connection);
      std::push_heap(oldest.begin(), oldest.end(), younger);
    }
  });
  for (auto& candidate : oldest) candidate.second->RequestClose(SO_CLOSE, 0, true);
  return oldest.size();
}

bool Server::RemoteAddress(HP_CONNID id, char* text, int* length, uint16_t* port) {
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) {
    if (length != nullptr) *length = 0;
    return false;
  }
  if (port != nullptr) *port = connection->peer.port();
  return CopyAddress(connection->peer.address(), text, length);
}

bool Server::ListenAddress(char* text, int* length, uint16_t* port) {
  asio::ip::tcp::endpoint local;
  if (!acceptor_.LocalEndpoint(local)) {
    if (length != nullptr) *length = 0;
    return false;
  }
  if (port != nullptr) *port = local.port();
  return CopyAddress(local.address(), text, length);
}

}  // namespace zevra::socket
