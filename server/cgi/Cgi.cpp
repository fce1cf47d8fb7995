// Interim gateway: answers every CGI request with 502 until the real
// gateway lands in this file. Nothing tests this answer.
#include "server/cgi/Cgi.h"

#include "server/response/ErrorPages.h"

namespace zevra {

void RunCgi(ConnId conn, HttpRequest& request, ResponseHead& response, std::string&, std::string&,
            std::string&, std::string&, const CgiBodySource&) {
  SendErrorPage(502, request, response, conn, "CGI 网关尚未启用。");
}

}  // namespace zevra
