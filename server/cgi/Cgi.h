// The CGI gateway: one child process per request, its output relayed as
// the answer.
#pragma once

#include <cstdint>
#include <string>

#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// How a POST body reaches the gateway.
struct CgiBodySource {
  enum Kind { kNone, kMemory, kSpooled };
  Kind kind = kNone;
  const char* data = nullptr;  // kMemory: the context's body buffer
  int64_t length = 0;          // kMemory and kSpooled: the body length
  uint64_t spoolNumber = 0;    // kSpooled: names WebTemp/Done_N.Zevra
};

// Runs the script for the request and answers it (or sends an error page).
// documentRoot gets a trailing separator added in place.
void RunCgi(ConnId conn, HttpRequest& request, ResponseHead& response, std::string& requestPath,
            std::string& scriptPath, std::string& documentRoot, std::string& cgiProgram,
            const CgiBodySource& body);

}  // namespace zevra
