// The access log and the error log: one time-stamped line per append, each
// landing whole even when several threads and processes append at once.
#pragma once

#include <string>
#include <string_view>

#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// Opens the logs (created when missing, appended to when present). An
// empty path leaves that log closed. Failures are silent: lines are lost.
void OpenAccessLog(const std::string& path);
void OpenErrorLog(const std::string& path);
void CloseAccessLog();
void CloseErrorLog();
bool AccessLogIsOpen();

// Appends timestamp + " - - " + message + CR LF in one write.
void AppendAccessLog(std::string_view message);
void AppendErrorLog(std::string_view message);

// Local time as YYYY-MM-DD HH:MM:SS.
std::string LogTimestamp();

// Text that came from a request, made safe for a log line: bytes below 0x20
// and 0x7F become \xHH, so no request can split or forge a line.
std::string EscapeLogText(std::string_view text);

// The access-log message of an answer: address ":" port " \"" method " "
// path " HTTP/1.1\" " status " " length " \"" User-Agent "\"", where path
// is the request's Directory (with "/") and FileName; without withPort (the
// listing's line) the address stands alone. Request texts are escaped.
// Asks the library for the peer once.
std::string AccessLogMessage(ConnId conn, const HttpRequest& request, std::string_view status,
                             std::string_view contentLength, bool withPort = true);

// The peer's address and port of a connection, as texts.
std::string RemoteAddressText(ConnId conn);
std::string RemotePortText(ConnId conn);

// The system's message for an error code.
std::string SystemErrorText(int code);

}  // namespace zevra
