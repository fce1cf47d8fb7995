// The TCP server behind the HP-style C interface.
//
// Threads. Connections are spread over event loops, one per processor the
// process may run on (at most WorkerThreads), each an io_context with one
// thread of its own, so that the common case (a read, a short callback, a
// write) runs start to end on one thread without a wake-up of any other: a
// thread hop per request would cost more than the request. At most
// WorkerThreads callbacks run at once (counted by
// `busySlots_`); an event that finds every slot taken waits in `ready_` and
// is run by the next thread that gives a slot back, so no thread ever waits
// for a slot.
//
// Callbacks may block for seconds (CGI does, and so does the body loop of a
// large file while its send queue is full). As an I/O completion port
// releases another thread when one blocks, a monitor watches the loops: a
// loop whose every thread sits in a callback without finishing one for two
// ticks gets a helper thread that runs it meanwhile, so its other
// connections are read and its send queues, the blocked connection's own
// among them, keep draining. The helper leaves once the loop has a free
// thread again.
//
// One connection. Its callbacks form a chain driven by one thread at a time:
// OnAccept, then for each readiness a read and OnReceive, then OnClose. The
// next read is armed only after OnReceive has returned, which is what keeps a
// connection's callbacks in order and never overlapping; a connection whose
// handler is busy is simply not read. The read buffer belongs to the thread,
// so an idle connection holds no buffer at all.
//
// Writes do not go through that chain. Send copies the bytes under the
// connection's mutex, writes at once when nothing is queued (one syscall for
// a small answer) and queues only what the kernel did not take; write
// readiness then drains the queue, also while the connection's own callback
// blocks.
//
// Close. A disconnect, the silence sweep, a peer close or an I/O error mark
// the connection closing; the chain's driver delivers OnClose once, after
// any running callback has returned, and nothing after it. A disconnect keeps
// the bytes already queued: they are flushed first (the server disconnects
// right after queuing the last bytes of a response), bounded by
// kLingerMilliseconds without progress. The sweep and Stop drop them.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <asio.hpp>

#include "platform/File.h"
#include "socket/HPSocket.h"

namespace zevra::socket {

// Bytes read per read call; the buffer belongs to the I/O thread.
inline constexpr size_t kReadBufferSize = 64 * 1024;
// Reads in a row for one readiness before the connection goes back to the
// reactor, so one fast sender cannot hold a slot for ever.
inline constexpr int kReadRounds = 8;
// Upper bound of the bytes one connection's send queue holds in memory; a
// Send beyond it is refused. Queued file regions hold no memory.
inline constexpr size_t kMaxQueuedBytes = 256u * 1024 * 1024;
// A disconnected connection that still flushes its queue is dropped after
// this long without any write progress.
inline constexpr uint64_t kLingerMilliseconds = 30000;
// A connection stops being read while more than this is queued for it, and
// is read again once its queue is down to it: a client that pipelines
// requests but reads no answers cannot make the server queue answers
// without bound (each small request may ask for far more bytes than it is).
inline constexpr size_t kReadPauseBytes = 1u * 1024 * 1024;
// A connection paused that way is closed after this long without any write
// progress: a peer that stopped reading holds neither memory nor a file for
// ever, also where no silence sweep runs.
inline constexpr uint64_t kStalledSendMilliseconds = 60000;
// Connections accepted per readiness of the listener.
inline constexpr size_t kAcceptBatch = 32;
// Pause after the process ran out of descriptors or memory in accept.
inline constexpr int kAcceptBackoffMilliseconds = 100;
// The monitor's tick; a loop stalled for two ticks gets a helper.
inline constexpr int kMonitorTickMilliseconds = 5;

struct Listener {
  HP_FN_Server_OnAccept onAccept = nullptr;
  HP_FN_Server_OnReceive onReceive = nullptr;
  HP_FN_Server_OnSend onSend = nullptr;
  HP_FN_Server_OnClose onClose = nullptr;
  HP_FN_Server_OnShutdown onShutdown = nullptr;
};

// What Send and SendFile accepted and is not yet written, in order. The
// front is one byte buffer with a read offset, kept between answers (no
// allocation per request) unless it grew large, so an idle connection holds
// little. What was queued behind a file region waits in `later_`, which is
// empty (and holds no memory) unless a file region is queued: a file region
// is a handle of the library's own and a range, never bytes in memory.
class SendQueue {
 public:
  // Every byte not yet written, file regions included.
  size_t Pending() const { return bytes_.size() - head_ + laterBytes_; }
  // Bytes held in memory: what the queue bound counts.
  size_t MemoryPending() const { return bytes_.size() - head_ + laterMemory_; }
  // The front bytes to write (none while a file region is at the front).
  const uint8_t* Data() const { return bytes_.data() + head_; }
  size_t FrontLength() const { return bytes_.size() - head_; }
  void Append(const uint8_t* data, size_t length);
  void Consume(size_t length);
  // Queues length bytes of file from offset; `file` is the queue's own.
  void AppendFile(platform::File file, int64_t offset, int64_t length);
  // The file region at the front once the front bytes are written, or null.
  struct FileRegion {
    platform::File file;
    int64_t offset = 0;
    int64_t length = 0;
  };
  FileRegion* FrontFile();
  void ConsumeFile(size_t length);
  // Forgets the queued bytes and regions; keeps a small buffer for the next
  // answer.
  void Clear();
  // Gives the memory back.
  void Release();

 private:
  static constexpr size_t kKeptCapacity = 64 * 1024;
  struct Later {
    std::vector<uint8_t> bytes;  // when region.file is not open
    FileRegion region;
  };
  // Moves queued bytes that follow a finished region to the front buffer.
  void Advance();

  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
  std::vector<Later> later_;
  size_t laterBytes_ = 0;
  size_t laterMemory_ = 0;
};

class Server;

// An event loop: an io_context with its own thread, and any helpers lent to
// it while that thread is stuck in a callback.
struct Loop {
  std::unique_ptr<asio::io_context> io;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  // Threads running this loop, and how many of them are inside a callback.
  std::atomic<int> runners{0};
  std::atomic<int> busy{0};
  // Callbacks finished on this loop: the monitor's sign of progress.
  std::atomic<uint64_t> finished{0};
  // The monitor's own view, touched by it alone.
  uint64_t seenFinished = 0;
  int stalledTicks = 0;
};

// What the connection's driver does next.
enum class Step : uint8_t { Accept, Receive, Close };

struct Connection : std::enable_shared_from_this<Connection> {
  Connection(Server& owner, asio::io_context& io) : server(owner), socket(io) {}

  Server& server;
  asio::ip::tcp::socket socket;
  HP_CONNID id = 0;
  asio::ip::tcp::endpoint peer;
  std::atomic<void*> extra{nullptr};
  // Monotonic milliseconds of the last read or write.
  std::atomic<uint64_t> lastActivity{0};
  // Set once, under `mutex`; read without it where a stale value is harmless.
  std::atomic<bool> closing{false};
  // Owned by the driver: only the thread running the chain touches it.
  Step step = Step::Accept;

  // Guards everything below and every use of `socket` other than the
  // driver's reads.
  std::mutex mutex;
  SendQueue queue;
  bool writeArmed = false;
  // The driver reached OnClose while bytes were still queued and waits for
  // the flush to end.
  bool parked = false;
  // No read is armed because too much is queued; the write side arms it
  // again (or hands the connection to its driver to close) later.
  bool readPaused = false;
  // In the server's watch list; guarded by the server's linger mutex.
  bool watched = false;
  // OnClose delivered and the socket closed.
  bool finished = false;
  En_HP_SocketOperation closeOperation = SO_UNKNOWN;
  int closeError = 0;
};

using ConnectionPtr = std::shared_ptr<Connection>;

class Server {
 public:
  explicit Server(Listener& listener) : listener_(listener) {}
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void SetWorkerThreadCount(uint32_t count) { workerThreads_ = count; }
  void SetAcceptSocketCount(uint32_t count) { acceptSockets_ = count; }

  bool Start(const char* address, uint16_t port);
  bool Stop();
  const char* LastErrorDesc();

  bool SetExtra(HP_CONNID id, void* extra);
  bool GetExtra(HP_CONNID id, void** extra);
  bool Send(HP_CONNID id, const uint8_t* data, int length);
  bool SendFile(HP_CONNID id, intptr_t file, int64_t offset, int64_t length, const uint8_t* head = nullptr,
                int headLength = 0);
  bool PendingLength(HP_CONNID id, int* pending);
  uint32_t ConnectionCount() const { return connectionCount_.load(std::memory_order_relaxed); }
  bool Disconnect(HP_CONNID id);
  bool DisconnectSilent(uint32_t milliseconds);
  bool RemoteAddress(HP_CONNID id, char* text, int* length, uint16_t* port);
  bool ListenAddress(char* text, int* length, uint16_t* port);

  // Entry of the connection's chain from an I/O completion.
  void Schedule(ConnectionPtr connection);
  void OnWritable(Connection& connection, const asio::error_code& error);

 private:
  struct alignas(64) Shard {
    std::mutex mutex;
    std::unordered_map<HP_CONNID, ConnectionPtr> connections;
  };
  static constexpr size_t kShardCount = 32;

  Shard& ShardOf(HP_CONNID id) { return shards_[id % kShardCount]; }
  // The connection of the id, or null; `holder` keeps it alive.
  Connection* Find(HP_CONNID id, ConnectionPtr& holder);
  void Register(const ConnectionPtr& connection);
  void Unregister(HP_CONNID id);

  bool TryAcquireSlot();
  void ReleaseSlot() { busySlots_.fetch_sub(1); }
  void DrainReady();
  // Runs the chain with a slot taken, counted as busy on the thread's loop.
  void RunInSlot(Connection& connection);
  void Run(Connection& connection);
  // Reads and delivers; false when the connection goes to close.
  bool ReceiveAndDeliver(Connection& connection);
  // Arms the next read; false when the connection goes to close instead.
  bool ArmRead(Connection& connection);
  void ArmReadWaitLocked(Connection& connection);
  // Adds the connection to the watch of parked and paused connections,
  // once.
  void WatchStalled(Connection& connection);
  void Finish(Connection& connection);

  void RequestClose(Connection& connection, En_HP_SocketOperation operation, int error, bool dropQueued);
  void CloseLocked(Connection& connection, En_HP_SocketOperation operation, int error, bool dropQueued);
  void ResumeParkedLocked(Connection& connection);
  // Writes as much as the kernel takes without blocking; false on a hard
  // error, after which the connection is closing.
  bool WriteLocked(Connection& connection, const uint8_t* data, size_t length, size_t& written);
  // Writes file bytes the same way; `file` is the queue front's handle or
  // the caller's own.
  bool WriteFileLocked(Connection& connection, platform::NativeFile file, int64_t offset, int64_t length,
                       size_t& written);
  // Writes the queue front to back until the kernel takes no more; false
  // on a hard error, after which the connection is closing.
  bool FlushLocked(Connection& connection);
  void ArmWriteLocked(Connection& connection);

  void ArmAcceptLocked();
  void OnAcceptReady(const asio::error_code& error);
#if defined(_WIN32)
  void OnAccepted(const asio::error_code& error);
  asio::ip::tcp::endpoint acceptedPeer_;  // filled by the pending async_accept
#endif
  bool SetUpAccepted(Connection& connection, const asio::ip::tcp::endpoint& peer);
  void ArmLingerTimerLocked();
  void OnLingerTick(const asio::error_code& error);
  void CloseAll();
  void RunLoop(Loop& loop);
  void Monitor();
  void LendHelper(Loop& loop);
  void RunHelper();
  void StopThreads();
  void ReleaseLoops();

  void SetError(int code);
  void SetError(const asio::error_code& error);
  void SetErrorText(std::string text);

  Listener& listener_;
  uint32_t workerThreads_ = 0;
  uint32_t acceptSockets_ = 0;

  std::mutex controlMutex_;
  bool running_ = false;
  std::atomic<bool> stopping_{false};
  std::vector<std::unique_ptr<Loop>> loops_;
  std::vector<std::thread> threads_;
  size_t nextLoop_ = 0;  // under acceptMutex_

  std::mutex monitorMutex_;
  std::condition_variable monitorWake_;
  bool monitorQuit_ = false;
  std::thread monitor_;

  // Helper threads: lent to a stalled loop, parked when it no longer needs
  // them, at most kHelperLimit of them alive.
  std::mutex helperMutex_;
  std::condition_variable helperWake_;
  std::deque<Loop*> helpWanted_;
  std::vector<std::thread> helpers_;
  int idleHelpers_ = 0;
  int helperLimit_ = 0;
  bool helpersQuit_ = false;

  std::mutex acceptMutex_;
  std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
  std::unique_ptr<asio::steady_timer> acceptBackoff_;
  ConnectionPtr spare_;

  // Disconnected connections still flushing. Taken before a connection's
  // mutex, never while holding one.
  std::mutex lingerMutex_;
  std::unique_ptr<asio::steady_timer> lingerTimer_;
  std::vector<ConnectionPtr> lingering_;

  std::array<Shard, kShardCount> shards_;
  std::atomic<uint32_t> connectionCount_{0};
  std::atomic<uint64_t> nextId_{1};
  std::mutex closedMutex_;
  std::condition_variable allClosed_;

  int slotLimit_ = 1;
  std::atomic<int> busySlots_{0};
  std::mutex readyMutex_;
  std::deque<ConnectionPtr> ready_;
  std::atomic<size_t> readyCount_{0};

  std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace zevra::socket
