// The built-in error pages: one template, one responder per status.
#pragma once

#include <string>
#include <string_view>

#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// The page as UTF-8 bytes, from its title, heading and text (lines of the
// text separated by CR LF).
// All three are the system's own texts and go in as they stand.
std::string BuildErrorPage(std::string_view title, std::string_view heading, std::string_view text);

// The same page with further lines that came from a request or from the
// file system (a detail, a local path; lines separated by CR LF). They are
// HTML-escaped and inserted after the template's placeholders have been
// replaced, so no request text can reach a placeholder or the markup.
std::string BuildErrorPage(std::string_view title, std::string_view heading, std::string_view text,
                           std::string_view foreignText);

// & < > " ' as character references.
std::string EscapeHtml(std::string_view text);

// Sends the page for status (400, 403, 404, 405, 411, 413, 414, 500, 501,
// 502, 503 or 504) with its access-log line, and disconnects as that status requires.
// detail is shown only when Debug is on, and only for the statuses that take
// one. Does not reset the request state: the caller ends the request.
void SendErrorPage(int status, const HttpRequest& request, ResponseHead& response, ConnId conn,
                   std::string_view detail = {});

}  // namespace zevra
