// The worker's link to the socket library: ServerLink over the HP C
// interface of one server object.
#pragma once

#include "server/core/ServerLink.h"
#include "socket/HPSocket.h"

namespace zevra {

class HpServerLink : public ServerLink {
 public:
  void Bind(HP_Server server) { server_ = server; }

  bool Send(ConnId conn, const void* data, size_t length) override;
  bool SendsFiles() override { return true; }
  bool SendFile(ConnId conn, std::string_view head, const platform::File& file, int64_t offset,
                int64_t length) override;
  // Marks the context closing first, so that receive buffering handles no
  // further request of a connection that is on its way out.
  bool Disconnect(ConnId conn) override;
  bool PendingBytes(ConnId conn, int64_t& pending) override;
  ConnectionContext* Context(ConnId conn) override;
  bool SetContext(ConnId conn, ConnectionContext* context) override;
  uint32_t ConnectionCount() override;
  bool RemoteAddress(ConnId conn, std::string& address, uint16_t& port) override;
  bool ListenAddress(std::string& address, uint16_t& port) override;
  void SetRequestPhase(ConnId conn, RequestPhase phase) override;
  bool HoldReceive(ConnId conn) override;
  bool DeferFileWrite(const platform::File& file, std::string_view bytes) override;
  void FlushDeferredWrites() override;

 private:
  HP_Server server_ = nullptr;
};

}  // namespace zevra
