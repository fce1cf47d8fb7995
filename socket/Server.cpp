#include "socket/Server.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/Clock.h"
#include "platform/Descriptor.h"
#include "platform/Error.h"
#include "platform/System.h"

namespace zevra::socket {
namespace {

// The thread's read buffer (set by RunThread, which owns it), the server
// whose thread this is, and the connection whose callback runs on it: Send
// and the extra-pointer calls made from inside a callback find their
// connection without a map lookup.
thread_local uint8_t* tl_readBuffer = nullptr;
thread_local Server* tl_server = nullptr;
thread_local Loop* tl_loop = nullptr;
thread_local Connection* tl_current = nullptr;

uint64_t NowMilliseconds() { return platform::MonotonicMilliseconds(); }

void Touch(Connection& connection) {
  connection.lastActivity.store(NowMilliseconds(), std::memory_order_relaxed);
}

bool WouldBlock(const asio::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

// Failures of accept that mean "the process is short of something", after
// which accepting again at once would only spin.
bool IsResourceShortage(const asio::error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory || error.value() == platform::ErrorCodeOf(platform::ErrorName::kTooManyOpenFiles);
}

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

// ---- SendQueue ----------------------------------------------------------

void SendQueue::Append(const uint8_t* data, size_t length) {
  if (!later_.empty()) {
    // Behind a file region: these bytes wait for it.
    if (later_.back().region.file.IsOpen()) later_.emplace_back();
    later_.back().bytes.insert(later_.back().bytes.end(), data, data + length);
    laterBytes_ += length;
    laterMemory_ += length;
    return;
  }
  // Reclaim the written prefix before the buffer would grow, so a queue that
  // is drained as fast as it is filled stays the same size.
  if (head_ > 0 && bytes_.size() + length > bytes_.capacity()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
  }
  bytes_.insert(bytes_.end(), data, data + length);
}

void SendQueue::Consume(size_t length) {
  head_ += length;
  if (head_ >= bytes_.size()) {
    head_ = 0;
    if (bytes_.capacity() > kKeptCapacity) {
      std::vector<uint8_t>().swap(bytes_);
    } else {
      bytes_.clear();
    }
    Advance();
  }
}

void SendQueue::AppendFile(platform::File file, int64_t offset, int64_t length) {
  if (length <= 0) return;
  Later piece;
  piece.region.file = std::move(file);
  piece.region.offset = offset;
  piece.region.length = length;
  later_.push_back(std::move(piece));
  laterBytes_ += static_cast<size_t>(length);
}

SendQueue::FileRegion* SendQueue::FrontFile() {
  if (head_ < bytes_.size() || later_.empty()) return nullptr;
  return later_.front().region.file.IsOpen() ? &later_.front().region : nullptr;
}

void SendQueue::ConsumeFile(size_t length) {
  FileRegion* region = FrontFile();
  if (region == nullptr) return;
  const size_t taken = std::min<size_t>(length, static_cast<size_t>(region->length));
  region->offset += static_cast<int64_t>(taken);
  region->length -= static_cast<int64_t>(taken);
  laterBytes_ -= taken;
  if (region->length == 0) {
    later_.erase(later_.begin());
    Advance();
  }
}

void SendQueue::Advance() {
  // The front buffer is empty here; bytes queued behind a finished region
  // become the front.
  if (head_ < bytes_.size() || later_.empty() || later_.front().region.file.IsOpen()) return;
  bytes_.swap(later_.front().bytes);
  head_ = 0;
  laterBytes_ -= bytes_.size();
  laterMemory_ -= bytes_.size();
  later_.erase(later_.begin());
  if (later_.empty()) std::vector<Later>().swap(later_);
}

void SendQueue::Clear() {
  head_ = 0;
  if (bytes_.capacity() > kKeptCapacity) {
    std::vector<uint8_t>().swap(bytes_);
  } else {
    bytes_.clear();
  }
  std::vector<Later>().swap(later_);
  laterBytes_ = 0;
  laterMemory_ = 0;
}

void SendQueue::Release() {
  Clear();
  std::vector<uint8_t>().swap(bytes_);
}

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
    SetError(platform::ErrorCodeOf(platform::ErrorName::kAlreadyInProgress));
    return false;
  }
  asio::error_code error;
  const asio::ip::address bindAddress =
      asio::ip::make_address(address != nullptr && *address != '\0' ? address : "0.0.0.0", error);
  if (error) {
    SetError(platform::ErrorCodeOf(platform::ErrorName::kInvalidArgument));
    return false;
  }
  // The default follows the usual rule for an I/O completion port: twice
  // the processors, plus two.
  uint32_t slots = workerThreads_;
  if (slots == 0) slots = std::max(1u, std::thread::hardware_concurrency()) * 2 + 2;
  slots = std::min<uint32_t>(slots, 1000);
  slotLimit_ = static_cast<int>(slots);
  helperLimit_ = static_cast<int>(slots) + 2;

  // One loop per processor the process may run on, never more than the
  // slots. More loops than processors only take turns on them: every
  // readiness then costs a switch between loop threads and each epoll wait
  // finds a single event, where one loop would have found them all at
  // once. A callback that blocks gets a helper thread (see Monitor), so
  // WorkerThreads callbacks may still run at once.
  const uint32_t loopCount = std::min<uint32_t>(slots, std::max(1u, platform::UsableProcessorCount()));
  std::vector<std::unique_ptr<Loop>> loops;
  for (uint32_t i = 0; i < loopCount; ++i) {
    auto loop = std::make_unique<Loop>();
    // One thread per loop as a rule: Asio then never wakes a second thread
    // to take over the reactor while the first runs a handler.
    loop->io = std::make_unique<asio::io_context>(1);
    loops.push_back(std::move(loop));
  }
  asio::io_context& first = *loops.front()->io;
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(first);
  const asio::ip::tcp::endpoint endpoint(bindAddress, port);
  acceptor->open(endpoint.protocol(), error);
  if (!error) platform::SetHandleNotInherited(static_cast<intptr_t>(acceptor->native_handle()));
  // SO_REUSEADDR lets a restarted worker bind while old connections sit in
  // TIME_WAIT; a port that another socket listens on still fails.
  if (!error) acceptor->set_option(asio::socket_base::reuse_address(true), error);
  if (!error) acceptor->bind(endpoint, error);
  const int backlog = static_cast<int>(std::clamp<uint32_t>(
      acceptSockets_, static_cast<uint32_t>(asio::socket_base::max_listen_connections), 65535u));
  if (!error) acceptor->listen(backlog, error);
  if (!error) acceptor->non_blocking(true, error);
  if (error) {
    SetError(error);
    return false;
  }

  loops_ = std::move(loops);
  stopping_.store(false);
  monitorQuit_ = false;
  helpersQuit_ = false;
  for (auto& loop : loops_) loop->work.emplace(asio::make_work_guard(*loop->io));
  {
    std::lock_guard lock(acceptMutex_);
    acceptor_ = std::move(acceptor);
    acceptBackoff_ = std::make_unique<asio::steady_timer>(first);
    nextLoop_ = 0;
    ArmAcceptLocked();
  }
  {
    std::lock_guard lock(lingerMutex_);
    lingerTimer_ = std::make_unique<asio::steady_timer>(first);
    ArmLingerTimerLocked();
  }
  try {
    threads_.reserve(loops_.size());
    for (auto& loop : loops_) {
      Loop* const each = loop.get();
      each->runners.store(1);
      threads_.emplace_back([this, each] { RunLoop(*each); });
    }
    monitor_ = std::thread([this] { Monitor(); });
  } catch (...) {
    // Not every thread could be created: undo the start.
    SetError(platform::ErrorCodeOf(platform::ErrorName::kTryAgain));
    stopping_.store(true);
    {
      std::lock_guard lock(acceptMutex_);
      asio::error_code ignored;
      acceptor_->close(ignored);
      acceptBackoff_->cancel();
    }
    {
      std::lock_guard lock(lingerMutex_);
      lingerTimer_->cancel();
    }
    StopThreads();
    ReleaseLoops();
    return false;
  }
  running_ = true;
  return true;
}

void Server::RunLoop(Loop& loop) {
  std::vector<uint8_t> buffer(kReadBufferSize);
  tl_readBuffer = buffer.data();
  tl_server = this;
  tl_loop = &loop;
  // A handler that throws must not end the thread: the loop would lose its
  // only thread. run() may be entered again after a throw.
  for (;;) {
    try {
      loop.io->run();
      break;
    } catch (...) {
    }
  }
  tl_loop = nullptr;
  tl_readBuffer = nullptr;
  tl_server = nullptr;
}

void Server::Monitor() {
  std::unique_lock lock(monitorMutex_);
  while (!monitorQuit_) {
    monitorWake_.wait_for(lock, std::chrono::milliseconds(kMonitorTickMilliseconds));
    if (monitorQuit_) break;
    for (auto& loop : loops_) {
      // Stuck: every thread of the loop is inside a callback and none of
      // them finished one since the last tick.
      const uint64_t finished = loop->finished.load(std::memory_order_relaxed);
      const bool stuck = loop->runners.load() - loop->busy.load() <= 0 && finished == loop->seenFinished;
      loop->seenFinished = finished;
      if (!stuck) {
        loop->stalledTicks = 0;
      } else if (++loop->stalledTicks >= 2) {
        loop->stalledTicks = 0;
        LendHelper(*loop);
      }
    }
  }
}

void Server::LendHelper(Loop& loop) {
  std::lock_guard lock(helperMutex_);
  if (helpersQuit_) return;
  const bool idleOneFree = idleHelpers_ > static_cast<int>(helpWanted_.size());
  if (!idleOneFree && static_cast<int>(helpers_.size()) >= helperLimit_) return;
  // Counted at once, so that the next tick does not lend a second one.
  loop.runners.fetch_add(1);
  helpWanted_.push_back(&loop);
  if (idleOneFree) {
    helperWake_.notify_one();
    return;
  }
  try {
    helpers_.emplace_back([this] { RunHelper(); });
  } catch (...) {
    helpWanted_.pop_back();
    loop.runners.fetch_sub(1);
  }
}

void Server::RunHelper() {
  std::vector<uint8_t> buffer(kReadBufferSize);
  tl_readBuffer = buffer.data();
  tl_server = this;
  std::unique_lock lock(helperMutex_);
  for (;;) {
    ++idleHelpers_;
    helperWake_.wait(lock, [this] { return helpersQuit_ || !helpWanted_.empty(); });
    --idleHelpers_;
    if (helpersQuit_) break;
    Loop* const loop = helpWanted_.front();
    helpWanted_.pop_front();
    lock.unlock();
    tl_loop = loop;
    for (;;) {
      try {
        loop->io->run_one_for(std::chrono::milliseconds(20));
      } catch (...) {
      }
      if (loop->io->stopped()) {
        loop->runners.fetch_sub(1);
        break;
      }
      // Back to the pool once another thread of the loop is free.
      int runners = loop->runners.load();
      if (runners - loop->busy.load() > 1 && loop->runners.compare_exchange_strong(runners, runners - 1)) {
        // A loop run by one thread wakes nobody for work queued within it,
        // and the loop's own thread may be asleep while this helper ran the
        // reactor or left handlers behind: a post from outside wakes it.
        asio::post(*loop->io, [] {});
        break;
      }
    }
    tl_loop = nullptr;
    lock.lock();
  }
  tl_readBuffer = nullptr;
  tl_server = nullptr;
}

void Server::StopThreads() {
  {
    std::lock_guard lock(monitorMutex_);
    monitorQuit_ = true;
  }
  monitorWake_.notify_all();
  if (monitor_.joinable()) monitor_.join();
  // Without their guards the loops end once their last handler has run.
  for (auto& loop : loops_) loop->work.reset();
  for (auto& thread : threads_) thread.join();
  threads_.clear();
  {
    std::lock_guard lock(helperMutex_);
    helpersQuit_ = true;
  }
  helperWake_.notify_all();
  for (auto& helper : helpers_) helper.join();
  helpers_.clear();
  helpWanted_.clear();
  idleHelpers_ = 0;
}

void Server::ReleaseLoops() {
  {
    std::lock_guard lock(lingerMutex_);
    lingering_.clear();
    lingerTimer_.reset();
  }
  {
    std::lock_guard lock(acceptMutex_);
    acceptor_.reset();
    acceptBackoff_.reset();
    spare_.reset();
  }
  loops_.clear();
}

bool Server::Stop() {
  if (tl_server == this) {
    // Stopping joins this server's threads; one of them cannot wait for
    // itself.
    SetError(platform::ErrorCodeOf(platform::ErrorName::kWouldDeadlock));
    return false;
  }
  std::lock_guard control(controlMutex_);
  if (!running_) {
    SetError(platform::ErrorCodeOf(platform::ErrorName::kNotConnected));
    return false;
  }
  stopping_.store(true);
  {
    std::lock_guard lock(acceptMutex_);
    asio::error_code ignored;
    acceptor_->close(ignored);
    acceptBackoff_->cancel();
    spare_.reset();
  }
  {
    std::lock_guard lock(lingerMutex_);
    lingerTimer_->cancel();
  }
  CloseAll();
  {
    // Every connection now ends as soon as its running callback returns.
    std::unique_lock lock(closedMutex_);
    allClosed_.wait(lock, [this] { return connectionCount_.load() == 0; });
  }
  StopThreads();
  ReleaseLoops();
  running_ = false;
  if (listener_.onShutdown != nullptr) listener_.onShutdown();
  return true;
}

void Server::CloseAll() {
  std::vector<ConnectionPtr> all;
  for (auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (auto& entry : shard.connections) all.push_back(entry.second);
  }
  for (auto& connection : all) RequestClose(*connection, SO_CLOSE, 0, true);
}

// ---- Accepting ------------------------------------------------------------

#if defined(_WIN32)
// Windows turns a readiness wait on a listening socket into a zero-byte
// receive, which fails at once and would spin: there the completion port
// accepts, one connection per completion.
void Server::ArmAcceptLocked() {
  try {
    if (!spare_) spare_ = std::make_shared<Connection>(*this, *loops_[nextLoop_++ % loops_.size()]->io);
  } catch (...) {
    SetError(platform::ErrorCodeOf(platform::ErrorName::kNoMemory));
    acceptBackoff_->expires_after(std::chrono::milliseconds(kAcceptBackoffMilliseconds));
    acceptBackoff_->async_wait([this](const asio::error_code& waitError) {
      if (waitError) return;
      std::lock_guard relock(acceptMutex_);
      if (!stopping_.load() && acceptor_ && acceptor_->is_open()) ArmAcceptLocked();
    });
    return;
  }
  acceptor_->async_accept(spare_->socket, acceptedPeer_, [this](const asio::error_code& error) { OnAccepted(error); });
}

void Server::OnAccepted(const asio::error_code& error) {
  std::lock_guard lock(acceptMutex_);
  if (stopping_.load() || !acceptor_ || !acceptor_->is_open()) return;
  if (error == asio::error::operation_aborted) return;
  if (error && IsResourceShortage(error)) {
    SetError(error);
    asio::error_code ignored;
    spare_->socket.close(ignored);
    acceptBackoff_->expires_after(std::chrono::milliseconds(kAcceptBackoffMilliseconds));
    acceptBackoff_->async_wait([this](const asio::error_code& waitError) {
      if (waitError) return;
      std::lock_guard relock(acceptMutex_);
      if (!stopping_.load() && acceptor_ && acceptor_->is_open()) ArmAcceptLocked();
    });
    return;
  }
  if (!error && SetUpAccepted(*spare_, acceptedPeer_)) {
    ConnectionPtr accepted = std::move(spare_);
    auto executor = accepted->socket.get_executor();
    asio::post(executor, [accepted = std::move(accepted)]() mutable {
      Server& server = accepted->server;
      server.Schedule(std::move(accepted));
    });
  } else {
    // A peer that reset before we took it: the spare socket is used again.
    asio::error_code ignored;
    spare_->socket.close(ignored);
  }
  ArmAcceptLocked();
}
#else
void Server::ArmAcceptLocked() {
  acceptor_->async_wait(asio::socket_base::wait_read,
                        [this](const asio::error_code& error) { OnAcceptReady(error); });
}
#endif

void Server::OnAcceptReady(const asio::error_code& error) {
  std::lock_guard lock(acceptMutex_);
  if (stopping_.load() || !acceptor_ || !acceptor_->is_open()) return;
  if (error == asio::error::operation_aborted) return;
  bool backOff = false;
  size_t count = 0;
  // Failed attempts (a peer that reset before we took it) are bounded too.
  for (size_t attempts = 0; count < kAcceptBatch && attempts < 2 * kAcceptBatch; ++attempts) {
    try {
      // Connections go round the loops.
      if (!spare_) spare_ = std::make_shared<Connection>(*this, *loops_[nextLoop_++ % loops_.size()]->io);
    } catch (...) {
      SetError(platform::ErrorCodeOf(platform::ErrorName::kNoMemory));
      backOff = true;
      break;
    }
    asio::ip::tcp::endpoint peer;
    asio::error_code acceptError;
    acceptor_->accept(spare_->socket, peer, acceptError);
    if (WouldBlock(acceptError)) break;
    if (acceptError) {
      if (IsResourceShortage(acceptError)) {
        SetError(acceptError);
        backOff = true;
        break;
      }
      continue;
    }
    if (!SetUpAccepted(*spare_, peer)) {
      asio::error_code ignored;
      spare_->socket.close(ignored);
      continue;
    }
    ++count;
    // OnAccept runs on the connection's own loop.
    ConnectionPtr accepted = std::move(spare_);
    auto executor = accepted->socket.get_executor();
    asio::post(executor, [accepted = std::move(accepted)]() mutable {
      Server& server = accepted->server;
      server.Schedule(std::move(accepted));
    });
  }
  if (backOff) {
    acceptBackoff_->expires_after(std::chrono::milliseconds(kAcceptBackoffMilliseconds));
    acceptBackoff_->async_wait([this](const asio::error_code& waitError) {
      if (waitError) return;
      std::lock_guard relock(acceptMutex_);
      if (!stopping_.load() && acceptor_ && acceptor_->is_open()) ArmAcceptLocked();
    });
  } else {
    ArmAcceptLocked();
  }
}

bool Server::SetUpAccepted(Connection& connection, const asio::ip::tcp::endpoint& peer) {
  asio::error_code error;
  connection.socket.non_blocking(true, error);
  if (error) return false;
  // Answers go out in few writes of whole heads and slices; Nagle would only
  // hold back the last part of each.
  connection.socket.set_option(asio::ip::tcp::no_delay(true), error);
  platform::SetHandleNotInherited(static_cast<intptr_t>(connection.socket.native_handle()));
  connection.id = nextId_.fetch_add(1, std::memory_order_relaxed);
  connection.peer = peer;
  connection.step = Step::Accept;
  Touch(connection);
  try {
    Register(connection.shared_from_this());
  } catch (...) {
    return false;
  }
  return true;
}

// ---- The connection table ---------------------------------------------------

void Server::Register(const ConnectionPtr& connection) {
  Shard& shard = ShardOf(connection->id);
  {
    std::lock_guard lock(shard.mutex);
    shard.connections.emplace(connection->id, connection);
  }
  connectionCount_.fetch_add(1);
}

void Server::Unregister(HP_CONNID id) {
  Shard& shard = ShardOf(id);
  ConnectionPtr last;  // released outside the shard's lock
  {
    std::lock_guard lock(shard.mutex);
    auto found = shard.connections.find(id);
    if (found == shard.connections.end()) return;
    last = std::move(found->second);
    shard.connections.erase(found);
  }
  if (connectionCount_.fetch_sub(1) == 1) {
    std::lock_guard lock(closedMutex_);
    allClosed_.notify_all();
  }
}

Connection* Server::Find(HP_CONNID id, ConnectionPtr& holder) {
  Connection* current = tl_current;
  if (current != nullptr && current->id == id && &current->server == this) return current;
  Shard& shard = ShardOf(id);
  std::lock_guard lock(shard.mutex);
  auto found = shard.connections.find(id);
  if (found == shard.connections.end()) return nullptr;
  holder = found->second;
  return holder.get();
}

// ---- Callback slots and the connection's chain ------------------------------

bool Server::TryAcquireSlot() {
  int busy = busySlots_.load();
  while (busy < slotLimit_) {
    if (busySlots_.compare_exchange_weak(busy, busy + 1)) return true;
  }
  return false;
}

void Server::RunInSlot(Connection& connection) {
  Loop* const loop = tl_loop;
  if (loop != nullptr) loop->busy.fetch_add(1);
  Run(connection);
  if (loop != nullptr) {
    loop->busy.fetch_sub(1);
    loop->finished.fetch_add(1, std::memory_order_relaxed);
  }
}

void Server::Schedule(ConnectionPtr connection) {
  if (TryAcquireSlot()) {
    RunInSlot(*connection);
    ReleaseSlot();
  } else {
    std::lock_guard lock(readyMutex_);
    ready_.push_back(std::move(connection));
    readyCount_.fetch_add(1);
  }
  // Whoever queued or released last looks again: the queue is never left
  // waiting while a slot is free.
  DrainReady();
}

void Server::DrainReady() {
  while (readyCount_.load() > 0) {
    if (!TryAcquireSlot()) return;
    ConnectionPtr next;
    {
      std::lock_guard lock(readyMutex_);
      if (!ready_.empty()) {
        next = std::move(ready_.front());
        ready_.pop_front();
        readyCount_.fetch_sub(1);
      }
    }
    if (next) RunInSlot(*next);
    ReleaseSlot();
  }
}

void Server::Run(Connection& connection) {
  Connection* const outer = tl_current;
  tl_current = &connection;
  for (;;) {
    // OnAccept is delivered even to a connection closed before it ran, so
    // that every connection has its OnAccept and its OnClose.
    if (connection.step == Step::Receive && connection.closing.load()) connection.step = Step::Close;
    if (connection.step == Step::Accept) {
      En_HP_HandleResult result = HR_OK;
      if (listener_.onAccept != nullptr) {
        result = listener_.onAccept(connection.id, static_cast<HP_SOCKET>(connection.socket.native_handle()));
      }
      if (result != HR_OK) RequestClose(connection, SO_ACCEPT, 0, false);
      if (ArmRead(connection)) break;
    } else if (connection.step == Step::Receive) {
      if (ReceiveAndDeliver(connection) && ArmRead(connection)) break;
      connection.step = Step::Close;
    } else {
      Finish(connection);
      break;
    }
  }
  tl_current = outer;
}

bool Server::ReceiveAndDeliver(Connection& connection) {
  uint8_t* const buffer = tl_readBuffer;
  for (int round = 0; round < kReadRounds; ++round) {
    asio::error_code error;
    const size_t length = connection.socket.read_some(asio::buffer(buffer, kReadBufferSize), error);
    if (WouldBlock(error)) return true;
    if (error == asio::error::interrupted) continue;
    if (error == asio::error::eof) {
      // The peer finished sending; what is queued for it still goes out.
      RequestClose(connection, SO_RECEIVE, 0, false);
      return false;
    }
    if (error) {
      RequestClose(connection, SO_RECEIVE, error.value(), true);
      return false;
    }
    Touch(connection);
    // A close that raced with this read wins: nothing is delivered to a
    // connection that is on its way out.
    if (connection.closing.load()) return false;
    if (listener_.onReceive != nullptr &&
        listener_.onReceive(connection.id, buffer, static_cast<int>(length)) == HR_ERROR) {
      RequestClose(connection, SO_RECEIVE, 0, false);
      return false;
    }
    if (length < kReadBufferSize) return true;
    {
      // The queue belongs to the write side too: looked at under the mutex.
      std::lock_guard lock(connection.mutex);
      if (connection.queue.Pending() > kReadPauseBytes) return true;  // ArmRead pauses
    }
  }
  return true;
}

bool Server::ArmRead(Connection& connection) {
  bool watch = false;
  {
    std::lock_guard lock(connection.mutex);
    if (connection.closing.load()) {
      connection.step = Step::Close;
      return false;
    }
    connection.step = Step::Receive;
    if (connection.queue.Pending() > kReadPauseBytes) {
      // The write side resumes reading once the queue is down (OnWritable),
      // and a close hands the connection back to its driver (CloseLocked).
      connection.readPaused = true;
      watch = true;
    } else {
      ArmReadWaitLocked(connection);
    }
  }
  // Watched so that a peer that never reads cannot keep it for ever.
  if (watch) WatchStalled(connection);
  return true;
}

void Server::WatchStalled(Connection& connection) {
  std::lock_guard lingerLock(lingerMutex_);
  if (connection.watched) return;
  connection.watched = true;
  lingering_.push_back(connection.shared_from_this());
}

void Server::ArmReadWaitLocked(Connection& connection) {
  // The wait is armed under the mutex, so a close request either sees it
  // (and its shutdown wakes it) or comes before it (and we saw `closing`).
  connection.socket.async_wait(asio::socket_base::wait_read,
                               [self = connection.shared_from_this()](const asio::error_code&) mutable {
                                 Server& server = self->server;
                                 server.Schedule(std::move(self));
                               });
}

void Server::Finish(Connection& connection) {
  En_HP_SocketOperation operation = SO_UNKNOWN;
  int error = 0;
  bool parked = false;
  {
    std::lock_guard lock(connection.mutex);
    if (connection.finished) return;
    if (connection.queue.Pending() > 0) {
      // Still flushing: the write side resumes the chain when it is done.
      connection.parked = true;
      parked = true;
    } else {
      operation = connection.closeOperation;
      error = connection.closeError;
    }
  }
  if (parked) {
    // Watched so that a peer that never reads cannot keep it for ever.
    WatchStalled(connection);
    return;
  }
  if (listener_.onClose != nullptr) listener_.onClose(connection.id, operation, error);
  {
    std::lock_guard lock(connection.mutex);
    connection.finished = true;
    // Read what the peer sent and nobody will handle: closing a socket with
    // unread bytes resets the connection, and the reset can overtake the
    // answer still on its way to the peer.
    uint8_t* const buffer = tl_readBuffer;
    for (int round = 0; buffer != nullptr && round < 4; ++round) {
      asio::error_code readError;
      connection.socket.read_some(asio::buffer(buffer, kReadBufferSize), readError);
      if (readError) break;
    }
    asio::error_code ignored;
    connection.socket.close(ignored);
    connection.queue.Release();
  }
  Unregister(connection.id);
}

// ---- Closing ----------------------------------------------------------------

void Server::RequestClose(Connection& connection, En_HP_SocketOperation operation, int error, bool dropQueued) {
  std::lock_guard lock(connection.mutex);
  CloseLocked(connection, operation, error, dropQueued);
}

void Server::CloseLocked(Connection& connection, En_HP_SocketOperation operation, int error, bool dropQueued) {
  if (connection.finished) return;
  if (!connection.closing.load()) {
    connection.closeOperation = operation;
    connection.closeError = error;
    connection.closing.store(true);
  }
  if (dropQueued) connection.queue.Clear();
  if (connection.readPaused) {
    // No read wait is there to wake the driver: hand it the connection to
    // close (it parks again if bytes are still to be flushed).
    connection.readPaused = false;
    connection.parked = true;
    ResumeParkedLocked(connection);
  }
  asio::error_code ignored;
  if (connection.queue.Pending() == 0) {
    // Bytes already in the kernel still go out before the FIN.
    connection.socket.shutdown(asio::socket_base::shutdown_both, ignored);
    connection.socket.cancel(ignored);
    ResumeParkedLocked(connection);
  } else {
    // Stop reading (this wakes a pending read wait) and let the queue drain.
    connection.socket.shutdown(asio::socket_base::shutdown_receive, ignored);
  }
}

void Server::ResumeParkedLocked(Connection& connection) {
  if (!connection.parked) return;
  connection.parked = false;
  connection.step = Step::Close;
  asio::post(connection.socket.get_executor(), [self = connection.shared_from_this()]() mutable {
    Server& server = self->server;
    server.Schedule(std::move(self));
  });
}

void Server::ArmLingerTimerLocked() {
  lingerTimer_->expires_after(std::chrono::milliseconds(1000));
  lingerTimer_->async_wait([this](const asio::error_code& error) { OnLingerTick(error); });
}

void Server::OnLingerTick(const asio::error_code& error) {
  if (error || stopping_.load()) return;
  std::vector<ConnectionPtr> due;
  {
    std::lock_guard lock(lingerMutex_);
    if (!lingerTimer_) return;
    const uint64_t now = NowMilliseconds();
    auto keep = lingering_.begin();
    for (auto& connection : lingering_) {
      bool stillParked;
      bool stillPaused;
      {
        std::lock_guard connectionLock(connection->mutex);
        stillParked = connection->parked && !connection->finished;
        stillPaused = connection->readPaused && !connection->finished;
      }
      if (!stillParked && !stillPaused) {
        connection->watched = false;  // flushed or reading again: forget it
        continue;
      }
      const uint64_t last = connection->lastActivity.load(std::memory_order_relaxed);
      if (now - std::min(now, last) >= (stillParked ? kLingerMilliseconds : kStalledSendMilliseconds)) {
        connection->watched = false;
        due.push_back(std::move(connection));
      } else {
        *keep++ = std::move(connection);
      }
    }
    lingering_.erase(keep, lingering_.end());
    ArmLingerTimerLocked();
  }
  for (auto& connection : due) RequestClose(*connection, SO_CLOSE, 0, true);
}

// ---- Sending ------------------------------------------------------------------

bool Server::WriteLocked(Connection& connection, const uint8_t* data, size_t length, size_t& written) {
  written = 0;
  for (int round = 0; written < length && round < 16; ++round) {
    asio::error_code error;
    const size_t count = connection.socket.write_some(asio::buffer(data + written, length - written), error);
    if (WouldBlock(error)) break;
    if (error == asio::error::interrupted) continue;
    if (error) {
      CloseLocked(connection, SO_SEND, error.value(), true);
      return false;
    }
    written += count;
  }
  if (written > 0) Touch(connection);
  return true;
}

void Server::ArmWriteLocked(Connection& connection) {
  connection.writeArmed = true;
  connection.socket.async_wait(asio::socket_base::wait_write,
                               [self = connection.shared_from_this()](const asio::error_code& error) {
                                 self->server.OnWritable(*self, error);
                               });
}

bool Server::FlushLocked(Connection& connection) {
  // Bounded: a fast reader cannot keep this thread here for ever.
  for (int round = 0; round < 16 && connection.queue.Pending() > 0; ++round) {
    size_t written = 0;
    if (connection.queue.FrontLength() > 0) {
      if (!WriteLocked(connection, connection.queue.Data(), connection.queue.FrontLength(), written)) return false;
      connection.queue.Consume(written);
    } else if (SendQueue::FileRegion* region = connection.queue.FrontFile()) {
      if (!WriteFileLocked(connection, region->file.Handle(), region->offset, region->length, written)) return false;
      connection.queue.ConsumeFile(written);
    } else {
      break;
    }
    if (written == 0) break;  // the kernel takes no more now
  }
  return true;
}

bool Server::Send(HP_CONNID id, const uint8_t* data, int length) {
  if (length < 0 || (length > 0 && data == nullptr)) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  {
    std::lock_guard lock(connection->mutex);
    if (connection->closing.load() || connection->finished) return false;
    const size_t total = static_cast<size_t>(length);
    if (connection->queue.MemoryPending() + total > kMaxQueuedBytes) return false;
    size_t written = 0;
    // Nothing queued: the bytes may go straight to the kernel, in order.
    if (total > 0 && connection->queue.Pending() == 0 && !connection->writeArmed) {
      if (!WriteLocked(*connection, data, total, written)) return false;
    }
    if (written < total) {
      try {
        connection->queue.Append(data + written, total - written);
      } catch (...) {
        return false;
      }
      if (!connection->writeArmed) ArmWriteLocked(*connection);
    }
  }
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
  const auto handle = platform::NativeFileFromInteger(file);
  const size_t headSize = static_cast<size_t>(headLength);
  {
    std::lock_guard lock(connection->mutex);
    if (connection->closing.load() || connection->finished) return false;
    if (connection->queue.MemoryPending() + headSize > kMaxQueuedBytes) return false;
    bool direct = connection->queue.Pending() == 0 && !connection->writeArmed;
    size_t headWritten = 0;
    if (direct && headSize > 0) {
      // With more to come the kernel holds a short head back for the file
      // bytes that follow at once, so both leave in full segments.
      const int64_t n = platform::SendToSocketWithMoreToCome(
          static_cast<intptr_t>(connection->socket.native_handle()), head, headSize);
      if (n < 0 && !platform::IsWouldBlock(platform::LastErrorCode())) {
        CloseLocked(*connection, SO_SEND, platform::LastErrorCode(), true);
        return false;
      }
      if (n > 0) {
        headWritten = static_cast<size_t>(n);
        Touch(*connection);
      }
      direct = headWritten == headSize;
    }
    size_t written = 0;
    if (direct && length > 0) {
      if (!WriteFileLocked(*connection, handle, offset, length, written)) return false;
    }
    if (headWritten < headSize || static_cast<int64_t>(written) < length) {
      // The rest goes out on write readiness, from a handle of our own: the
      // caller closes its handle as soon as this returns.
      try {
        if (headWritten < headSize) connection->queue.Append(head + headWritten, headSize - headWritten);
        if (static_cast<int64_t>(written) < length) {
          platform::File own = platform::DuplicateFile(handle);
          if (!own) {
            // Part of the answer may be queued already: it cannot be completed.
            CloseLocked(*connection, SO_SEND, platform::LastErrorCode(), true);
            return false;
          }
          connection->queue.AppendFile(std::move(own), offset + static_cast<int64_t>(written),
                                       length - static_cast<int64_t>(written));
        }
      } catch (...) {
        CloseLocked(*connection, SO_SEND, platform::ErrorCodeOf(platform::ErrorName::kNoMemory), true);
        return false;
      }
      if (!connection->writeArmed) ArmWriteLocked(*connection);
    }
  }
  if (listener_.onSend != nullptr && headLength > 0) listener_.onSend(id, head, headLength);
  return true;
}

bool Server::WriteFileLocked(Connection& connection, platform::NativeFile file, int64_t offset, int64_t length,
                             size_t& written) {
  written = 0;
  // One call moves at most this much, so that a loop thread returns to its
  // other connections between slices of a large file.
  constexpr size_t kSlice = 4u * 1024 * 1024;
  const intptr_t socket = static_cast<intptr_t>(connection.socket.native_handle());
  for (int round = 0; static_cast<int64_t>(written) < length && round < 4; ++round) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(length - static_cast<int64_t>(written), kSlice));
    size_t sent = 0;
    const platform::SendFileStatus status =
        platform::SendFileToSocket(socket, file, offset + static_cast<int64_t>(written), want, sent);
    if (status == platform::SendFileStatus::kWouldBlock) break;
    if (status == platform::SendFileStatus::kSent) {
      written += sent;
      continue;
    }
    // The file shrank under us or cannot be read: the answer can never be
    // completed, and anything sent after it would be read as its body.
    CloseLocked(connection, SO_SEND, status == platform::SendFileStatus::kEndOfFile ? platform::ErrorCodeOf(platform::ErrorName::kEndOfFile) : platform::LastErrorCode(),
                true);
    return false;
  }
  if (written > 0) Touch(connection);
  return true;
}

void Server::OnWritable(Connection& connection, const asio::error_code& error) {
  std::lock_guard lock(connection.mutex);
  connection.writeArmed = false;
  if (connection.finished) return;
  if (error && error != asio::error::operation_aborted) {
    CloseLocked(connection, SO_SEND, error.value(), true);
    return;
  }
  if (!FlushLocked(connection)) return;
  if (connection.readPaused && connection.queue.Pending() <= kReadPauseBytes && !connection.closing.load()) {
    connection.readPaused = false;
    ArmReadWaitLocked(connection);
  }
  if (connection.queue.Pending() > 0) {
    ArmWriteLocked(connection);
  } else if (connection.closing.load()) {
    // The last queued byte of a closing connection is out.
    asio::error_code ignored;
    connection.socket.shutdown(asio::socket_base::shutdown_both, ignored);
    ResumeParkedLocked(connection);
  }
}

bool Server::PendingLength(HP_CONNID id, int* pending) {
  if (pending == nullptr) return false;
  ConnectionPtr holder;
  Connection* connection = Find(id, holder);
  if (connection == nullptr) return false;
  std::lock_guard lock(connection->mutex);
  if (connection->finished) return false;
  *pending = static_cast<int>(std::min<size_t>(connection->queue.Pending(), INT32_MAX));
  return true;
}

// ---- Queries and disconnects ----------------------------------------------------

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
  RequestClose(*connection, SO_CLOSE, 0, false);
  return true;
}

bool Server::DisconnectSilent(uint32_t milliseconds) {
  const uint64_t now = NowMilliseconds();
  std::vector<ConnectionPtr> silent;
  for (auto& shard : shards_) {
    std::lock_guard lock(shard.mutex);
    for (auto& entry : shard.connections) {
      const uint64_t last = entry.second->lastActivity.load(std::memory_order_relaxed);
      if (now - std::min(now, last) >= milliseconds) silent.push_back(entry.second);
    }
  }
  // A connection silent this long is not reading either: what it has queued
  // would never leave, so it is dropped.
  for (auto& connection : silent) RequestClose(*connection, SO_CLOSE, 0, true);
  return true;
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
  {
    std::lock_guard lock(acceptMutex_);
    if (!acceptor_ || !acceptor_->is_open()) {
      if (length != nullptr) *length = 0;
      return false;
    }
    asio::error_code error;
    local = acceptor_->local_endpoint(error);
    if (error) {
      if (length != nullptr) *length = 0;
      return false;
    }
  }
  if (port != nullptr) *port = local.port();
  return CopyAddress(local.address(), text, length);
}

}  // namespace zevra::socket
