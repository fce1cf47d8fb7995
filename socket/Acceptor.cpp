#include "socket/Acceptor.h"

#include <algorithm>

#include "platform/Descriptor.h"
#include "platform/Error.h"
#include "platform/System.h"
#include "socket/Connection.h"
#include "socket/Server.h"

namespace zevra::socket {
namespace {

// Failures of accept that mean "the process is short of something", after
// which accepting again at once would only spin.
bool IsResourceShortage(const asio::error_code& error) {
  return error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
         error == asio::error::no_memory ||
         error.value() == platform::ErrorCodeOf(platform::ErrorName::kTooManyOpenFiles);
}

}  // namespace

bool Acceptor::Open(const asio::ip::tcp::endpoint& endpoint, int backlog, asio::error_code& error) {
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(pool_.First());
  acceptor->open(endpoint.protocol(), error);
  if (!error) platform::SetHandleNotInherited(static_cast<intptr_t>(acceptor->native_handle()));
  // A restarted worker binds while old connections sit in TIME_WAIT; a
  // port that another socket listens on still fails. Best effort: where the
  // OS lacks the option (Wine has no exclusive claim) the bind below still
  // decides, and its failure is the one worth reporting.
  if (!error) platform::SetListenerAddressUse(static_cast<intptr_t>(acceptor->native_handle()));
  if (!error) acceptor->bind(endpoint, error);
  if (!error) acceptor->listen(backlog, error);
  if (!error) acceptor->non_blocking(true, error);
  if (error) return false;
  std::lock_guard lock(mutex_);
  acceptor_ = std::move(acceptor);
  protocol_ = endpoint.protocol();
  backoff_ = std::make_unique<asio::steady_timer>(pool_.First());
  return true;
}

void Acceptor::Start() {
  std::lock_guard lock(mutex_);
  ArmLocked();
}

void Acceptor::Close() {
  std::lock_guard lock(mutex_);
  asio::error_code ignored;
  if (acceptor_) acceptor_->close(ignored);
  if (backoff_) backoff_->cancel();
  spare_.reset();
}

void Acceptor::Release() {
  std::lock_guard lock(mutex_);
  acceptor_.reset();
  backoff_.reset();
  spare_.reset();
}

bool Acceptor::LocalEndpoint(asio::ip::tcp::endpoint& local) {
  std::lock_guard lock(mutex_);
  if (!acceptor_ || !acceptor_->is_open()) return false;
  asio::error_code error;
  local = acceptor_->local_endpoint(error);
  return !error;
}

#if defined(_WIN32)
// Windows turns a readiness wait on a listening socket into a zero-byte
// receive, which fails at once and would spin: there the completion port
// accepts, one connection per completion.
void Acceptor::ArmLocked() {
  try {
    if (!spare_) spare_ = std::make_shared<Connection>(server_, pool_, pool_.Next());
  } catch (...) {
    server_.SetError(platform::ErrorCodeOf(platform::ErrorName::kNoMemory));
    BackOffLocked();
    return;
  }
  acceptor_->async_accept(spare_->socket, acceptedPeer_, [this](const asio::error_code& error) { OnAccepted(error); });
}

void Acceptor::BackOffLocked() {
  backoff_->expires_after(std::chrono::milliseconds(kAcceptBackoffMilliseconds));
  backoff_->async_wait([this](const asio::error_code& waitError) {
    if (waitError) return;
    std::lock_guard relock(mutex_);
    if (!server_.Stopping() && acceptor_ && acceptor_->is_open()) ArmLocked();
  });
}

void Acceptor::OnAccepted(const asio::error_code& error) {
  std::lock_guard lock(mutex_);
  if (server_.Stopping() || !acceptor_ || !acceptor_->is_open()) return;
  if (error == asio::error::operation_aborted) return;
  if (error && IsResourceShortage(error)) {
    server_.SetError(error);
    asio::error_code ignored;
    spare_->socket.close(ignored);
    BackOffLocked();
    return;
  }
  if (!error && SetUp(*spare_, acceptedPeer_, false)) {
    const HP_CONNID admitted = spare_->id;
    LoopPool::Post(spare_, Event::kAccepted);
    spare_.reset();
    const uint64_t room = server_.RoomLimit();
    if (room > 0 && server_.Table().Count() > room) server_.Shed(1, admitted);
  } else {
    // A peer that reset before we took it: the spare is used again.
    asio::error_code ignored;
    spare_->socket.close(ignored);
  }
  ArmLocked();
}
#else
void Acceptor::ArmLocked() {
  acceptor_->async_wait(asio::socket_base::wait_read, [this](const asio::error_code& error) { OnReady(error); });
}
#endif

void Acceptor::OnReady(const asio::error_code& error) {
  std::lock_guard lock(mutex_);
  if (server_.Stopping() || !acceptor_ || !acceptor_->is_open()) return;
  if (error == asio::error::operation_aborted) return;
  bool backOff = false;
  size_t count = 0;
  // Failed attempts (a peer that reset before we took it) are bounded too.
  for (size_t attempts = 0; count < kAcceptBatch && attempts < 2 * kAcceptBatch; ++attempts) {
    try {
      if (!spare_) spare_ = std::make_shared<Connection>(server_, pool_, pool_.Next());
    } catch (...) {
      server_.SetError(platform::ErrorCodeOf(platform::ErrorName::kNoMemory));
      backOff = true;
      break;
    }
    asio::ip::tcp::endpoint peer;
    const asio::error_code acceptError = AcceptInto(*spare_, peer);
    if (WouldBlock(acceptError)) break;
    if (acceptError) {
      if (IsResourceShortage(acceptError)) {
        server_.SetError(acceptError);
        // Closing the connections that have waited longest for a request
        // frees descriptors for the ones still waiting in the backlog,
        // which would otherwise not be taken at all.
        if (server_.RoomLimit() > 0) server_.Shed(kShedBatch, 0);
        backOff = true;
        break;
      }
      continue;
    }
    if (!SetUp(*spare_, peer, true)) {
      asio::error_code ignored;
      spare_->socket.close(ignored);
      continue;
    }
    ++count;
    // OnAccept runs on the connection's own loop.
    const HP_CONNID admitted = spare_->id;
    LoopPool::Post(spare_, Event::kAccepted);
    spare_.reset();
    // Near the limit the newcomer is served and a connection that has gone
    // longest without completing a request makes room: otherwise a client
    // that holds many half-sent requests locks every other one out.
    const uint64_t room = server_.RoomLimit();
    const uint64_t open = server_.Table().Count();
    // One for one: the count still holds connections on their way out, and
    // closing more for each of a burst of newcomers would empty the table.
    if (room > 0 && open > room) server_.Shed(1, admitted);
  }
  if (backOff) {
    backoff_->expires_after(std::chrono::milliseconds(kAcceptBackoffMilliseconds));
    backoff_->async_wait([this](const asio::error_code& waitError) {
      if (waitError) return;
      std::lock_guard relock(mutex_);
      if (!server_.Stopping() && acceptor_ && acceptor_->is_open()) ArmLocked();
    });
  } else {
    ArmLocked();
  }
}

asio::error_code Acceptor::AcceptInto(Connection& connection, asio::ip::tcp::endpoint& peer) {
  // Asio's own accept takes three more calls per connection to make the
  // socket non-blocking and keep it from CGI children: one call does it
  // all here, and no child started meanwhile can inherit the socket.
  size_t length = peer.capacity();
  const intptr_t accepted = platform::AcceptNonBlockingNotInherited(
      static_cast<intptr_t>(acceptor_->native_handle()), peer.data(), &length);
  if (accepted < 0) return asio::error_code(platform::LastErrorCode(), asio::error::get_system_category());
  asio::error_code error;
  if (length <= peer.capacity()) {
    peer.resize(length);
    connection.socket.assign(protocol_, static_cast<asio::ip::tcp::socket::native_handle_type>(accepted), error);
  } else {
    error = asio::error::invalid_argument;
  }
  if (error) {
    platform::CloseSocketHandle(accepted);
    // Not a would-block nor a shortage: the caller goes on to the next.
    return asio::error::connection_aborted;
  }
  return error;
}

bool Acceptor::SetUp(Connection& connection, const asio::ip::tcp::endpoint& peer, bool notInherited) {
  asio::error_code error;
  // Also where the socket is non-blocking already: Asio's synchronous
  // reads and writes return would-block instead of waiting only once it
  // was told so itself.
  connection.socket.non_blocking(true, error);
  if (error) return false;
  // Answers go out in few writes of whole heads and slices; Nagle would only
  // hold back the last part of each.
  connection.socket.set_option(asio::ip::tcp::no_delay(true), error);
  if (!notInherited) platform::SetHandleNotInherited(static_cast<intptr_t>(connection.socket.native_handle()));
  connection.id = server_.NextId();
  connection.peer = peer;
  connection.Touch();
  // The accept counts as a completed request: a newcomer is the last to
  // make room for another.
  const uint64_t now = connection.lastActivity.load(std::memory_order_relaxed);
  connection.phaseSince.store(now, std::memory_order_relaxed);
  connection.lastCompleted.store(now, std::memory_order_relaxed);
  try {
    server_.Table().Add(connection.shared_from_this());
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace zevra::socket
