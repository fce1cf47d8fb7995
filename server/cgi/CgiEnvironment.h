// The environment of a CGI child: exactly the variables built here, in a
// fixed order, and nothing of the server's own environment.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/core/HttpRequest.h"

namespace zevra {

// "NAME=value" texts in the process code page, in this order: SERVER_NAME,
// one HTTP_ variable per request header line (request.HeaderLines, in
// arrival order), then SERVER_SOFTWARE ... SYSTEMROOT. A header named Proxy
// gives no HTTP_PROXY (httpoxy), and a line whose name is not an HTTP token
// gives nothing, so no request can plant "=" or other bytes in a name.
std::vector<std::string> BuildCgiEnvironment(std::string_view method, const HttpRequest& request,
                                             std::string_view scriptName, std::string_view scriptPath,
                                             std::string_view query, std::string_view remoteAddress,
                                             std::string_view remotePort, std::string_view listenAddress,
                                             std::string_view documentRoot, std::string_view contentLength,
                                             std::string_view contentType, std::string_view pathTranslated,
                                             std::string_view requestUri);

// The HTTP_ variable name of a header ("User-Agent" -> "HTTP_USER_AGENT"),
// or empty when the header must not produce one.
std::string HeaderVariableName(std::string_view headerName);

}  // namespace zevra
