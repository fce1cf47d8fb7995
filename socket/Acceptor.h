// The acceptor: takes connections off the listening socket in batches, gives
// each to the next loop, and backs off for a moment when the process is out
// of descriptors or memory instead of spinning on a failing accept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <asio.hpp>

#include "socket/LoopPool.h"

namespace zevra::socket {

// Connections accepted per readiness of the listener.
inline constexpr size_t kAcceptBatch = 32;
// Pause after the process ran out of descriptors or memory in accept.
inline constexpr int kAcceptBackoffMilliseconds = 100;

class Server;

class Acceptor {
 public:
  Acceptor(Server& server, LoopPool& pool) : server_(server), pool_(pool) {}
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // Binds and listens on the first loop; false with `error` set.
  bool Open(const asio::ip::tcp::endpoint& endpoint, int backlog, asio::error_code& error);
  // Starts accepting.
  void Start();
  // Stops accepting: closes the listening socket and cancels a back-off.
  void Close();
  // Frees the socket and timer; the loops must have stopped.
  void Release();
  bool LocalEndpoint(asio::ip::tcp::endpoint& local);

 private:
  void ArmLocked();
  void OnReady(const asio::error_code& error);
#if defined(_WIN32)
  void OnAccepted(const asio::error_code& error);
  void BackOffLocked();
  asio::ip::tcp::endpoint acceptedPeer_;  // filled by the pending async_accept
#endif
  // Makes the accepted socket ready and registers it; false when it cannot
  // be used. `notInherited`: the accept already kept it from children.
  bool SetUp(Connection& connection, const asio::ip::tcp::endpoint& peer, bool notInherited);
  // Takes one waiting connection into `connection`'s socket, already
  // non-blocking and not inherited; the error (would-block when none waits).
  asio::error_code AcceptInto(Connection& connection, asio::ip::tcp::endpoint& peer);

  Server& server_;
  LoopPool& pool_;
  // Guards the listening socket, the back-off timer and the spare.
  std::mutex mutex_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  asio::ip::tcp protocol_ = asio::ip::tcp::v4();
  std::unique_ptr<asio::steady_timer> backoff_;
  // The connection the next accept fills, made ahead on its loop.
  ConnectionPtr spare_;
};

}  // namespace zevra::socket
