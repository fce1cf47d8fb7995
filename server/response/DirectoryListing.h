// The directory listing: one HTML page with the sub-directories, then the
// files of a directory, each with an icon class, its size and its date.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

struct ListingIcon {
  const char* className;  // "bkrtn" ...
  const char* pngBase64;  // a 16 x 16 PNG
};
inline constexpr size_t kListingIconCount = 13;
// In the page's order: bkrtn, bkdir, bkfile, bkmovie, bkhtml, bkmusic,
// bkphp, bkscript, bkimage, bkbinary, bkoffice, bkjava, bkcss.
extern const ListingIcon kListingIcons[kListingIconCount];

// A page lists at most this many entries: beyond it the page would only
// cost memory and time on both sides.
inline constexpr size_t kMaxListingEntries = 65536;

// The icon class of a file by its extension (exact case): "bkcss",
// "bkhtml" (also for a name without a dot), ... or "bkfile".
const char* ListingIconClass(std::string_view fileName);
// "2016-03-05 08:09:07".
std::string FormatListingDate(const platform::CivilTime& time);
// As the Windows shell writes sizes: "532 bytes", "1.21 KB", "0.99 MB":
// base 1024, the next unit once the figure would reach 1000, three
// significant digits, cut off rather than rounded.
std::string FormatFileSize(int64_t bytes);

// A path for a link: every byte but letters, digits, "-._~" and "/"
// percent-encoded, so a name cannot end the attribute or smuggle a scheme.
std::string EncodeUrlPath(std::string_view path);

// The whole page (UTF-8) for the directory at localDirectory, shown as
// urlPath (the decoded request path in "/" form). entryCount gets the number
// of listed entries.
std::string BuildListingPage(const std::string& localDirectory, std::string urlPath, size_t& entryCount);

// Answers the request with the listing and its access line. Keeps or
// closes the connection by response.Connection; does not reset the request
// state (the dispatcher ends the request).
void SendDirectoryListing(const std::string& localDirectory, const std::string& urlPath, const HttpRequest& request,
                          ResponseHead& response, ConnId conn);

}  // namespace zevra
