// A fake link to one connection, as the worker's link shows it to receive
// buffering: what was sent, how often it was force-closed, and the context
// attached. A forced disconnect marks the context closing, as the real link
// does. Shared by the receive-buffering tests and their fuzz target.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "server/core/ConnectionContext.h"
#include "server/core/ServerLink.h"

namespace zevra::fakes {

class FakeConnectionLink : public ServerLink {
 public:
  bool Send(ConnId, const void* data, size_t length) override {
    sent.append(static_cast<const char*>(data), length);
    return !disconnected;
  }
  bool Disconnect(ConnId conn) override {
    ++disconnects;
    disconnected = true;
    if (ConnectionContext* ctx = Context(conn)) {
      std::lock_guard<std::recursive_mutex> guard(ctx->lock);
      ctx->closing = 1;
    }
    return true;
  }
  bool PendingBytes(ConnId, int64_t& pending) override {
    pending = 0;
    return true;
  }
  ConnectionContext* Context(ConnId conn) override {
    auto it = contexts.find(conn);
    return it == contexts.end() ? nullptr : it->second;
  }
  bool SetContext(ConnId conn, ConnectionContext* context) override {
    contexts[conn] = context;
    return true;
  }
  uint32_t ConnectionCount() override { return 1; }
  bool RemoteAddress(ConnId, std::string& address, uint16_t& port) override {
    address = "127.0.0.1";
    port = 40000;
    return true;
  }
  bool ListenAddress(std::string& address, uint16_t& port) override {
    address = "0.0.0.0";
    port = 80;
    return true;
  }

  std::map<ConnId, ConnectionContext*> contexts;
  std::string sent;
  int disconnects = 0;
  bool disconnected = false;
};

}  // namespace zevra::fakes
