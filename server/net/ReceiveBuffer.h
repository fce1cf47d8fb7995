// Receive buffering: every chunk the library delivers for a connection,
// collected into complete requests and handed to the handlers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/net/ConnectionContext.h"
#include "server/net/ServerLink.h"

namespace zevra {

void HandleReceivedData(ConnId conn, const uint8_t* data, size_t length);
void SendContinue(ConnId conn);
// Returns the connection to idle after an answered request; frees the head
// and the body and removes a finished spool file.
void ResetRequestState(ConnId conn);

// Path of a spool file in WebTemp: "Recving_N.Zevra" while the body
// arrives, "Done_N.Zevra" once it is complete.
std::string SpoolFilePath(uint64_t spoolNumber, bool done);

}  // namespace zevra
