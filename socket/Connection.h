// One connection: its state, its callback chain, its close and its writes.
//
// The chain. Callbacks form a chain driven by one thread at a time: OnAccept,
// then for each readiness a read and OnReceive, then OnClose. The next read
// is armed only after OnReceive has returned, which is what keeps a
// connection's callbacks in order and never overlapping; a connection whose
// handler is busy is simply not read.
//
// Writes do not go through that chain. Send copies the bytes under the
// connection's mutex, writes at once when nothing is queued (one syscall for
// a small answer) and queues only what the kernel did not take; write
// readiness then drains the queue, also while the connection's own callback
// blocks. A write wait is armed exactly while the queue holds something.
//
// Close. A disconnect, the silence sweep, a peer close or an I/O error move
// the connection to kClosing; the driver delivers OnClose once, after any
// running callback has returned, and nothing after it. A disconnect keeps
// the bytes already queued: they are flushed first (the server disconnects
// right after queuing the last bytes of an answer), bounded by
// kLingerMilliseconds without progress. The sweep and Stop drop them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include <asio.hpp>

#include "platform/File.h"
#include "socket/HPSocket.h"
#include "socket/LoopPool.h"
#include "socket/SendQueue.h"

namespace zevra::socket {

// Reads in a row for one readiness before the connection goes back to the
// reactor, so one fast sender cannot hold a slot for ever.
inline constexpr int kReadRounds = 8;
// Upper bound of the bytes one connection's send queue holds in memory; a
// Send beyond it is refused. Queued file regions hold no memory.
inline constexpr size_t kMaxQueuedBytes = 256u * 1024 * 1024;
// A connection stops being read while more than this is queued for it, and
// is read again once its queue is down to it: a client that pipelines
// requests but reads no answers cannot make the server queue answers
// without bound (each small request may ask for far more bytes than it is).
inline constexpr size_t kReadPauseBytes = 1u * 1024 * 1024;

class Server;

// A non-blocking call found nothing to do now.
inline bool WouldBlock(const asio::error_code& error) {
  return error == asio::error::would_block || error == asio::error::try_again;
}

// Where a connection is in its life. Written under the connection's mutex;
// read without it where a stale value is harmless. The order matters:
// everything from kClosing on is on its way out.
enum class ConnectionState : uint8_t {
  kAccepted,  // in the table; OnAccept not delivered yet
  kReading,   // a read wait is armed, or the driver reads and delivers
  kPaused,    // too much queued: no read armed; the write side arms it again
  kHolding,   // its owner asked, from inside OnReceive, to wait for an empty
              // queue; the driver has not left yet
  kHeld,      // the same once the driver left: no read armed; the write side
              // wakes the driver (Event::kWake) once the queue is empty
  kClosing,   // close asked: the driver delivers OnClose after the running callback
  kFlushing,  // the driver reached OnClose with bytes still queued and waits for them
  kClosed,    // OnClose delivered and the socket closed
};

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(Server& owner, LoopPool& loops, Loop& home) : server(owner), pool(loops), loop(home), socket(*home.io) {}

  Server& server;
  LoopPool& pool;
  Loop& loop;  // the event loop the connection lives on, for its whole life
  asio::ip::tcp::socket socket;
  HP_CONNID id = 0;
  asio::ip::tcp::endpoint peer;
  std::atomic<void*> extra{nullptr};
  // Monotonic milliseconds of the last read or write.
  std::atomic<uint64_t> lastActivity{0};
  std::atomic<ConnectionState> state{ConnectionState::kAccepted};
  // How far the current request is (En_HP_RequestPhase), as the program
  // says, since when, and when a request was last complete (the accept
  // counts as one): what the sweep's deadlines and the shedding go by.
  std::atomic<uint8_t> phase{RP_IDLE};
  std::atomic<uint64_t> phaseSince{0};
  std::atomic<uint64_t> lastCompleted{0};

  // Guards the queue, the close reason, every change of `state` and every
  // use of `socket` other than the driver's reads.
  std::mutex mutex;
  SendQueue queue;
  En_HP_SocketOperation closeOperation = SO_UNKNOWN;
  int closeError = 0;

  // The read wait is a read of up to this many bytes: a request that fits
  // arrives with the wait's own receive, and a read that comes back short
  // tells the reactor the socket is drained, so the next wait costs no
  // system call (a bare readiness wait re-arms with an epoll_ctl every
  // time). Small enough that idle connections stay cheap.
  static constexpr size_t kFirstReadSize = 192;
  // Written by the read wait's completion, taken by the driver it
  // schedules (the loop's hand-over orders the two).
  uint8_t firstRead[kFirstReadSize];
  size_t firstLength = 0;
  asio::error_code firstError;

  bool Closing() const { return state.load() >= ConnectionState::kClosing; }
  void Touch();
  void SetPhase(En_HP_RequestPhase next);
  // Moves a connection whose callback runs on this thread to kHolding.
  bool Hold();

  // The driver: runs the chain for one event. Only one thread at a time
  // drives a connection.
  void Drive(Event event);

  // Queues or writes the bytes; false when the connection is closing or the
  // queue is full.
  bool Send(const uint8_t* data, size_t length);
  // Writes or queues head and then length bytes of `file` from offset.
  bool SendFile(platform::NativeFile file, int64_t offset, int64_t length, const uint8_t* head, size_t headLength);
  // Bytes queued, file regions included; false once closed.
  bool PendingBytes(size_t& pending);

  void RequestClose(En_HP_SocketOperation operation, int error, bool dropQueued);
  // Closes the connection, dropping what is queued, when it is still in
  // `expected` and made no progress since `since`: the sweep's close, which
  // must not hit a connection that moved on after the sweep looked.
  void CloseIfStill(ConnectionState expected, uint64_t since);
  // The same for a request that overstayed its phase: still in `expected`,
  // and `stamp` (the phase's start or the last traffic) no later than `since`.
  void CloseIfPhaseStill(En_HP_RequestPhase expected, const std::atomic<uint64_t>& stamp, uint64_t since);

  // Write readiness.
  void OnWritable(const asio::error_code& error);

 private:
  // Reads and delivers; false when the connection goes to close.
  bool ReceiveAndDeliver();
  // The empty OnReceive a held connection was promised; false when the
  // connection goes to close.
  bool DeliverWake();
  // Arms the next read; false when the connection goes to close instead.
  bool ArmRead();
  void ArmReadWaitLocked();
  // Delivers one read's bytes (or acts on its error); kMore when the read
  // filled `capacity` and the socket may hold more.
  enum class ReadStep : uint8_t { kClose, kDrained, kMore };
  ReadStep TakeRead(const uint8_t* buffer, size_t length, const asio::error_code& error, size_t capacity);
  void Finish();

  void CloseLocked(En_HP_SocketOperation operation, int error, bool dropQueued);
  // Hands a flushed kFlushing connection back to its driver.
  void ResumeFlushedLocked();
  // Writes as much as the kernel takes without blocking; false on a hard
  // error, after which the connection is closing.
  bool WriteLocked(const uint8_t* data, size_t length, size_t& written);
  // Writes file bytes the same way; `file` is the queue front's handle or
  // the caller's own. `full` tells that the kernel refused more (a short or
  // refused call), so that the caller waits for room instead of asking again.
  bool WriteFileLocked(platform::NativeFile file, int64_t offset, int64_t length, size_t& written, bool& full);
  // Writes the queue front to back until the kernel takes no more; false
  // on a hard error, after which the connection is closing.
  bool FlushLocked();
  void ArmWriteLocked();
};

}  // namespace zevra::socket
