// Response heads, the MIME table, HTTP dates and the one send operation
// every head and body goes out through.
#pragma once

#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "server/core/ServerLink.h"
#include "server/core/HttpRequest.h"

namespace zevra {

// Normalises the answer record in place and returns status line, header
// lines and the blank line.
std::string BuildResponseHead(ResponseHead& head);

// The extension used for MIME types and listing icons: the last dot-piece,
// or "html" for a name without a dot.
std::string ExtensionOf(std::string_view fileName);
const char* MimeTypeForExtension(std::string_view extension);
// Whether an answer of this Content-Type gets smaller under gzip: text,
// scripts, styles, JSON, XML and SVG and a few uncompressed binary formats;
// not images, audio, video, archives or WOFF fonts. Parameters are ignored;
// an empty type (served as HTML) counts as compressible.
bool IsCompressibleType(std::string_view mimeType);

// RFC 1123 form: "Sat, 05 Mar 2016 08:09:07 GMT". The weekday is worked
// out from the calendar date, so a hand-filled time needs none.
std::string FormatHttpDate(const platform::CivilTime& time);
platform::CivilTime CurrentUtcTime();
// FormatHttpDate(CurrentUtcTime()), formatted once per second per thread.
// The view stays valid on the calling thread until its next call.
std::string_view CurrentHttpDate();

// True when an Accept-Encoding value names gzip as one of its codings (any
// letter case) without refusing it by a quality of zero ("gzip;q=0").
// The one rule for whether an answer may be sent compressed.
bool AcceptsGzip(std::string_view acceptEncoding);

// Hands the whole buffer to the library's send in one call.
bool SendBytes(ConnId conn, std::string_view bytes);

}  // namespace zevra
