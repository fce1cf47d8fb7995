// Folder redirects. A folder's default document or listing is served only
// at the folder's own address, the one ending in "/": served at "/app",
// the page's relative links ("style.css", "mod.mjs") would resolve against
// "/" and miss, so "/app" answers 301 to "/app/".
#include "server/response/Redirect.h"

#include "server/response/Answer.h"
#include "server/response/DirectoryListing.h"

namespace zevra {

std::string FolderLocation(std::string_view urlPath, std::string_view query) {
  std::string location = EncodeUrlPath(urlPath);
  location += '/';
  if (!query.empty()) {
    static const char kHex[] = "0123456789ABCDEF";
    location += '?';
    for (char ch : query) {
      const unsigned char c = static_cast<unsigned char>(ch);
      if (c <= 0x20 || c == 0x7F) {
        location += '%';
        location += kHex[c >> 4];
        location += kHex[c & 15];
      } else {
        location += ch;
      }
    }
  }
  return location;
}

void SendFolderRedirect(const HttpRequest& request, ResponseHead& response, ConnId conn,
                        std::string_view location) {
  response.Status = "301 Moved Permanently";
  // A 3xx head carries no Content-Length of its own (the head builder
  // drops it with the type and encoding); without one a client would read
  // until the connection closes. The field goes with the extra lines.
  response.ExtraHeaders += "Location: ";
  response.ExtraHeaders += location;
  response.ExtraHeaders += "\r\nContent-Length: 0\r\n";
  response.AcceptRanges.clear();
  FinishAnswer(conn, request, response, Answer{});
}

}  // namespace zevra
