// The one stand-in for the socket library, for tests (and fuzz targets)
// that drive receive buffering or handlers without a network: it records
// what is sent and closed per connection, reports pending bytes and peer
// addresses as the test sets them, and can be told to refuse sends. A
// forced disconnect marks the context closing, as the program's link does.
// Thread-safe, so handlers may run on several threads against one instance.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/core/ConnectionContext.h"
#include "server/core/ServerLink.h"

namespace zevra::fakes {

class FakeLink : public ServerLink {
 public:
  struct Connection {
    std::string sent;         // every accepted byte, in order
    int sendCalls = 0;        // accepted and refused calls
    int fileSends = 0;        // accepted and refused SendFile calls
    int disconnects = 0;
    int64_t pending = 0;      // reported by PendingBytes
    bool gone = false;        // a closed connection refuses everything
    ConnectionContext* context = nullptr;
    std::string address = "127.0.0.1";
    uint16_t port = 50000;
  };

  // Installs itself as the process-wide link while it lives; a fake made
  // inside another's life hands the link back to it when it goes.
  FakeLink() : previous_(installed_) {
    installed_ = this;
    SetLink(this);
  }
  ~FakeLink() override {
    installed_ = previous_;
    SetLink(previous_);
  }
  FakeLink(const FakeLink&) = delete;
  FakeLink& operator=(const FakeLink&) = delete;

  bool Send(ConnId conn, const void* data, size_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    ++c.sendCalls;
    if (refuseSends_ || c.gone) return false;
    c.sent.append(static_cast<const char*>(data), length);
    return true;
  }
  // On by default, as the program's link: a queued file region is read at
  // once and recorded among the sent bytes. Off, handlers take the
  // mapped-view fallback.
  bool SendsFiles() override {
    std::lock_guard<std::mutex> guard(lock_);
    return sendsFiles_;
  }
  bool SendFile(ConnId conn, std::string_view head, const platform::File& file, int64_t offset,
                int64_t length) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    ++c.fileSends;
    if (!sendsFiles_ || refuseSends_ || c.gone || offset < 0 || length < 0) return false;
    c.sent.append(head);
    std::string bytes(static_cast<size_t>(length), '\0');
    int64_t got = 0;
    while (got < length) {
      const int64_t n = file.ReadAt(bytes.data() + got, static_cast<size_t>(length - got), offset + got);
      if (n <= 0) break;
      got += n;
    }
    c.sent.append(bytes, 0, static_cast<size_t>(got));
    return true;
  }
  bool Disconnect(ConnId conn) override {
    ConnectionContext* context = nullptr;
    bool wasOpen;
    {
      std::lock_guard<std::mutex> guard(lock_);
      Connection& c = connections_[conn];
      ++c.disconnects;
      wasOpen = !c.gone;
      if (wasOpen) context = c.context;
      if (closeOnDisconnect_) c.gone = true;
    }
    // Outside the fake's own lock, as the library takes the context's.
    if (context != nullptr) {
      std::lock_guard<std::recursive_mutex> guard(context->lock);
      context->closing = 1;
    }
    return wasOpen;
  }
  bool PendingBytes(ConnId conn, int64_t& pending) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    pending = c.pending;
    return !c.gone;
  }
  ConnectionContext* Context(ConnId conn) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    return c.gone ? nullptr : c.context;
  }
  bool SetContext(ConnId conn, ConnectionContext* context) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    if (c.gone) return false;
    c.context = context;
    return true;
  }
  uint32_t ConnectionCount() override {
    std::lock_guard<std::mutex> guard(lock_);
    return connectionCount_;
  }
  bool RemoteAddress(ConnId conn, std::string& address, uint16_t& port) override {
    std::lock_guard<std::mutex> guard(lock_);
    Connection& c = connections_[conn];
    if (c.gone) return false;
    address = c.address;
    port = c.port;
    return true;
  }
  bool ListenAddress(std::string& address, uint16_t& port) override {
    std::lock_guard<std::mutex> guard(lock_);
    address = listenAddress_;
    port = listenPort_;
    return true;
  }

  // What the tests look at and set. Copies, so they stay valid while a
  // handler keeps running on another thread.
  Connection State(ConnId conn) {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_[conn];
  }
  std::string Sent(ConnId conn) { return State(conn).sent; }
  int Disconnects(ConnId conn) { return State(conn).disconnects; }
  // A fresh record for the connection: nothing sent or closed, no context.
  void Reset(ConnId conn) {
    std::lock_guard<std::mutex> guard(lock_);
    connections_[conn] = Connection();
  }
  void SetPending(ConnId conn, int64_t pending) {
    std::lock_guard<std::mutex> guard(lock_);
    connections_[conn].pending = pending;
  }
  void SetRemote(ConnId conn, std::string address, uint16_t port) {
    std::lock_guard<std::mutex> guard(lock_);
    connections_[conn].address = std::move(address);
    connections_[conn].port = port;
  }
  void SetGone(ConnId conn, bool gone) {
    std::lock_guard<std::mutex> guard(lock_);
    connections_[conn].gone = gone;
  }
  void SetSendsFiles(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    sendsFiles_ = on;
  }
  void SetRefuseSends(bool refuse) {
    std::lock_guard<std::mutex> guard(lock_);
    refuseSends_ = refuse;
  }
  // By default a disconnect closes the connection, as the library's does.
  void SetCloseOnDisconnect(bool close) {
    std::lock_guard<std::mutex> guard(lock_);
    closeOnDisconnect_ = close;
  }
  void SetConnectionCount(uint32_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    connectionCount_ = count;
  }
  // Off by default: file writes are the caller's. On, they are kept as the
  // library keeps them until its loop ends a turn, and written by
  // FlushDeferredWrites.
  void SetDefersWrites(bool on) {
    std::lock_guard<std::mutex> guard(lock_);
    defersWrites_ = on;
  }
  bool DeferFileWrite(const platform::File& file, std::string_view bytes) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (!defersWrites_ || !file.IsOpen()) return false;
    deferred_.emplace_back(file.Handle(), std::string(bytes));
    return true;
  }
  void FlushDeferredWrites() override {
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [handle, bytes] : deferred_) {
      platform::File borrowed(handle);
      (void)borrowed.WriteAll(bytes.data(), bytes.size());
      borrowed.Release();
    }
    deferred_.clear();
  }
  size_t DeferredCount() {
    std::lock_guard<std::mutex> guard(lock_);
    return deferred_.size();
  }
  void SetListenAddress(std::string address, uint16_t port) {
    std::lock_guard<std::mutex> guard(lock_);
    listenAddress_ = std::move(address);
    listenPort_ = port;
  }

 private:
  inline static FakeLink* installed_ = nullptr;  // made and ended on the test's thread
  FakeLink* previous_;
  std::mutex lock_;
  std::map<ConnId, Connection> connections_;
  bool refuseSends_ = false;
  bool sendsFiles_ = true;
  bool closeOnDisconnect_ = true;
  bool defersWrites_ = false;
  std::vector<std::pair<platform::NativeFile, std::string>> deferred_;
  uint32_t connectionCount_ = 1;
  std::string listenAddress_ = "127.0.0.1";
  uint16_t listenPort_ = 8080;
};

}  // namespace zevra::fakes
