#include "socket/Connection.h"

#include <algorithm>
#include <utility>

#include "platform/Clock.h"
#include "platform/Descriptor.h"
#include "platform/Error.h"
#include "platform/System.h"
#include "socket/Server.h"

namespace zevra::socket {
void Connection::Touch() { lastActivity.store(platform::MonotonicMilliseconds(), std::memory_order_relaxed); }

void Connection::SetPhase(En_HP_RequestPhase next) {
  const uint64_t now = platform::MonotonicMilliseconds();
  if (next == RP_ANSWERING) lastCompleted.store(now, std::memory_order_relaxed);
  phaseSince.store(now, std::memory_order_relaxed);
  phase.store(static_cast<uint8_t>(next));
}

bool Connection::Hold() {
  if (tl_thread.current != this) return false;
  std::lock_guard lock(mutex);
  if (Closing()) return false;
  state.store(ConnectionState::kHolding);
  return true;
}

// ---- The chain ----------------------------------------------------------------

void Connection::Drive(Event event) {
  const Listener& listener = server.Callbacks();
  Connection* const outer = tl_thread.current;
  tl_thread.current = this;
  for (;;) {
    if (event == Event::kAccepted) {
      // OnAccept is delivered even to a connection closed before it ran, so
      // that every connection has its OnAccept and its OnClose.
      event = Event::kReady;
      En_HP_HandleResult result = HR_OK;
      if (listener.onAccept != nullptr) result = listener.onAccept(id, static_cast<HP_SOCKET>(socket.native_handle()));
      if (result != HR_OK) RequestClose(SO_ACCEPT, 0, false);
      if (ArmRead()) break;
    } else if (Closing()) {
      Finish();
      break;
    } else if (event == Event::kWake) {
      event = Event::kReady;
      if (DeliverWake() && ArmRead()) break;
    } else if (ReceiveAndDeliver() && ArmRead()) {
      break;
    }
    // Whatever failed above left the connection closing: the next round
    // finishes it.
  }
  tl_thread.current = outer;
}

Connection::ReadStep Connection::TakeRead(const uint8_t* buffer, size_t length, const asio::error_code& error,
                                          size_t capacity) {
  if (error == asio::error::eof) {
    // The peer finished sending; what is queued for it still goes out.
    RequestClose(SO_RECEIVE, 0, false);
    return ReadStep::kClose;
  }
  if (error) {
    RequestClose(SO_RECEIVE, error.value(), true);
    return ReadStep::kClose;
  }
  Touch();
  // A close that raced with this read wins: nothing is delivered to a
  // connection that is on its way out.
  if (Closing()) return ReadStep::kClose;
  const Listener& listener = server.Callbacks();
  if (listener.onReceive != nullptr && listener.onReceive(id, buffer, static_cast<int>(length)) == HR_ERROR) {
    RequestClose(SO_RECEIVE, 0, false);
    return ReadStep::kClose;
  }
  if (length < capacity) return ReadStep::kDrained;
  if (state.load() == ConnectionState::kHolding) return ReadStep::kDrained;  // ArmRead holds it
  {
    // The queue belongs to the write side too: looked at under the mutex.
    std::lock_guard lock(mutex);
    if (queue.Pending() > kReadPauseBytes) return ReadStep::kDrained;  // ArmRead pauses
  }
  return ReadStep::kMore;
}

bool Connection::ReceiveAndDeliver() {
  // What the read wait brought in comes first. A wait that ended without
  // bytes (cancelled, interrupted, would block) leaves it to the reads below.
  const size_t first = std::exchange(firstLength, 0);
  const asio::error_code firstErr = std::exchange(firstError, asio::error_code());
  if (first > 0 || (firstErr && !WouldBlock(firstErr) && firstErr != asio::error::operation_aborted &&
                    firstErr != asio::error::interrupted)) {
    const ReadStep step = TakeRead(firstRead, first, firstErr, kFirstReadSize);
    if (step != ReadStep::kMore) return step == ReadStep::kDrained;
  }
  uint8_t* const buffer = tl_thread.readBuffer;
  for (int round = 0; round < kReadRounds; ++round) {
    asio::error_code error;
    const size_t length = socket.read_some(asio::buffer(buffer, kReadBufferSize), error);
    if (WouldBlock(error)) return true;
    if (error == asio::error::interrupted) continue;
    const ReadStep step = TakeRead(buffer, length, error, kReadBufferSize);
    if (step != ReadStep::kMore) return step == ReadStep::kDrained;
  }
  return true;
}

bool Connection::DeliverWake() {
  const Listener& listener = server.Callbacks();
  if (listener.onReceive != nullptr && listener.onReceive(id, tl_thread.readBuffer, 0) == HR_ERROR) {
    RequestClose(SO_RECEIVE, 0, false);
    return false;
  }
  return true;
}

bool Connection::ArmRead() {
  std::lock_guard lock(mutex);
  if (Closing()) return false;
  if (state.load() == ConnectionState::kHolding) {
    // Already drained: the wake comes at once, as a turn of its own.
    // Otherwise the write side sends it (OnWritable), a close hands the
    // connection back to its driver (CloseLocked), and the server's sweep
    // closes it when its peer stops reading altogether.
    if (queue.Pending() == 0) {
      state.store(ConnectionState::kReading);
      LoopPool::Post(shared_from_this(), Event::kWake);
    } else {
      state.store(ConnectionState::kHeld);
    }
    return true;
  }
  if (queue.Pending() > kReadPauseBytes) {
    // The write side reads on once the queue is down (OnWritable), a close
    // hands the connection back to its driver (CloseLocked), and the
    // server's sweep closes it when its peer stops reading altogether.
    state.store(ConnectionState::kPaused);
  } else {
    state.store(ConnectionState::kReading);
    ArmReadWaitLocked();
  }
  return true;
}

void Connection::ArmReadWaitLocked() {
  // The wait is armed under the mutex, so a close request either sees it
  // (and its shutdown wakes it) or comes before it (and we saw kClosing).
  socket.async_read_some(asio::buffer(firstRead),
                         [self = shared_from_this()](const asio::error_code& error, size_t length) mutable {
                           self->firstError = error;
                           self->firstLength = length;
                           LoopPool& loops = self->pool;
                           loops.Schedule(std::move(self), Event::kReady);
                         });
}

void Connection::Finish() {
  En_HP_SocketOperation operation = SO_UNKNOWN;
  int error = 0;
  {
    std::lock_guard lock(mutex);
    if (state.load() == ConnectionState::kClosed) return;
    if (queue.Pending() > 0) {
      // Still flushing: the write side hands the connection back when it is
      // done, and the sweep drops it when its peer stops reading.
      state.store(ConnectionState::kFlushing);
      return;
    }
    operation = closeOperation;
    error = closeError;
  }
  const Listener& listener = server.Callbacks();
  if (listener.onClose != nullptr) listener.onClose(id, operation, error);
  {
    std::lock_guard lock(mutex);
    state.store(ConnectionState::kClosed);
    // Read what the peer sent and nobody will handle: closing a socket with
    // unread bytes resets the connection, and the reset can overtake the
    // answer still on its way to the peer.
    uint8_t* const buffer = tl_thread.readBuffer;
    for (int round = 0; buffer != nullptr && round < 4; ++round) {
      asio::error_code readError;
      socket.read_some(asio::buffer(buffer, kReadBufferSize), readError);
      if (readError) break;
    }
    asio::error_code ignored;
    socket.close(ignored);
    queue.Release();
  }
  server.Table().Remove(id);
}

// ---- Closing ------------------------------------------------------------------

void Connection::RequestClose(En_HP_SocketOperation operation, int error, bool dropQueued) {
  std::lock_guard lock(mutex);
  CloseLocked(operation, error, dropQueued);
}

void Connection::CloseIfStill(ConnectionState expected, uint64_t since) {
  std::lock_guard lock(mutex);
  if (state.load() != expected || lastActivity.load(std::memory_order_relaxed) > since) return;
  CloseLocked(SO_CLOSE, 0, true);
}

void Connection::CloseIfPhaseStill(En_HP_RequestPhase expected, const std::atomic<uint64_t>& stamp, uint64_t since) {
  std::lock_guard lock(mutex);
  if (Closing() || phase.load() != expected || stamp.load(std::memory_order_relaxed) > since) return;
  CloseLocked(SO_CLOSE, 0, true);
}

void Connection::CloseLocked(En_HP_SocketOperation operation, int error, bool dropQueued) {
  const ConnectionState was = state.load();
  if (was == ConnectionState::kClosed) return;
  if (was < ConnectionState::kClosing) {
    closeOperation = operation;
    closeError = error;
    state.store(ConnectionState::kClosing);
  }
  if (dropQueued) queue.Clear();
  if (was == ConnectionState::kPaused || was == ConnectionState::kHeld) {
    // No read wait is there to wake the driver: hand it the connection to
    // close (it waits in kFlushing if bytes are still to be written).
    LoopPool::Post(shared_from_this(), Event::kReady);
  }
  asio::error_code ignored;
  if (queue.Pending() == 0) {
    // Bytes already in the kernel still go out before the FIN.
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.cancel(ignored);
    ResumeFlushedLocked();
  } else {
    // Stop reading (this wakes a pending read wait) and let the queue drain.
    socket.shutdown(asio::socket_base::shutdown_receive, ignored);
  }
}

void Connection::ResumeFlushedLocked() {
  if (state.load() != ConnectionState::kFlushing) return;
  state.store(ConnectionState::kClosing);
  LoopPool::Post(shared_from_this(), Event::kReady);
}

// ---- Writing ------------------------------------------------------------------

bool Connection::WriteLocked(const uint8_t* data, size_t length, size_t& written) {
  written = 0;
  for (int round = 0; written < length && round < 16; ++round) {
    asio::error_code error;
    const size_t count = socket.write_some(asio::buffer(data + written, length - written), error);
    if (WouldBlock(error)) break;
    if (error == asio::error::interrupted) continue;
    if (error) {
      CloseLocked(SO_SEND, error.value(), true);
      return false;
    }
    written += count;
    // A short write means the kernel's buffer is full: asking again would
    // only fail, and the write wait reports when there is room.
    if (count < length - (written - count)) break;
  }
  if (written > 0) Touch();
  return true;
}

bool Connection::WriteFileLocked(platform::NativeFile file, int64_t offset, int64_t length, size_t& written,
                                 bool& full) {
  written = 0;
  full = false;
  // One call moves at most this much, so that a loop thread returns to its
  // other connections between slices of a large file.
  constexpr size_t kSlice = 4u * 1024 * 1024;
  const intptr_t handle = static_cast<intptr_t>(socket.native_handle());
  for (int round = 0; static_cast<int64_t>(written) < length && round < 4; ++round) {
    const size_t want = std::min(static_cast<size_t>(std::min<int64_t>(length - static_cast<int64_t>(written), kSlice)),
                                 platform::SendFileLargestCall());
    size_t sent = 0;
    const platform::SendFileStatus status =
        platform::SendFileToSocket(handle, file, offset + static_cast<int64_t>(written), want, sent);
    if (status == platform::SendFileStatus::kWouldBlock) {
      full = true;
      break;
    }
    if (status == platform::SendFileStatus::kSent) {
      written += sent;
      // Short: the socket's buffer is full. Another call now would only
      // fail, and the kernel would first have read file pages for it in
      // vain; the write wait reports when there is room.
      if (sent < want) {
        full = true;
        break;
      }
      continue;
    }
    // The file shrank under us or cannot be read: the answer can never be
    // completed, and anything sent after it would be read as its body.
    CloseLocked(SO_SEND,
                status == platform::SendFileStatus::kEndOfFile ? platform::ErrorCodeOf(platform::ErrorName::kEndOfFile)
                                                               : platform::LastErrorCode(),
                true);
    return false;
  }
  if (written > 0) Touch();
  return true;
}

void Connection::ArmWriteLocked() {
  socket.async_wait(asio::socket_base::wait_write,
                    [self = shared_from_this()](const asio::error_code& error) { self->OnWritable(error); });
}

bool Connection::FlushLocked() {
  // Bounded: a fast reader cannot keep this thread here for ever.
  for (int round = 0; round < 16 && queue.Pending() > 0; ++round) {
    size_t written = 0;
    bool full = false;
    if (queue.FrontLength() > 0) {
      const size_t wanted = queue.FrontLength();
      if (!WriteLocked(queue.Data(), wanted, written)) return false;
      queue.Consume(written);
      full = written < wanted;
    } else if (SendQueue::FileRegion* region = queue.FrontFile()) {
      if (!WriteFileLocked(region->file.Handle(), region->offset, region->length, written, full)) return false;
      queue.ConsumeFile(written);
    } else {
      break;
    }
    if (full || written == 0) break;  // the kernel takes no more now
  }
  return true;
}

bool Connection::Send(const uint8_t* data, size_t length) {
  std::lock_guard lock(mutex);
  if (Closing()) return false;
  if (queue.MemoryPending() + length > kMaxQueuedBytes) return false;
  // Nothing queued means no write wait is armed: the bytes may go straight
  // to the kernel, in order.
  const bool direct = queue.Pending() == 0;
  size_t written = 0;
  if (direct && length > 0 && !WriteLocked(data, length, written)) return false;
  if (written < length) {
    try {
      queue.Append(data + written, length - written);
    } catch (...) {
      return false;
    }
    if (direct) ArmWriteLocked();
  }
  return true;
}

bool Connection::SendFile(platform::NativeFile file, int64_t offset, int64_t length, const uint8_t* head,
                          size_t headLength) {
  std::lock_guard lock(mutex);
  if (Closing()) return false;
  if (queue.MemoryPending() + headLength > kMaxQueuedBytes) return false;
  const bool wasEmpty = queue.Pending() == 0;
  bool direct = wasEmpty;
  size_t headWritten = 0;
  if (direct && headLength > 0) {
    // With more to come the kernel holds a short head back for the file
    // bytes that follow at once, so both leave in full segments.
    const int64_t n =
        platform::SendToSocketWithMoreToCome(static_cast<intptr_t>(socket.native_handle()), head, headLength);
    if (n < 0 && !platform::IsWouldBlock(platform::LastErrorCode())) {
      CloseLocked(SO_SEND, platform::LastErrorCode(), true);
      return false;
    }
    if (n > 0) {
      headWritten = static_cast<size_t>(n);
      Touch();
    }
    direct = headWritten == headLength;
  }
  size_t written = 0;
  bool full = false;
  if (direct && length > 0 && !WriteFileLocked(file, offset, length, written, full)) return false;
  if (headWritten < headLength || static_cast<int64_t>(written) < length) {
    // The rest goes out on write readiness, from a handle of our own: the
    // caller closes its handle as soon as this returns.
    try {
      if (headWritten < headLength) queue.Append(head + headWritten, headLength - headWritten);
      if (static_cast<int64_t>(written) < length) {
        platform::File own = platform::DuplicateFile(file);
        if (!own) {
          // Part of the answer may be queued already: it cannot be completed.
          CloseLocked(SO_SEND, platform::LastErrorCode(), true);
          return false;
        }
        queue.AppendFile(std::move(own), offset + static_cast<int64_t>(written),
                         length - static_cast<int64_t>(written));
      }
    } catch (...) {
      CloseLocked(SO_SEND, platform::ErrorCodeOf(platform::ErrorName::kNoMemory), true);
      return false;
    }
    if (wasEmpty) ArmWriteLocked();
  }
  return true;
}

bool Connection::PendingBytes(size_t& pending) {
  std::lock_guard lock(mutex);
  if (state.load() == ConnectionState::kClosed) return false;
  pending = queue.Pending();
  return true;
}

void Connection::OnWritable(const asio::error_code& error) {
  std::lock_guard lock(mutex);
  if (state.load() == ConnectionState::kClosed) return;
  if (error && error != asio::error::operation_aborted) {
    CloseLocked(SO_SEND, error.value(), true);
    return;
  }
  if (!FlushLocked()) return;
  if (state.load() == ConnectionState::kPaused && queue.Pending() <= kReadPauseBytes) {
    state.store(ConnectionState::kReading);
    ArmReadWaitLocked();
  } else if (state.load() == ConnectionState::kHeld && queue.Pending() == 0) {
    state.store(ConnectionState::kReading);
    LoopPool::Post(shared_from_this(), Event::kWake);
  }
  if (queue.Pending() > 0) {
    ArmWriteLocked();
  } else if (Closing()) {
    // The last queued byte of a closing connection is out.
    asio::error_code ignored;
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    ResumeFlushedLocked();
  }
}

}  // namespace zevra::socket
