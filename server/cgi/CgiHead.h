// Reading the head of a CGI program's output.
#pragma once

#include <string_view>

#include "server/core/HttpRequest.h"

namespace zevra {

// The head a program wrote (the bytes before its blank line), as an answer
// record. Lines are "Name: value"; the first line without ": " ends the
// parse. Known names fill their fields (a later line replaces an earlier
// one); any other line goes whole into ExtraHeaders, except
// Transfer-Encoding, which would contradict the framing the relay sends.
// Empty Content-Type and Status become "text/html" and "200 OK".
ResponseHead ParseCgiHead(std::string_view head);

}  // namespace zevra
