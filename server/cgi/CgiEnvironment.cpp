#include "server/cgi/CgiEnvironment.h"

#include "common/Text.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

void Add(std::vector<std::string>& environment, std::string_view name, std::string_view value) {
  std::string entry;
  entry.reserve(name.size() + value.size());
  entry += name;
  entry += value;
  // Internal UTF-8: the platform converts it for the child.
  environment.push_back(std::move(entry));
}

}  // namespace

std::string HeaderVariableName(std::string_view headerName) {
  if (!IsHttpToken(headerName)) return std::string();
  // httpoxy: a client must not be able to set HTTP_PROXY, which many
  // libraries take as the proxy for the program's own outgoing requests.
  if (EqualsIgnoreCase(headerName, "Proxy")) return std::string();
  std::string name = "HTTP_";
  name.reserve(5 + headerName.size());
  for (char c : headerName) name += c == '-' ? '_' : AsciiUpperChar(c);
  return name;
}

std::vector<std::string> BuildCgiEnvironment(std::string_view method, const HttpRequest& request,
                                             std::string_view scriptName, std::string_view scriptPath,
                                             std::string_view query, std::string_view remoteAddress,
                                             std::string_view remotePort, std::string_view listenAddress,
                                             std::string_view documentRoot, std::string_view contentLength,
                                             std::string_view contentType, std::string_view pathTranslated,
                                             std::string_view requestUri) {
  std::vector<std::string> environment;
  environment.reserve(32);
  Add(environment, "SERVER_NAME=", g_startup.computerName);

  for (std::string_view line : SplitText(request.HeaderLines, "\r\n")) {
    size_t colon = line.find(": ");
    if (colon == std::string_view::npos) continue;  // also skips empty lines
    std::string name = HeaderVariableName(line.substr(0, colon));
    if (name.empty()) continue;
    name += '=';
    Add(environment, name, line.substr(colon + 2));
  }

  Add(environment, "SERVER_SOFTWARE=", kVersionText);
  Add(environment, "SERVER_PORT=", std::to_string(g_settings.Port));
  Add(environment, "GATEWAY_INTERFACE=", "CGI/1.1");
  Add(environment, "CONTENT_TYPE=", contentType);
  Add(environment, "CONTENT_LENGTH=", contentLength);
  Add(environment, "SCRIPT_NAME=", scriptName);
  Add(environment, "SCRIPT_FILENAME=", scriptPath);
  Add(environment, "REQUEST_METHOD=", method);
  Add(environment, "SERVER_PROTOCOL=", "HTTP/1.1");
  Add(environment, "QUERY_STRING=", query);
  Add(environment, "REDIRECT_STATUS=", "200");
  Add(environment, "REMOTE_ADDR=", remoteAddress);
  Add(environment, "REMOTE_HOST=", remoteAddress);
  Add(environment, "DOCUMENT_ROOT=", documentRoot);
  Add(environment, "SERVER_ADMIN=", g_settings.ServerAdmin);
  Add(environment, "REMOTE_PORT=", remotePort);
  Add(environment, "LOCAL_ADDR=", listenAddress);
  Add(environment, "SERVER_ADDR=", listenAddress);
  Add(environment, "PATH_TRANSLATED=", pathTranslated);
  Add(environment, "REQUEST_URI=", requestUri);
  Add(environment, "SYSTEMROOT=", g_startup.windowsDirectory);
  return environment;
}

}  // namespace zevra
