#include "socket/LoopPool.h"

#include <chrono>

#include "socket/Connection.h"

namespace zevra::socket {

thread_local ThreadState tl_thread;

void LoopPool::Create(uint32_t slots, uint32_t loopCount) {
  slotLimit_ = static_cast<int>(slots);
  helperLimit_ = static_cast<int>(slots) + 2;
  loops_.clear();
  for (uint32_t i = 0; i < loopCount; ++i) {
    auto loop = std::make_unique<Loop>();
    // One thread per loop as a rule: Asio then never wakes a second thread
    // to take over the reactor while the first runs a handler.
    loop->io = std::make_unique<asio::io_context>(1);
    loops_.push_back(std::move(loop));
  }
  nextLoop_.store(0);
  monitorQuit_ = false;
  helpersQuit_ = false;
}

Loop& LoopPool::Next() { return *loops_[nextLoop_.fetch_add(1, std::memory_order_relaxed) % loops_.size()]; }

bool LoopPool::StartThreads() {
  for (auto& loop : loops_) loop->work.emplace(asio::make_work_guard(*loop->io));
  try {
    threads_.reserve(loops_.size());
    for (auto& loop : loops_) {
      Loop* const each = loop.get();
      each->runners.store(1);
      threads_.emplace_back([this, each] { RunLoop(*each); });
    }
    monitor_ = std::thread([this] { Monitor(); });
  } catch (...) {
    StopThreads();
    return false;
  }
  return true;
}

void LoopPool::RunLoop(Loop& loop) {
  std::vector<uint8_t> buffer(kReadBufferSize);
  tl_thread = ThreadState{buffer.data(), this, &loop, nullptr};
  // A handler that throws must not end the thread: the loop would lose its
  // only thread. run() may be entered again after a throw.
  for (;;) {
    try {
      loop.io->run();
      break;
    } catch (...) {
    }
  }
  tl_thread = ThreadState{};
}

void LoopPool::Monitor() {
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

void LoopPool::LendHelper(Loop& loop) {
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

void LoopPool::RunHelper() {
  std::vector<uint8_t> buffer(kReadBufferSize);
  tl_thread = ThreadState{buffer.data(), this, nullptr, nullptr};
  std::unique_lock lock(helperMutex_);
  for (;;) {
    ++idleHelpers_;
    helperWake_.wait(lock, [this] { return helpersQuit_ || !helpWanted_.empty(); });
    --idleHelpers_;
    if (helpersQuit_) break;
    Loop* const loop = helpWanted_.front();
    helpWanted_.pop_front();
    lock.unlock();
    tl_thread.loop = loop;
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
    tl_thread.loop = nullptr;
    lock.lock();
  }
  tl_thread = ThreadState{};
}

void LoopPool::StopThreads() {
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

// ---- Callback slots -----------------------------------------------------------

bool LoopPool::TryAcquireSlot() {
  int busy = busySlots_.load();
  while (busy < slotLimit_) {
    if (busySlots_.compare_exchange_weak(busy, busy + 1)) return true;
  }
  return false;
}

void LoopPool::RunInSlot(Connection& connection, Event event) {
  Loop* const loop = tl_thread.loop;
  if (loop != nullptr) loop->busy.fetch_add(1);
  connection.Drive(event);
  if (loop != nullptr) {
    loop->busy.fetch_sub(1);
    loop->finished.fetch_add(1, std::memory_order_relaxed);
  }
}

void LoopPool::Schedule(ConnectionPtr connection, Event event) {
  if (TryAcquireSlot()) {
    RunInSlot(*connection, event);
    ReleaseSlot();
  } else {
    std::lock_guard lock(readyMutex_);
    ready_.push_back(Turn{std::move(connection), event});
    readyCount_.fetch_add(1);
  }
  // Whoever queued or released last looks again: the queue is never left
  // waiting while a slot is free.
  DrainReady();
}

void LoopPool::DrainReady() {
  while (readyCount_.load() > 0) {
    if (!TryAcquireSlot()) return;
    Turn next{nullptr, Event::kReady};
    {
      std::lock_guard lock(readyMutex_);
      if (!ready_.empty()) {
        next = std::move(ready_.front());
        ready_.pop_front();
        readyCount_.fetch_sub(1);
      }
    }
    if (next.connection) RunInSlot(*next.connection, next.event);
    ReleaseSlot();
  }
}

void LoopPool::Post(const ConnectionPtr& connection, Event event) {
  asio::post(connection->socket.get_executor(), [connection, event]() mutable {
    LoopPool& pool = connection->pool;
    pool.Schedule(std::move(connection), event);
  });
}

}  // namespace zevra::socket

namespace zevra::socket {

// ---- Deferred file writes -------------------------------------------------------

bool LoopPool::DeferFileWrite(Loop& home, platform::NativeFile file, const uint8_t* data, size_t length) {
  if (file == platform::kNoFile) return false;
  Loop* const loop = &home;
  DeferredWrites& deferred = loop->deferred;
  std::lock_guard lock(deferred.mutex);
  if (deferred.file != file) {
    WriteDeferredLocked(deferred);
    deferred.file = file;
  }
  deferred.bytes.append(reinterpret_cast<const char*>(data), length);
  if (deferred.bytes.size() >= kDeferredWriteLimit) {
    WriteDeferredLocked(deferred);
  } else if (!deferred.flushPosted) {
    deferred.flushPosted = true;
    try {
      asio::post(*loop->io, [loop] { FlushDeferred(*loop); });
    } catch (...) {
      // No flush to come: nothing may stay behind.
      deferred.flushPosted = false;
      WriteDeferredLocked(deferred);
    }
  }
  return true;
}

void LoopPool::FlushDeferred(Loop& loop) {
  std::lock_guard lock(loop.deferred.mutex);
  loop.deferred.flushPosted = false;
  WriteDeferredLocked(loop.deferred);
}

void LoopPool::FlushDeferredWrites() {
  for (auto& loop : loops_) {
    std::lock_guard lock(loop->deferred.mutex);
    WriteDeferredLocked(loop->deferred);
  }
}

void LoopPool::WriteDeferredLocked(DeferredWrites& deferred) {
  if (deferred.bytes.empty()) return;
  // The handle stays the caller's: borrowed for the write, never closed.
  platform::File file(deferred.file);
  // A failed write loses the bytes, as a failed direct write would. The
  // loops' batches go one at a time: an append-only write is one piece on
  // Linux and Windows, but not under every emulation of the latter (Wine
  // tore lines when two loops wrote at once).
  static std::mutex appendOrder;
  {
    std::lock_guard order(appendOrder);
    (void)file.WriteAll(deferred.bytes.data(), deferred.bytes.size());
  }
  file.Release();
  // A busy turn's worth of room is kept for the next one.
  if (deferred.bytes.capacity() > 4 * kDeferredWriteLimit) {
    std::string().swap(deferred.bytes);
  } else {
    deferred.bytes.clear();
  }
}

}  // namespace zevra::socket
