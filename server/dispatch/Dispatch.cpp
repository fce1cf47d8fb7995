// Request dispatch: a complete request in, exactly one answering path out
// (an error page, the CGI gateway, the static file or the listing), and
// every path ends with ResetRequestState.
#include "server/dispatch/Dispatch.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>

#include "common/HostFile.h"
#include "common/Text.h"
#include "platform/File.h"
#include "platform/FileCache.h"
#include "platform/Path.h"
#include "platform/System.h"
#include "platform/WindowsNames.h"
#include "server/cgi/Cgi.h"
#include "server/core/ConnectionContext.h"
#include "server/core/OsDetail.h"
#include "server/core/Runtime.h"
#include "server/net/RequestParser.h"
#include "server/dispatch/HostTable.h"
#include "server/response/DirectoryListing.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/response/Redirect.h"
#include "server/response/ResponseHead.h"
#include "server/response/StaticFile.h"

namespace zevra {
namespace {

// A requested path of this many bytes or more is refused with 414.
constexpr size_t kMaxRequestedPath = 255;

constexpr std::string_view kBadSiteDetail = "当前的站点配置参数有问题。\r\n错误发生在：域名 - ";
constexpr std::string_view kCgiForbiddenDetail = "当前的虚拟主机配置文件已经配置此站点禁止执行 CGI 应用程序。";

// Whether a comma-separated header value names token (any case).
bool HasToken(std::string_view value, std::string_view token) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    std::string_view item =
        TrimBlanks(value.substr(start, comma == std::string_view::npos ? value.npos : comma - start));
    if (EqualsIgnoreCase(item, token)) return true;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return false;
}

// A ".." segment (split at "/" and at "\", which Windows also takes for a
// separator) would climb out of the document root; the platform refuses
// what its file system would misread.
bool IsSafeRequestPath(std::string_view path) {
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/' || path[i] == '\\') {
      std::string_view segment = path.substr(start, i - start);
      if (segment == "..") return false;
      if (!platform::IsAcceptablePathSegment(segment)) return false;
      start = i + 1;
    }
  }
  return true;
}

// The detail reaches a page only with Debug on; without it the system's
// message text is not worth looking up for every 404.
std::string DebugOsDetail(int code) { return g_settings.Debug ? OsDetail(code) : std::string(); }

// The answer's encoding and connection fields, from the request alone.
void PrepareAnswer(const HttpRequest& request, ResponseHead& response) {
  // gzip only for a client that names it (and not with q=0).
  if (g_settings.EnableGZIP && AcceptsGzip(request.AcceptEncoding)) response.ContentEncoding = "gzip";
  // Decided once here; every answering path keeps or closes the
  // connection by this field, so the head never promises what is not kept.
  const bool close = HasToken(request.Connection, "close") ||
                     (request.Version == "HTTP/1.0" && !HasToken(request.Connection, "keep-alive"));
  response.Connection = close ? "close" : "keep-alive";
}

// The requested path in "/" form, as URLs and listings show it.
std::string UrlPathOf(std::string_view requestedPath) {
  std::string urlPath(requestedPath);
  if (platform::kPathSeparator != '/') {
    for (char& c : urlPath) {
      if (c == platform::kPathSeparator) c = '/';
    }
  }
  return urlPath;
}

// What both handlers have worked out before they choose an answering path.
struct Dispatched {
  HttpRequest request;
  ResponseHead response;
  HostSelection host;
  std::string requestedPath;
  std::string_view documentRoot;  // the site's root (in the host table); for CGI with a trailing separator on the fallback site
  // The local path is request.LocalPath, made there in place.
  platform::FileFacts facts;    // of the local path
  platform::FileCacheRef file;  // the local path as the file cache has it
  int lastError = 0;            // of the last look at the file system
  bool folder = false;          // the requested path names a folder (a default document was added)
};

void EndRequest(ConnId conn) { ResetRequestState(conn); }

// Why a request could not be mapped to a local path.
enum class Mapping { kMapped, kBadRequest, kBadSite, kUnknownHost, kUnsafePath };

// Selects the host and maps the parsed request onto a local path (with the
// default document for a folder), opening what it finds. Sends nothing.
Mapping MapRequest(Dispatched& d, bool getHandler) {
  HttpRequest& request = d.request;
  if ((getHandler && request.Method.empty()) || (!request.Method.empty() && request.Directory.empty())) {
    // A request line that did not split into method, target and version,
    // or a target that is no path ("http://x/../a", "C:\a", "*"): mapping
    // an empty path would answer with the site's default document.
    return Mapping::kBadRequest;
  }
  d.host = SelectHost(request.Host);
  if (d.host.outcome == HostOutcome::kBadRecord) return Mapping::kBadSite;
  if (d.host.outcome == HostOutcome::kNotConfigured) return Mapping::kUnknownHost;

  d.requestedPath = request.Directory;
  d.requestedPath += request.FileName;
  d.response.FileName = request.FileName;
  request.Method = AsciiUpper(request.Method);
  if (!IsSafeRequestPath(d.requestedPath)) return Mapping::kUnsafePath;

  const HostRecord& record = d.host.record;
  d.documentRoot = record.documentRoot;
  std::string& localPath = request.LocalPath;
  localPath.reserve(record.documentRoot.size() + d.requestedPath.size() + record.defaultDocument.size() + 1);
  localPath.assign(record.documentRoot);
  localPath += d.requestedPath;
  // Looked up right away, through the cache of open files: the file a
  // static answer reads is the one looked at here.
  platform::FileCache& files = platform::SharedFileCache();
  d.file = files.Open(localPath);
  if (d.file->facts.isDirectory) {
    d.folder = true;
    if (localPath.empty() || localPath.back() != platform::kPathSeparator) localPath += platform::kPathSeparator;
    localPath += record.defaultDocument;
    d.file = files.Open(localPath);
  }
  d.facts = d.file->facts;
  d.lastError = d.file->openError;
  // A short alias ("SCRIPT~1.PHP") names a file by a name that is not its
  // own: the tests made on the requested name (the CGI extension, the
  // trailing dot) would judge another name than the file's.
  if (d.facts.exists && platform::MayBeShortAlias(d.requestedPath) &&
      platform::UsesShortNameAlias(d.documentRoot, localPath)) {
    return Mapping::kUnsafePath;
  }
  return Mapping::kMapped;
}

// Parsed in place: receive buffering leaves the head alone while the
// handler runs, and the buffer keeps its capacity for the next request.
// `request` is a fresh record.
void ParseContextHead(ConnectionContext& context, HttpRequest& request) {
  std::lock_guard<std::recursive_mutex> guard(context.lock);
  size_t length = context.headLength > 0 ? static_cast<size_t>(context.headLength) : 0;
  if (length > context.headBuffer.size()) length = context.headBuffer.size();
  ParseRequestHeadInto(std::string_view(context.headBuffer.data(), length), request);
}

// The common opening. Returns false when the request has been answered
// (and ended) already.
bool OpenRequest(ConnId conn, ConnectionContext& context, Dispatched& d, bool getHandler) {
  {
    std::lock_guard<std::recursive_mutex> guard(context.lock);
    context.state = kStateHandling;
  }
  ParseContextHead(context, d.request);
  HttpRequest& request = d.request;
  ResponseHead& response = d.response;

  PrepareAnswer(request, response);

  if (static_cast<int64_t>(Link().ConnectionCount()) > static_cast<int64_t>(g_settings.Connections) + 64) {
    SendErrorPage(503, request, response, conn);
    EndRequest(conn);
    return false;
  }
  switch (MapRequest(d, getHandler)) {
    case Mapping::kMapped:
      return true;
    case Mapping::kBadRequest:
    case Mapping::kUnknownHost:
      SendErrorPage(400, request, response, conn);
      break;
    case Mapping::kBadSite:
      SendErrorPage(500, request, response, conn, std::string(kBadSiteDetail) + request.Host);
      break;
    case Mapping::kUnsafePath:
      SendErrorPage(403, request, response, conn);
      break;
  }
  EndRequest(conn);
  return false;
}

// "." + the extension of the whole local path (after its last "."; "html"
// when it holds none), lower-cased, against the site's CGI extension.
bool IsCgiRequest(const Dispatched& d) {
  std::string_view path = d.request.LocalPath;
  size_t dot = path.rfind('.');
  std::string extension = ".";
  extension += dot == std::string_view::npos ? std::string_view("html") : path.substr(dot + 1);
  return AsciiLower(extension) == AsciiLower(d.host.record.cgiExtension);
}

bool MayRunCgi(const Dispatched& d) { return AsciiUpper(d.host.record.executePermission) == kPermissionExecCgiUpper; }

void StartGateway(ConnId conn, Dispatched& d, const CgiBodySource& body) {
  d.request.ScriptPath = d.request.LocalPath;
  std::string documentRoot(d.documentRoot);
  if (d.host.outcome == HostOutcome::kFallback) documentRoot += platform::kPathSeparator;
  std::string program(d.host.record.cgiProgram);
  RunCgi(conn, d.request, d.response, d.requestedPath, d.request.LocalPath, documentRoot, program, body);
}

}  // namespace

void HandleGetRequest(ConnId conn) {
  ConnectionContext* context = Link().Context(conn);
  if (context == nullptr) return;
  Dispatched d;
  if (!OpenRequest(conn, *context, d, true)) return;
  HttpRequest& request = d.request;
  ResponseHead& response = d.response;

  if (d.requestedPath.size() >= kMaxRequestedPath) {
    SendErrorPage(414, request, response, conn);
    EndRequest(conn);
    return;
  }
  if (request.Method != "GET" && request.Method != "HEAD") {
    SendErrorPage(405, request, response, conn);
    EndRequest(conn);
    return;
  }
  if (!d.request.LocalPath.empty() && d.request.LocalPath.back() == '.') {
    SendErrorPage(404, request, response, conn, DebugOsDetail(d.lastError));
    EndRequest(conn);
    return;
  }
  // A folder named without its trailing slash: its page belongs at the
  // address with the slash, where its relative links resolve inside it.
  if (d.folder && !request.FileName.empty()) {
    SendFolderRedirect(request, response, conn, FolderLocation(UrlPathOf(d.requestedPath), request.Query));
    EndRequest(conn);
    return;
  }
  if (IsCgiRequest(d)) {
    if (!MayRunCgi(d)) {
      SendErrorPage(403, request, response, conn, kCgiForbiddenDetail);
    } else {
      StartGateway(conn, d, CgiBodySource{});
    }
    EndRequest(conn);
    return;
  }
  if (d.facts.exists) {
    SendStaticFile(request, response, conn, context, std::move(d.file));  // ends the request itself
    return;
  }
  std::string directory(d.documentRoot);
  directory += d.requestedPath;
  // When that is the path looked at already (it was no folder, so no
  // default document was added to it), it is known not to exist: a 404
  // costs one look-up of its path, not two.
  platform::FileFacts facts;
  if (directory != d.request.LocalPath) facts = platform::QueryFile(directory);
  if (facts.isDirectory && g_settings.DirectoryListing) {
    SendDirectoryListing(directory, UrlPathOf(d.requestedPath), request, response, conn);
  } else {
    SendErrorPage(404, request, response, conn, DebugOsDetail(d.lastError));
  }
  EndRequest(conn);
}

bool PostBodyWanted(ConnId conn) {
  ConnectionContext* context = Link().Context(conn);
  if (context == nullptr) return false;
  // The same mapping the handler will make, from the head alone: only a
  // script this site may run reads the body.
  Dispatched d;
  ParseContextHead(*context, d.request);
  return MapRequest(d, false) == Mapping::kMapped && d.request.Method == "POST" && IsCgiRequest(d) && MayRunCgi(d);
}

void HandlePostRequest(ConnId conn) {
  ConnectionContext* context = Link().Context(conn);
  if (context == nullptr) return;
  CgiBodySource body;
  {
    std::lock_guard<std::recursive_mutex> guard(context->lock);
    if (context->bodySpooled == 1) {
      body.kind = CgiBodySource::kSpooled;
      body.spoolNumber = context->spoolNumber;
    } else {
      body.kind = CgiBodySource::kMemory;
      body.data = context->bodyMemory.data();
    }
    // A body read past at its head (the target was no script then) is not
    // there: should the target have become a script meanwhile, the gateway
    // sees an empty body and says so.
    body.length = context->bodyDropped != 0 ? 0 : context->contentLength;
  }
  Dispatched d;
  if (!OpenRequest(conn, *context, d, false)) return;
  HttpRequest& request = d.request;
  ResponseHead& response = d.response;

  if (request.Method != "POST") {
    SendErrorPage(405, request, response, conn);
  } else if (IsCgiRequest(d)) {
    if (!MayRunCgi(d)) {
      SendErrorPage(403, request, response, conn, kCgiForbiddenDetail);
    } else {
      StartGateway(conn, d, body);
    }
  } else {
    SendErrorPage(405, request, response, conn);
  }
  EndRequest(conn);
}

void HandleOtherRequest(ConnId conn) {
  ConnectionContext* context = Link().Context(conn);
  if (context == nullptr) return;
  {
    std::lock_guard<std::recursive_mutex> guard(context->lock);
    context->state = kStateHandling;
  }
  HttpRequest request;
  ParseContextHead(*context, request);
  // Whatever the target or the host, the method is what this server
  // lacks; the page is the same for every site.
  ResponseHead response;
  PrepareAnswer(request, response);
  SendErrorPage(501, request, response, conn);
  EndRequest(conn);
}

}  // namespace zevra
