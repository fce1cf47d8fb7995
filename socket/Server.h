// The TCP server behind the HP-style C interface: start, stop, the calls the
// C interface forwards, and the sweep that drops connections whose peers
// stopped reading. The pieces it is made of:
//
//   LoopPool         event loops, their monitor and helpers, callback slots
//   Acceptor         the listening socket and the accept batches
//   ConnectionTable  every live connection by id
//   Connection       one connection's state, callback chain, close, writes
//   SendQueue        a connection's queued bytes and file regions
//
// Lock order. A thread that holds one of these mutexes takes only mutexes
// further down the list, never one above it:
//   1. Server::controlMutex_      Start and Stop against each other
//   2. Acceptor::mutex_           the listening socket, back-off timer, spare
//   3. Server::sweepMutex_        the sweep timer
//   4. ConnectionTable shard      (one at a time) the id map of a shard
//   5. Connection::mutex          (one at a time) queue, state, socket writes
//   6. LoopPool::readyMutex_      connections waiting for a callback slot
//   7. LoopPool::monitorMutex_    the monitor's tick; held while it lends a helper
//   8. LoopPool::helperMutex_     the helper threads and the loops wanting one
//   9. ConnectionTable::emptyMutex_, Server::errorMutex_   leaves
// Asio's own locks (inside post, async_wait, the reactor) come below all of
// these; no handler runs while one of ours is held by the same thread.
// Callbacks into the program run with none of them held.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <asio.hpp>

#include "socket/Acceptor.h"
#include "socket/ConnectionTable.h"
#include "socket/HPSocket.h"
#include "socket/LoopPool.h"

namespace zevra::socket {

// A disconnected connection that still flushes its queue is dropped after
// this long without any write progress.
inline constexpr uint64_t kLingerMilliseconds = 30000;
// A connection paused for its queue is closed after this long without any
// write progress: a peer that stopped reading holds neither memory nor a
// file for ever, also where no silence sweep runs.
inline constexpr uint64_t kStalledSendMilliseconds = 60000;
// How often the sweep looks at the connections.
inline constexpr int kSweepMilliseconds = 1000;
// Descriptors kept free of connections when the process's descriptor limit
// is what bounds them: files being sent, spool files, CGI pipes and logs
// need some too. A quarter of a small limit, at most this many.
inline constexpr uint64_t kDescriptorReserve = 128;
// Connections an accept failing for want of descriptors closes before it
// tries again.
inline constexpr size_t kShedBatch = 8;

struct Listener {
  HP_FN_Server_OnAccept onAccept = nullptr;
  HP_FN_Server_OnReceive onReceive = nullptr;
  HP_FN_Server_OnSend onSend = nullptr;
  HP_FN_Server_OnClose onClose = nullptr;
  HP_FN_Server_OnShutdown onShutdown = nullptr;
};

class Server {
 public:
  explicit Server(Listener& listener) : listener_(listener), acceptor_(*this, pool_) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void SetWorkerThreadCount(uint32_t count) { workerThreads_ = count; }
  void SetAcceptSocketCount(uint32_t count) { acceptSockets_ = count; }
  void SetRequestTimeouts(uint32_t headMilliseconds, uint32_t bodyMilliseconds) {
    headTimeout_ = headMilliseconds;
    bodyTimeout_ = bodyMilliseconds;
  }
  void SetMaxConnectionCount(uint32_t count) { maxConnections_ = count; }

  bool Start(const char* address, uint16_t port);
  bool Stop();
  const char* LastErrorDesc();

  bool SetExtra(HP_CONNID id, void* extra);
  bool GetExtra(HP_CONNID id, void** extra);
  bool Send(HP_CONNID id, const uint8_t* data, int length);
  bool SendFile(HP_CONNID id, intptr_t file, int64_t offset, int64_t length, const uint8_t* head = nullptr,
                int headLength = 0);
  bool PendingLength(HP_CONNID id, int* pending);
  uint32_t ConnectionCount() const { return table_.Count(); }
  bool Disconnect(HP_CONNID id);
  bool DisconnectSilent(uint32_t milliseconds);
  bool RemoteAddress(HP_CONNID id, char* text, int* length, uint16_t* port);
  bool ListenAddress(char* text, int* length, uint16_t* port);
  bool SetRequestPhase(HP_CONNID id, En_HP_RequestPhase phase);
  bool HoldReceive(HP_CONNID id);
  // See HP_Server_DeferFileWrite and HP_Server_FlushDeferredWrites.
  bool DeferFileWrite(intptr_t file, const uint8_t* data, size_t length);
  void FlushDeferredWrites() { pool_.FlushDeferredWrites(); }

  // Closes up to `count` of the connections that have gone longest without
  // completing a request (half-sent heads and bodies, idle ones), never
  // `spared`; how many it closed.
  size_t Shed(size_t count, HP_CONNID spared);
  // Connections above which a newcomer makes room.
  uint64_t RoomLimit() const { return roomLimit_; }

  // For the pieces.
  const Listener& Callbacks() const { return listener_; }
  ConnectionTable& Table() { return table_; }
  bool Stopping() const { return stopping_.load(); }
  HP_CONNID NextId() { return nextId_.fetch_add(1, std::memory_order_relaxed); }
  void SetError(int code);
  void SetError(const asio::error_code& error);

 private:
  // The connection of the id, or null; `holder` keeps it alive.
  Connection* Find(HP_CONNID id, ConnectionPtr& holder);
  void CloseAll();
  void ArmSweepLocked();
  void OnSweep(const asio::error_code& error);
  void SetErrorText(std::string text);

  Listener& listener_;
  uint32_t workerThreads_ = 0;
  uint32_t acceptSockets_ = 0;
  uint32_t headTimeout_ = 0;
  uint32_t bodyTimeout_ = 0;
  uint32_t maxConnections_ = 0;
  // Set at start from maxConnections_ and the descriptor limit; 0 = none.
  uint64_t roomLimit_ = 0;

  std::mutex controlMutex_;
  bool running_ = false;
  std::atomic<bool> stopping_{false};

  LoopPool pool_;
  Acceptor acceptor_;
  ConnectionTable table_;
  std::atomic<uint64_t> nextId_{1};

  std::mutex sweepMutex_;
  std::unique_ptr<asio::steady_timer> sweepTimer_;

  std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace zevra::socket
