// One parsed request, or the head of one answer: the same 40-field record
// serves both sides. Texts are UTF-8; Body is raw bytes.
#pragma once

#include <string>

namespace zevra {

struct HttpRequest {
  std::string LocalPath;        // 0  full local path of the resource (set by dispatch)
  std::string Uri;              // 1  decoded path rebuilt with "/", then "?" and the query as sent
  std::string Method;           // 2
  std::string Directory;        // 3  decoded target up to its last "/", in local separators
  std::string FileName;         // 4
  std::string Query;            // 5  after the target's first "?", as sent (never decoded)
  std::string Version;          // 6
  std::string Status;           // 7  "200 OK" on the answer side
  std::string Host;             // 8
  std::string UserAgent;        // 9
  std::string Accept;           // 10
  std::string ContentType;      // 11
  std::string AcceptEncoding;   // 12
  std::string ContentEncoding;  // 13
  std::string AcceptLanguage;   // 14
  std::string AcceptCharset;    // 15
  std::string XPoweredBy;       // 16
  std::string IfModifiedSince;  // 17
  std::string IfNoneMatch;      // 18
  std::string Server;           // 19
  std::string Referer;          // 20
  std::string CacheControl;     // 21
  std::string Pragma;           // 22
  std::string Expires;          // 23
  std::string Date;             // 24
  std::string LastModified;     // 25
  std::string Connection;       // 26
  std::string Vary;             // 27
  std::string Origin;           // 28
  std::string SetCookie;        // 29
  std::string ContentLength;    // 30 decimal text
  std::string ETag;             // 31
  std::string Range;            // 32
  std::string AcceptRanges;     // 33
  std::string ContentRange;     // 34
  std::string Cookie;           // 35 every Cookie value, joined without separator
  std::string Body;             // 36 bytes after the head, at most ContentLength
  std::string ExtraHeaders;     // 37 raw header lines, each ending in CR LF
  std::string HeaderLines;      // 38 every accepted header line, joined by CR LF
  std::string ScriptPath;       // 39 local path of a CGI script (set by dispatch)
  std::string IfRange;          // 40 "If-Range": the version a Range is meant for
};

// The answer side of the record.
using ResponseHead = HttpRequest;

}  // namespace zevra
