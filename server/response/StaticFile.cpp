// Static file delivery. One call answers one GET or HEAD for a regular file:
// validators and 304, the compressed copy for clients that take gzip, a
// byte range or the whole file, then the body from mapped views, paced on
// the connection's send queue so that a slow client never holds more than
// one window of the file in memory.
#include "server/response/StaticFile.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/FileCache.h"
#include "platform/System.h"
#include "server/core/ConnectionContext.h"
#include "server/core/OsDetail.h"
#include "server/response/Answer.h"
#include "server/response/Compression.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/response/ResponseHead.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// One mapped view, and the most bytes one connection may have queued: the
// FileMapping window, kept a whole multiple of the mapping granularity.
int64_t WindowSize() {
  const int64_t granularity = std::max<int64_t>(1, g_startup.allocationGranularity);
  int64_t window = g_settings.FileMapping;
  if (window < granularity) window = granularity;
  return window - window % granularity;
}

int64_t SendSize() { return g_settings.Buffer > 0 ? g_settings.Buffer : 40960; }

// A whole body on its way shows in the context: state 2, its length, and
// how much of it has been handed to the library.
void MarkSending(ConnectionContext* context, int64_t length) {
  if (context == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(context->lock);
  context->state = kStateSending;
  context->contentLength = length;
  context->bodyReceived = 0;
}

void MarkSent(ConnectionContext* context, int64_t sent) {
  if (context == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(context->lock);
  context->bodyReceived = sent;
}

// An error page sent after the validators were set describes no version
// of the file: it must not carry the file's validators or range.
void SendFileErrorPage(int status, const HttpRequest& request, ResponseHead& response, ConnId conn,
                       const std::string& detail) {
  response.LastModified.clear();
  response.ETag.clear();
  response.Vary.clear();
  response.ContentRange.clear();
  response.AcceptRanges.clear();
  SendErrorPage(status, request, response, conn, detail);
}

std::string LastModifiedOf(const platform::File& file) {
  return FormatHttpDate(platform::UtcFromUnixSeconds(file.LastWriteTime()));
}

// Reads the whole (small) source file; false on a read failure.
bool ReadAll(const platform::File& file, int64_t size, std::string& out) {
  out.assign(static_cast<size_t>(size), '\0');
  int64_t got = 0;
  while (got < size) {
    int64_t n = file.ReadAt(out.data() + got, static_cast<size_t>(size - got), got);
    if (n < 0) return false;
    if (n == 0) break;  // shrank while we read: the copy is of what was there
    got += n;
  }
  out.resize(static_cast<size_t>(got));
  return true;
}

enum class CopyResult { kServeCompressed, kServeIdentity, kAnswered };

// Makes the compressed copy at cachePath. It is written under a temporary
// name and renamed only when complete, so that no request is ever served a
// truncated copy; on failure nothing is left behind.
CopyResult MakeGzipCopy(const HttpRequest& request, ResponseHead& response, ConnId conn, const platform::File& source,
                        int64_t size, const std::string& cachePath, int64_t& copySize) {
  const std::string partPath = cachePath + ".part";
  platform::File copy = platform::File::CreateAlways(partPath);
  if (!copy) {
    int code = platform::LastErrorCode();
    SendErrorPage(500, request, response, conn, "无法打开 GZIP 缓存文件。\r\n" + OsDetail(code));
    return CopyResult::kAnswered;
  }
  std::string content;
  std::string packed;
  bool written = ReadAll(source, size, content);
  int code = platform::LastErrorCode();
  if (written) {
    // A stream the library could not finish is no copy: it is never
    // written, and the answer is the one for a copy that cannot be written.
    written = CompressBytes(content, packed);
    code = 0;
  }
  if (written) {
    written = copy.WriteAll(packed.data(), packed.size());
    copySize = static_cast<int64_t>(packed.size());
    code = platform::LastErrorCode();
  }
  copy.Close();
  if (written && platform::ReplaceFileWith(partPath, cachePath)) return CopyResult::kServeCompressed;
  if (written) code = platform::LastErrorCode();
  platform::RemoveFile(partPath);
  SendErrorPage(500, request, response, conn, "无法写出 GZIP 缓存到文件。\r\n" + OsDetail(code));
  return CopyResult::kAnswered;
}

// Decides whether the answer is the compressed copy, making the copy when
// the table has none for this version. One lock covers the table and the
// making of copies, so two requests never write the same copy at once. The
// common case, a copy that is there already, holds the lock only for the
// look-up and opens the copy outside it: `copy` is then open.
CopyResult ChooseEncoding(const HttpRequest& request, ResponseHead& response, ConnId conn,
                          const platform::File& source, int64_t size, int64_t written,
                          const std::string& lastModified, const std::string& cachePath, platform::File& copy,
                          platform::FileFacts& copyFacts) {
  GzipCacheTable& cache = GzipCache();
  // A copy's name tells versions apart by the second of their last write
  // only: a copy made while that second still ran may be of an earlier
  // version of the same second, and is made again.
  const auto current = [&](const std::string* known) {
    return known != nullptr && *known == lastModified && cache.MadeAt(request.LocalPath) > written;
  };
  bool recorded;
  {
    std::lock_guard<std::mutex> guard(cache.Lock());
    recorded = current(cache.Find(request.LocalPath));
  }
  if (recorded) {
    // Copies are only ever renamed into place whole, so an open that
    // succeeds has a complete copy of this version.
    copy = platform::File::OpenReadRegular(cachePath, copyFacts);
    if (copy) return CopyResult::kServeCompressed;
  }
  std::lock_guard<std::mutex> guard(cache.Lock());
  const std::string* known = cache.Find(request.LocalPath);
  if (current(known) && platform::QueryFile(cachePath).isRegular) {
    return CopyResult::kServeCompressed;
  }
  if (size > kGzipCacheLimit) return CopyResult::kServeIdentity;
  // A full table takes no new paths: those files go out uncompressed.
  if (known == nullptr && !cache.HasRoom()) return CopyResult::kServeIdentity;
  // The copy of the version this one supersedes is no use to anyone once
  // the table forgets it. Two versions whose dates hash alike share a name:
  // then the new copy has replaced the old one in place already.
  std::string superseded;
  if (known != nullptr && *known != lastModified) {
    superseded = GzipCachePath(g_startup.programDirectory, request.LocalPath, *known);
    if (superseded == cachePath) superseded.clear();
  }
  int64_t copySize = 0;
  const int64_t madeAt = platform::UnixSecondsNow();
  CopyResult result = MakeGzipCopy(request, response, conn, source, size, cachePath, copySize);
  std::vector<GzipCacheTable::Dropped> dropped;
  if (result == CopyResult::kServeCompressed) {
    dropped = cache.MakeRoom(copySize, kGzipCacheFolderLimit, request.LocalPath);
    cache.Set(request.LocalPath, lastModified, copySize, madeAt);
  } else {
    cache.Remove(request.LocalPath);
  }
  // A copy may be going out to other clients right now: they read it
  // through descriptors they hold, which keep its bytes after the name is
  // gone (the platform opens copies so that removing the name is allowed
  // while they are open). A request that looks the name up afterwards
  // finds the table changed and makes or opens the current copy.
  if (!superseded.empty()) platform::RemoveFile(superseded);
  for (const GzipCacheTable::Dropped& old : dropped) {
    platform::RemoveFile(GzipCachePath(g_startup.programDirectory, old.localPath, old.lastModified));
  }
  return result;
}

// The view of the window that holds position.
platform::MappedView MapWindowAt(const platform::File& file, int64_t fileSize, int64_t position, int64_t& viewStart) {
  const int64_t window = WindowSize();
  viewStart = position - position % window;
  return platform::MappedView::Map(file, viewStart, static_cast<size_t>(std::min(window, fileSize - viewStart)));
}

// The body bytes first..end-1 of file, from views of at most one window
// (the first one, view at viewStart, mapped by the caller), each send at
// most one Buffer. Returns true when every byte was handed to the library. Progress shows
// in the context while a whole body streams.
bool SendBody(const HttpRequest& request, ConnId conn, ConnectionContext* context, const platform::File& file,
              int64_t fileSize, int64_t first, int64_t end, platform::MappedView view, int64_t viewStart,
              bool trackProgress) {
  const int64_t window = WindowSize();
  const int64_t chunk = SendSize();
  if (trackProgress) MarkSending(context, end - first);

  int64_t position = first;
  while (position < end) {
    if (Link().Context(conn) != context) return false;  // the connection has gone
    if (!AwaitSendRoom(conn, window)) return false;
    if (!view.IsMapped() || position >= viewStart + static_cast<int64_t>(view.Length())) {
      view.Unmap();
      view = MapWindowAt(file, fileSize, position, viewStart);
      if (!view.IsMapped() || view.Length() == 0) {
        AppendErrorLog("Unable to map file '" + request.FileName + "'. " + SystemErrorText(platform::LastErrorCode()));
        return false;
      }
    }
    const int64_t viewEnd = viewStart + static_cast<int64_t>(view.Length());
    const int64_t count = std::min({chunk, viewEnd - position, end - position});
    const uint8_t* bytes = view.Data() + (position - viewStart);
    if (!Link().Send(conn, bytes, static_cast<size_t>(count))) return false;
    position += count;
    if (trackProgress) MarkSent(context, position - first);
  }
  return true;
}

// What a version of a file says about itself, worked out once per version:
// its validators. Kept with the file's cache entry.
struct VersionTexts {
  std::string lastModified;
  std::string entityTag;
};

// A compressed copy up to this size is kept in memory with its version, as
// the file cache keeps small files: every entry holds at most this much of it.
constexpr int64_t kKeptCopyBytes = int64_t{32} << 10;

// The compressed copy of a version, open, and its bytes when it is small.
struct CompressedCopy {
  platform::File file;
  platform::FileFacts facts;
  bool hasBytes = false;
  std::string bytes;
};

// The head of a whole 200 answer of a version, but for its Date and
// Connection lines, as BuildResponseHead writes it: the answer is these
// pieces with those two lines between them.
struct CachedHead {
  std::string contentType;  // what the pieces were built for
  std::string beforeDate;   // status line and Server
  std::string middle;       // Content-Type through Vary
  std::string end;          // what follows the Connection line
  std::string contentLength;
};

// The callers' slots of a cache entry.
enum DerivedSlot : size_t { kVersionSlot, kCopySlot, kHeadSlot, kCompressedHeadSlot };

template <typename T>
std::shared_ptr<const T> DerivedOf(const platform::FileCacheEntry& entry, DerivedSlot slot) {
  return std::static_pointer_cast<const T>(entry.derived[slot].load(std::memory_order_acquire));
}

template <typename T>
void KeepDerived(const platform::FileCacheEntry& entry, DerivedSlot slot, std::shared_ptr<const T> value) {
  std::shared_ptr<const void> none;
  entry.derived[slot].compare_exchange_strong(none, std::static_pointer_cast<const void>(std::move(value)));
}

std::shared_ptr<const VersionTexts> VersionOf(const platform::FileCacheEntry& entry) {
  if (auto known = DerivedOf<VersionTexts>(entry, kVersionSlot)) return known;
  auto made = std::make_shared<VersionTexts>();
  made->lastModified = FormatHttpDate(platform::UtcFromUnixSeconds(entry.facts.lastWriteTime));
  made->entityTag = EntityTagOf(entry.path, made->lastModified);
  KeepDerived<VersionTexts>(entry, kVersionSlot, made);
  return made;
}

std::shared_ptr<const CompressedCopy> KeepCopy(const platform::FileCacheEntry& entry, platform::File copy,
                                               const platform::FileFacts& facts) {
  auto kept = std::make_shared<CompressedCopy>();
  kept->file = std::move(copy);
  kept->facts = facts;
  if (facts.size <= std::min<int64_t>(SendSize(), kKeptCopyBytes)) {
    kept->hasBytes = ReadAll(kept->file, facts.size, kept->bytes) &&
                     static_cast<int64_t>(kept->bytes.size()) == facts.size;
    if (!kept->hasBytes) kept->bytes.clear();
  }
  KeepDerived<CompressedCopy>(entry, kCopySlot, kept);
  return kept;
}

// The pieces of the head BuildResponseHead makes of response, split at its
// Date and Connection lines; null when it has no such two lines.
std::shared_ptr<const CachedHead> SplitHead(const ResponseHead& response, std::string_view contentType) {
  ResponseHead copy = response;
  const std::string head = BuildResponseHead(copy);
  const std::string dateLine = "\r\nDate: " + copy.Date + "\r\n";
  const std::string connectionLine = "\r\nConnection: " + copy.Connection + "\r\n";
  const size_t date = head.find(dateLine);
  const size_t connection = head.rfind(connectionLine);
  if (copy.Connection.empty() || date == std::string::npos || connection == std::string::npos || connection < date) {
    return nullptr;
  }
  auto pieces = std::make_shared<CachedHead>();
  pieces->contentType.assign(contentType);
  pieces->beforeDate = head.substr(0, date + 2);
  pieces->middle = head.substr(date + dateLine.size(), connection + 2 - date - dateLine.size());
  pieces->end = head.substr(connection + connectionLine.size());
  pieces->contentLength = copy.ContentLength;
  return pieces;
}

// A whole 200 answer from memory with a head of cached pieces: what
// FinishAnswer does for it, without building a record or a buffer per
// request. The thread's buffer keeps its capacity from answer to answer.
void SendCachedAnswer(ConnId conn, const HttpRequest& request, const ResponseHead& response, const CachedHead& head,
                      std::string_view body) {
  thread_local std::string out;
  const std::string_view date = CurrentHttpDate();
  const bool headOnly = EqualsIgnoreCase(request.Method, "HEAD");
  out.clear();
  out.reserve(head.beforeDate.size() + head.middle.size() + head.end.size() + date.size() + response.Connection.size() +
              32 + (headOnly ? 0 : body.size()));
  out.append(head.beforeDate);
  out.append("Date: ");
  out.append(date);
  out.append("\r\n");
  out.append(head.middle);
  out.append("Connection: ");
  out.append(response.Connection);
  out.append("\r\n");
  out.append(head.end);
  if (!headOnly) out.append(body);
  const bool close = !EqualsIgnoreCase(response.Connection, "keep-alive");
  std::string accessLine;
  if (g_settings.WriteAccessLog) accessLine = AccessLogMessage(conn, request, "200", head.contentLength, true);
  const bool complete = SendBytes(conn, out);
  if (g_settings.WriteAccessLog) AppendAccessLog(accessLine);
  if (close || !complete) Link().Disconnect(conn);
  // A large answer's buffer is not kept for the small ones that follow.
  if (out.capacity() > 256 * 1024) std::string().swap(out);
}

void DeliverStaticFile(HttpRequest& request, ResponseHead& response, ConnId conn, ConnectionContext* context,
                       const platform::FileCacheRef& entry) {
  // Only regular files: opening a FIFO would block this thread for ever,
  // and a device or socket is nothing to serve.
  const platform::File* source = entry->file ? &entry->file : nullptr;
  if (source == nullptr || !entry->facts.isRegular) {
    const int code = source != nullptr || entry->openError == 0
                         ? platform::ErrorCodeOf(platform::ErrorName::kAccessDenied)
                         : entry->openError;
    SendErrorPage(403, request, response, conn, OsDetail(code));
    return;
  }
  const platform::FileFacts& sourceFacts = entry->facts;
  const int64_t sourceSize = sourceFacts.size;
  const std::shared_ptr<const VersionTexts> version = VersionOf(*entry);
  const std::string& lastModified = version->lastModified;

  // Only types that shrink get a compressed copy: the type is the one the
  // head will carry.
  const std::string_view type = response.ContentType.empty()
                                    ? std::string_view(MimeTypeForExtension(ExtensionOf(response.FileName)))
                                    : std::string_view(response.ContentType);
  bool compressed = g_settings.EnableGZIP && response.ContentEncoding == "gzip" && IsCompressibleType(type);
  std::shared_ptr<const CompressedCopy> copy;
  if (compressed) copy = DerivedOf<CompressedCopy>(*entry, kCopySlot);
  if (compressed && !copy) {
    const std::string cachePath = GzipCachePath(g_startup.programDirectory, request.LocalPath, lastModified);
    platform::File opened;
    platform::FileFacts openedFacts;
    switch (ChooseEncoding(request, response, conn, *source, sourceSize, sourceFacts.lastWriteTime, lastModified,
                           cachePath, opened, openedFacts)) {
      case CopyResult::kAnswered: return;
      case CopyResult::kServeIdentity: compressed = false; break;
      case CopyResult::kServeCompressed: break;
    }
    if (compressed) {
      if (!opened) opened = platform::File::OpenReadRegular(cachePath, openedFacts);
      if (!opened) {
        int code = platform::LastErrorCode();
        SendFileErrorPage(500, request, response, conn, "无法打开 GZIP 缓存文件。\r\n" + OsDetail(code));
        return;
      }
      copy = KeepCopy(*entry, std::move(opened), openedFacts);
    }
  }
  if (!compressed) response.ContentEncoding.clear();

  // From here on sizes, ranges and bodies are those of the file sent.
  const platform::File& body = compressed ? copy->file : *source;
  const int64_t size = compressed ? copy->facts.size : sourceSize;

  // Exact text comparisons: a client sends back what it was given.
  const bool notModified = (!request.IfModifiedSince.empty() && request.IfModifiedSince == lastModified) ||
                           (!request.IfNoneMatch.empty() && request.IfNoneMatch == version->entityTag);

  // The common answer: the whole of a small version, its head from pieces
  // kept with the version.
  const bool inMemory = compressed ? copy->hasBytes : entry->hasBytes;
  if (!notModified && inMemory && size <= SendSize() && response.ExtraHeaders.empty() &&
      ParseRange(request.Range, size).kind == ByteRange::kWhole) {
    const DerivedSlot slot = compressed ? kCompressedHeadSlot : kHeadSlot;
    std::shared_ptr<const CachedHead> head = DerivedOf<CachedHead>(*entry, slot);
    if (!head || head->contentType != type) {
      ResponseHead whole = response;
      whole.Status = "200 OK";
      whole.LastModified = lastModified;
      whole.ETag = version->entityTag;
      if (compressed) whole.Vary = "Accept-Encoding";
      whole.ContentLength = std::to_string(size);
      const bool first = !head;
      head = SplitHead(whole, type);
      if (head && first) KeepDerived<CachedHead>(*entry, slot, head);
    }
    if (head) {
      SendCachedAnswer(conn, request, response, *head, compressed ? copy->bytes : entry->bytes);
      return;
    }
  }

  response.Status = "200 OK";
  response.LastModified = lastModified;
  response.ETag = version->entityTag;
  if (compressed) response.Vary = "Accept-Encoding";
  if (notModified) {
    SendNotModified(request, response, conn, request.LocalPath, *source);
    return;
  }

  // If-Range: the range holds only for the version the client names, by
  // its entity tag or its Last-Modified date, compared exactly; for any
  // other version the whole file goes out with 200 (RFC 9110 13.1.5). A
  // weak tag never matches: ours are strong.
  const bool rangeApplies =
      request.IfRange.empty() || request.IfRange == response.ETag || request.IfRange == response.LastModified;
  const ByteRange range = rangeApplies ? ParseRange(request.Range, size) : ByteRange{};
  Answer answer;
  if (range.kind == ByteRange::kUnsatisfiable) {
    response.Status = "416 Range Not Satisfiable";
    response.ContentRange = "bytes */" + std::to_string(size);
    FinishAnswer(conn, request, response, answer);
    return;
  }

  int64_t first = 0;
  int64_t end = size;
  if (range.kind == ByteRange::kPartial) {
    first = range.first;
    end = range.last + 1;
    response.Status = "206 Partial Content";
    response.ContentRange =
        "bytes " + std::to_string(range.first) + "-" + std::to_string(range.last) + "/" + std::to_string(size);
  }
  const int64_t length = end - first;

  // A body that fits in one send (and the head of a HEAD answer, whose
  // length is stated all the same) is read straight away and goes out
  // behind its head as one buffer: one read instead of a map and an unmap.
  std::string small;
  if (length <= SendSize() || EqualsIgnoreCase(request.Method, "HEAD")) {
    if (!EqualsIgnoreCase(request.Method, "HEAD")) {
      const bool kept = compressed ? copy->hasBytes : entry->hasBytes;
      if (kept) {
        answer.body = std::string_view(compressed ? copy->bytes : entry->bytes)
                          .substr(static_cast<size_t>(first), static_cast<size_t>(length));
      } else {
        small.resize(static_cast<size_t>(length));
        int64_t got = 0;
        while (got < length) {
          int64_t n = body.ReadAt(small.data() + got, static_cast<size_t>(length - got), first + got);
          if (n <= 0) break;
          got += n;
        }
        if (got < length) {
          // The file shrank or cannot be read: nothing has gone out yet.
          int code = platform::LastErrorCode();
          SendFileErrorPage(500, request, response, conn, OsDetail(code));
          return;
        }
        answer.body = small;
      }
    }
    answer.keepLength = true;
    response.ContentLength = std::to_string(length);
    FinishAnswer(conn, request, response, answer);
    return;
  }
  response.ContentLength = std::to_string(length);
  const bool whole = range.kind == ByteRange::kWhole;

  // A larger body goes from the open file to the socket inside the kernel
  // where the link can do that: no view, no copy, and nothing of it held in
  // the send queue's memory, so the queue bound holds by construction. The
  // library keeps the file while the body drains; this thread is free at once.
  if (Link().SendsFiles()) {
    answer.sendBody = [&](std::string& head) {
      if (whole) MarkSending(context, length);
      const bool queued = Link().SendFile(conn, head, body, first, length);
      if (queued && whole) MarkSent(context, length);
      return queued;
    };
    FinishAnswer(conn, request, response, answer);
    return;
  }

  // The fallback for a link that cannot send files: the body from mapped
  // views of at most one window, paced on the send queue. The first view
  // is mapped before the head goes out, so that a file that cannot be
  // mapped still gets an honest error page.
  int64_t viewStart = 0;
  platform::MappedView view = MapWindowAt(body, size, first, viewStart);
  if (!view.IsMapped()) {
    int code = platform::LastErrorCode();
    const std::string message = SystemErrorText(code);
    SendFileErrorPage(500, request, response, conn, "无法创建到文件的映射。\r\n" + OsDetail(code));
    AppendErrorLog("Unable to map file '" + request.FileName + "'. " + message);
    return;
  }
  answer.sendBody = [&](std::string& head) {
    return SendBytes(conn, head) &&
           SendBody(request, conn, context, body, size, first, end, std::move(view), viewStart, whole);
  };
  FinishAnswer(conn, request, response, answer);
}

}  // namespace

void SendNotModified(const HttpRequest& request, ResponseHead& response, ConnId conn, std::string_view localPath,
                     const platform::File& file) {
  response.Status = "304 Not Modified";
  response.LastModified = LastModifiedOf(file);
  response.ETag = EntityTagOf(localPath, response.LastModified);
  response.AcceptRanges.clear();
  // The head drops Content-Length for a 304, so the access line reads "304 0".
  FinishAnswer(conn, request, response, Answer{});
}

void SendStaticFile(HttpRequest& request, ResponseHead& response, ConnId conn, ConnectionContext* context,
                    platform::FileCacheRef entry) {
  if (!entry) entry = platform::LookAtFile(request.LocalPath, 0);
  DeliverStaticFile(request, response, conn, context, entry);
  ResetRequestState(conn);
}

}  // namespace zevra
