// The loop pool: the event loops, the monitor that lends helper threads to a
// stalled loop, and the callback slots.
//
// Connections are spread over event loops, one per processor the process may
// run on (at most WorkerThreads), each an io_context with one thread of its
// own, so that the common case (a read, a short callback, a write) runs start
// to end on one thread without a wake-up of any other: a thread hop per
// request would cost more than the request.
//
// At most WorkerThreads callbacks run at once (counted in `busySlots_`); a
// connection whose turn finds every slot taken waits in `ready_` and is run
// by the next thread that gives a slot back, so no thread ever waits for a
// slot.
//
// Callbacks may block for seconds (CGI does, and so does the body loop of a
// large file while its send queue is full). As an I/O completion port
// releases another thread when one blocks, the monitor watches the loops: a
// loop whose every thread sits in a callback without finishing one for two
// ticks gets a helper thread that runs it meanwhile, so its other
// connections are read and its send queues, the blocked connection's own
// among them, keep draining. The helper leaves once the loop has a free
// thread again.
#pragma once

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
#include <vector>

#include <asio.hpp>

#include "platform/File.h"

namespace zevra::socket {

// Bytes read per read call; the buffer belongs to the I/O thread.
inline constexpr size_t kReadBufferSize = 64 * 1024;
// The monitor's tick; a loop stalled for two ticks gets a helper.
inline constexpr int kMonitorTickMilliseconds = 5;
// Deferred bytes a loop holds at most before it writes them at once: the
// lines of one busy turn, not an unbounded backlog.
inline constexpr size_t kDeferredWriteLimit = 64 * 1024;

struct Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

// Why a connection's driver runs.
enum class Event : uint8_t {
  kAccepted,  // deliver OnAccept, then read
  kReady,     // the socket may be read, or the connection goes to close
  kWake,      // its owner waited for the queue to drain: deliver an empty OnReceive
};

// Bytes callbacks of a loop asked to have appended to a file (access-log
// lines): kept until the callbacks that are ready now have run, then
// written in one call before the loop waits again. The flush is a handler
// posted once per turn; while it is queued the reactor only polls, so no
// wait begins before it ran. Lines of one loop keep their order, and a
// connection never leaves its loop, so its lines keep theirs.
struct DeferredWrites {
  std::mutex mutex;  // also held across the write: flushes keep their order
  std::string bytes;
  platform::NativeFile file = platform::kNoFile;
  bool flushPosted = false;
};

// An event loop: an io_context with its own thread, and any helpers lent to
// it while that thread is stuck in a callback.
struct Loop {
  DeferredWrites deferred;
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

// What a thread of the pool carries: the read buffer (which belongs to the
// thread, so an idle connection holds none), the pool it serves, its loop,
// and the connection whose callback runs on it, so that Send and the
// extra-pointer calls made from inside a callback find their connection
// without a map lookup.
struct ThreadState {
  uint8_t* readBuffer = nullptr;
  const void* pool = nullptr;
  Loop* loop = nullptr;
  Connection* current = nullptr;
};
extern thread_local ThreadState tl_thread;

class LoopPool {
 public:
  LoopPool() = default;
  LoopPool(const LoopPool&) = delete;
  LoopPool& operator=(const LoopPool&) = delete;

  // Makes the loops (no threads yet): `slots` callbacks at once over
  // `loopCount` loops.
  void Create(uint32_t slots, uint32_t loopCount);
  // Starts one thread per loop and the monitor; false (with nothing left
  // running) when a thread cannot be made.
  bool StartThreads();
  // Ends the monitor, the loops (once their last handler ran) and the
  // helpers, and waits for all of them.
  void StopThreads();
  void Release() { loops_.clear(); }

  asio::io_context& First() { return *loops_.front()->io; }
  // The loop for the next connection: connections go round the loops.
  asio::io_context& Next();
  // True on a thread of this pool.
  bool OnOwnThread() const { return tl_thread.pool == this; }

  // Runs the connection's driver for the event in a callback slot, now or,
  // when every slot is taken, as soon as one is given back.
  void Schedule(ConnectionPtr connection, Event event);
  // The same from outside the driver: posted to the connection's loop.
  static void Post(const ConnectionPtr& connection, Event event);

  // Keeps bytes for `file` until the calling thread's loop ends its turn
  // (see DeferredWrites); false on a thread that runs no loop of this pool.
  bool DeferFileWrite(platform::NativeFile file, const uint8_t* data, size_t length);
  // Writes what every loop keeps, now.
  void FlushDeferredWrites();

 private:
  struct Turn {
    ConnectionPtr connection;
    Event event;
  };
  bool TryAcquireSlot();
  void ReleaseSlot() { busySlots_.fetch_sub(1); }
  void DrainReady();
  // Runs the driver with a slot taken, counted as busy on the thread's loop.
  void RunInSlot(Connection& connection, Event event);
  void RunLoop(Loop& loop);
  void Monitor();
  void LendHelper(Loop& loop);
  void RunHelper();
  static void FlushDeferred(Loop& loop);
  static void WriteDeferredLocked(DeferredWrites& deferred);

  std::vector<std::unique_ptr<Loop>> loops_;
  std::vector<std::thread> threads_;
  std::atomic<size_t> nextLoop_{0};

  std::mutex monitorMutex_;
  std::condition_variable monitorWake_;
  bool monitorQuit_ = false;
  std::thread monitor_;

  // Helper threads: lent to a stalled loop, parked when it no longer needs
  // them, at most helperLimit_ of them alive.
  std::mutex helperMutex_;
  std::condition_variable helperWake_;
  std::deque<Loop*> helpWanted_;
  std::vector<std::thread> helpers_;
  int idleHelpers_ = 0;
  int helperLimit_ = 0;
  bool helpersQuit_ = false;

  int slotLimit_ = 1;
  std::atomic<int> busySlots_{0};
  std::mutex readyMutex_;
  std::deque<Turn> ready_;
  std::atomic<size_t> readyCount_{0};
};

}  // namespace zevra::socket
