#include "server/net/HpServerLink.h"

#include <climits>
#include <mutex>

#include "server/core/ConnectionContext.h"

namespace zevra {
namespace {

// Room for any address text the library gives (dotted IPv4 needs 16).
constexpr int kAddressBuffer = 64;

}  // namespace

bool HpServerLink::Send(ConnId conn, const void* data, size_t length) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  // The library takes an int length; larger buffers go in order, in pieces.
  do {
    int piece = length > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
    if (!HP_Server_Send(server_, conn, bytes, piece)) return false;
    bytes += piece;
    length -= static_cast<size_t>(piece);
  } while (length > 0);
  return true;
}

bool HpServerLink::SendFile(ConnId conn, std::string_view head, const platform::File& file, int64_t offset,
                            int64_t length) {
  if (head.size() > static_cast<size_t>(INT_MAX)) return false;
  return HP_TcpServer_SendFileWithHead(server_, conn, reinterpret_cast<const uint8_t*>(head.data()),
                                       static_cast<int>(head.size()), platform::NativeFileToInteger(file.Handle()), offset,
                                       length) != 0;
}

bool HpServerLink::Disconnect(ConnId conn) {
  if (ConnectionContext* context = Context(conn)) {
    std::lock_guard<std::recursive_mutex> guard(context->lock);
    context->closing = 1;
  }
  return HP_Server_Disconnect(server_, conn, 1) != 0;
}

bool HpServerLink::PendingBytes(ConnId conn, int64_t& pending) {
  int count = 0;
  if (!HP_Server_GetPendingDataLength(server_, conn, &count)) return false;
  pending = count;
  return true;
}

ConnectionContext* HpServerLink::Context(ConnId conn) {
  void* extra = nullptr;
  if (!HP_Server_GetConnectionExtra(server_, conn, &extra)) return nullptr;
  return static_cast<ConnectionContext*>(extra);
}

bool HpServerLink::SetContext(ConnId conn, ConnectionContext* context) {
  return HP_Server_SetConnectionExtra(server_, conn, context) != 0;
}

uint32_t HpServerLink::ConnectionCount() { return HP_Server_GetConnectionCount(server_); }

bool HpServerLink::RemoteAddress(ConnId conn, std::string& address, uint16_t& port) {
  char text[kAddressBuffer] = {};
  int length = kAddressBuffer;
  if (!HP_Server_GetRemoteAddress(server_, conn, text, &length, &port)) return false;
  address.assign(text, length > 0 && length < kAddressBuffer ? static_cast<size_t>(length) : 0);
  return true;
}

void HpServerLink::SetRequestPhase(ConnId conn, RequestPhase phase) {
  static constexpr En_HP_RequestPhase kPhases[] = {RP_IDLE, RP_HEAD, RP_BODY, RP_ANSWERING};
  HP_Server_SetRequestPhase(server_, conn, kPhases[static_cast<int>(phase)]);
}

bool HpServerLink::HoldReceive(ConnId conn) { return HP_Server_HoldReceive(server_, conn) != 0; }

bool HpServerLink::DeferFileWrite(const platform::File& file, std::string_view bytes) {
  if (server_ == nullptr || !file.IsOpen() || bytes.size() > static_cast<size_t>(INT_MAX)) return false;
  return HP_Server_DeferFileWrite(server_, platform::NativeFileToInteger(file.Handle()),
                                  reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size())) != 0;
}

void HpServerLink::FlushDeferredWrites() {
  if (server_ != nullptr) HP_Server_FlushDeferredWrites(server_);
}

bool HpServerLink::ListenAddress(std::string& address, uint16_t& port) {
  char text[kAddressBuffer] = {};
  int length = kAddressBuffer;
  if (!HP_Server_GetListenAddress(server_, text, &length, &port)) return false;
  address.assign(text, length > 0 && length < kAddressBuffer ? static_cast<size_t>(length) : 0);
  return true;
}

}  // namespace zevra
