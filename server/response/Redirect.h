// The redirect a folder named without its trailing slash gets: one head,
// no body, the connection kept or closed by the answer's Connection field.
#pragma once

#include <string>
#include <string_view>

#include "server/core/HttpRequest.h"
#include "server/core/ServerLink.h"

namespace zevra {

// The Location of a folder's own address: urlPath ("/" form, decoded) with
// "/" appended, percent-encoded as the listing encodes its links, then "?"
// and the query as the client sent it when there is one. Control bytes and
// blanks in the query are encoded too, so no byte of it can end the field.
std::string FolderLocation(std::string_view urlPath, std::string_view query);

// "301 Moved Permanently" to location, with "Content-Length: 0" so that a
// kept-alive connection knows where the answer ends; logged like any answer.
void SendFolderRedirect(const HttpRequest& request, ResponseHead& response, ConnId conn,
                        std::string_view location);

}  // namespace zevra
