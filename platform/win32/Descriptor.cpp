#include "platform/Descriptor.h"

#include <winsock2.h>
#include <windows.h>

namespace zevra::platform {

bool SetHandleNotInherited(intptr_t handle) {
  return ::SetHandleInformation(reinterpret_cast<HANDLE>(handle), HANDLE_FLAG_INHERIT, 0) != 0;
}

bool SetListenerAddressUse(intptr_t handle) {
  const BOOL on = TRUE;
  return ::setsockopt(static_cast<SOCKET>(handle), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

intptr_t AcceptNonBlockingNotInherited(intptr_t listener, void* peer, size_t* peerLength) {
  int length = static_cast<int>(*peerLength);
  const SOCKET s = ::accept(static_cast<SOCKET>(listener), static_cast<sockaddr*>(peer), &length);
  if (s == INVALID_SOCKET) {
    ::SetLastError(static_cast<DWORD>(::WSAGetLastError()));
    return -1;
  }
  u_long nonBlocking = 1;
  if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int error = ::WSAGetLastError();
    ::closesocket(s);
    ::SetLastError(static_cast<DWORD>(error));
    return -1;
  }
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  *peerLength = static_cast<size_t>(length);
  return static_cast<intptr_t>(s);
}

void CloseSocketHandle(intptr_t socket) { ::closesocket(static_cast<SOCKET>(socket)); }

}  // namespace zevra::platform

namespace zevra::platform {

// Windows sets no per-process limit on handles that a server could raise:
// a process may hold about 16 million.
uint64_t DescriptorLimit() { return 0; }
uint64_t RaiseDescriptorLimit() { return 0; }

}  // namespace zevra::platform
