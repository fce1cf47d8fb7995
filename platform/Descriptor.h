// Inheritance of OS handles by child processes. Sockets the server accepts
// must not leak into the CGI children it starts: a child holding a copy
// would keep a closed connection alive until the child exits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zevra::platform {

// Marks the handle (a descriptor on POSIX, a SOCKET on Windows) as not
// inherited by child processes. False when the OS refused.
bool SetHandleNotInherited(intptr_t handle);

// Prepares a socket that will listen: a restarted worker must bind its port
// while the last worker's connections sit in TIME_WAIT, yet never bind a
// port another socket already listens on. POSIX gets both from
// SO_REUSEADDR; on Windows SO_REUSEADDR would let two servers share one
// port, so there the port is claimed exclusively instead. False when the
// OS refused.
bool SetListenerAddressUse(intptr_t handle);

// Takes one connection off a listening socket, the new socket already
// non-blocking and not inherited by child processes: one system call where
// accept and then setting both would take more, per connection. `peer`
// receives the peer's address (room for *peerLength bytes; *peerLength is
// set to its length). The socket, or -1 with the error in LastErrorCode
// (would-block when none is waiting).
intptr_t AcceptNonBlockingNotInherited(intptr_t listener, void* peer, size_t* peerLength);
// Closes a socket handle that nothing else owns yet.
void CloseSocketHandle(intptr_t socket);

// How many descriptors (handles) the process may hold open at once; 0 when
// the platform sets no such limit.
uint64_t DescriptorLimit();
// Raises that limit as far as the process may (on POSIX the soft limit to
// the hard one): every connection holds a descriptor, and a worker started
// with the common default of 1024 would run out long before its connection
// limit. The limit in force afterwards.
uint64_t RaiseDescriptorLimit();

}  // namespace zevra::platform
