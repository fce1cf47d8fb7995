// The CGI output relay. One thread drives the child: it writes the body to
// the child's input whenever the pipe takes bytes and reads the output
// whenever there is some, so neither side can block the other, and every
// wait is bounded by the gateway deadline. The whole output is collected
// before the answer goes out (it gets an exact Content-Length that way);
// what does not fit the memory limit goes on into a spool file.
#include "server/cgi/CgiRelay.h"

#include <algorithm>
#include <utility>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "server/cgi/CgiHead.h"
#include "server/core/ServerLink.h"
#include "server/response/Compression.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/response/ResponseHead.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

// With a GatewayTimeout of 0 or less no output may follow the first piece;
// the wait for that piece (and for the end after it) is still bounded.
constexpr int kNoTimeoutWaitMs = 30000;
// How long a child that closed its output may take to be seen as exited.
constexpr int kExitGraceMs = 200;
// Reads per wake-up, so a flooding child cannot starve the input or the
// deadline check.
constexpr int kReadsPerWake = 16;
// A client that takes nothing from the send queue for this long is given up.
constexpr uint64_t kSendStallMs = 60000;
constexpr uint32_t kSendPauseMs = 100;
constexpr size_t kInputBufferSize = 65536;


std::string OsDetail(std::string_view label, int code) {
  std::string detail(label);
  detail += std::to_string(code);
  detail += ") ";
  detail += SystemErrorText(code);
  return detail;
}

// The program's output as it arrives: memory first, then a spool file in
// WebTemp named after the connection (one request per connection at a
// time), removed when the relay ends whatever way it ends.
class CgiOutput {
 public:
  explicit CgiOutput(ConnId conn) : conn_(conn) {}
  CgiOutput(const CgiOutput&) = delete;
  CgiOutput& operator=(const CgiOutput&) = delete;
  ~CgiOutput() {
    if (spool_.IsOpen()) {
      spool_.Close();
      platform::RemoveFile(spoolPath_);
    }
  }

  // False when the spool file cannot be created or written (error() says why).
  bool Append(const char* data, size_t length) {
    if (!spool_.IsOpen() && static_cast<int64_t>(memory_.size() + length) <= kCgiOutputMemoryLimit) {
      memory_.append(data, length);
      size_ += static_cast<int64_t>(length);
      return true;
    }
    if (!spool_.IsOpen()) {
      spoolPath_ = g_startup.programDirectory + platform::kPathSeparator + "WebTemp" + platform::kPathSeparator +
                   "Cgi_" + std::to_string(conn_) + ".Zevra";
      spool_ = platform::File::CreateAlways(spoolPath_);
      if (!spool_.IsOpen()) return Failed();
      // The first piece stays in memory: it holds the head.
      spooledFrom_ = std::min<int64_t>(size_, static_cast<int64_t>(kCgiReadPiece));
      std::string_view rest = std::string_view(memory_).substr(static_cast<size_t>(spooledFrom_));
      if (!spool_.WriteAll(rest.data(), rest.size())) return Failed();
      memory_.resize(static_cast<size_t>(spooledFrom_));
      memory_.shrink_to_fit();
    }
    if (!spool_.WriteAll(data, length)) return Failed();
    size_ += static_cast<int64_t>(length);
    return true;
  }

  int64_t Size() const { return size_; }
  bool Spooled() const { return spool_.IsOpen(); }
  int Error() const { return error_; }
  // Output in memory: all of it, or the first piece once spooled.
  std::string_view Memory() const { return memory_; }

  // Reads output bytes [offset, offset + length) of a spooled output.
  bool ReadAt(int64_t offset, char* buffer, size_t length) {
    while (length > 0) {
      if (offset < spooledFrom_) {
        size_t n = std::min<size_t>(length, static_cast<size_t>(static_cast<int64_t>(memory_.size()) - offset));
        memory_.copy(buffer, n, static_cast<size_t>(offset));
        buffer += n;
        offset += static_cast<int64_t>(n);
        length -= n;
        continue;
      }
      int64_t n = spool_.ReadAt(buffer, length, offset - spooledFrom_);
      if (n <= 0) return false;
      buffer += n;
      offset += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  bool Failed() {
    error_ = platform::LastErrorCode();
    return false;
  }

  ConnId conn_;
  std::string memory_;
  platform::File spool_;
  std::string spoolPath_;
  int64_t size_ = 0;
  int64_t spooledFrom_ = 0;  // output offset of the spool file's first byte
  int error_ = 0;
};

enum class CollectOutcome { kComplete, kTimedOut, kSpoolFailed };

// Feeds the input and gathers the output until the output ends or the
// deadline passes. GatewayTimeout counts from the child's start, whether
// the child writes or stays silent.
CollectOutcome CollectOutput(platform::ChildProcess& child, CgiInput& input, CgiOutput& output, bool& inputFailed) {
  const int32_t timeout = g_settings.GatewayTimeout;
  const bool noTimeout = timeout <= 0;
  uint64_t deadline = platform::MonotonicMilliseconds() +
                      static_cast<uint64_t>(noTimeout ? kNoTimeoutWaitMs : timeout);
  char piece[kCgiReadPiece];
  int pieces = 0;
  for (;;) {
    if (child.InputOpen() && !input.Feed(child)) inputFailed = true;
    uint64_t now = platform::MonotonicMilliseconds();
    if (now >= deadline) return CollectOutcome::kTimedOut;
    unsigned ready = child.WaitForPipes(child.InputOpen(), static_cast<int>(deadline - now));
    if ((ready & platform::kOutputReady) == 0) continue;
    for (int i = 0; i < kReadsPerWake; ++i) {
      int64_t n = child.ReadOutput(piece, sizeof piece);
      if (n == -1) break;
      if (n <= 0) {  // every writer closed the output: the normal end
        child.CloseOutput();
        child.CloseInput();
        return CollectOutcome::kComplete;
      }
      ++pieces;
      // Without a timeout only a first piece that carries the whole head
      // may be answered; anything more is treated as the time being up.
      if (noTimeout && (pieces > 1 || std::string_view(piece, static_cast<size_t>(n)).find("\r\n\r\n") ==
                                          std::string_view::npos)) {
        return CollectOutcome::kTimedOut;
      }
      if (!output.Append(piece, static_cast<size_t>(n))) return CollectOutcome::kSpoolFailed;
    }
  }
}

// Waits until the connection's send queue is below the mapping window, so
// a slow client holds at most that much of a large answer in memory.
bool AwaitSendRoom(ConnId conn) {
  const int64_t limit = g_settings.FileMapping > 0 ? g_settings.FileMapping : 16 * 1048576;
  int64_t last = -1;
  uint64_t since = platform::MonotonicMilliseconds();
  for (;;) {
    int64_t pending = 0;
    if (!Link().PendingBytes(conn, pending)) return false;  // the connection is gone
    if (pending < limit) return true;
    uint64_t now = platform::MonotonicMilliseconds();
    if (pending != last) {
      last = pending;
      since = now;
    } else if (now - since >= kSendStallMs) {
      return false;
    }
    platform::SleepMilliseconds(kSendPauseMs);
  }
}

// Statuses whose answers never carry a body.
bool StatusHasNoBody(std::string_view status) {
  return (!status.empty() && status[0] == '1') || status.substr(0, 3) == "204" || status.substr(0, 3) == "304";
}

void WriteAccessLine(ConnId conn, const HttpRequest& request, const ResponseHead& response, int64_t bodySent) {
  if (!g_settings.WriteAccessLog) return;
  AppendAccessLog(AccessLogMessage(conn, request, std::string_view(response.Status).substr(0, 3),
                                   response.ContentLength.empty() ? std::to_string(bodySent) : response.ContentLength));
}

// Sends head and body: the first slice of Buffer bytes together with the
// head, every later slice in a send of its own, each once the send queue
// has room. Returns the body bytes handed to the library; sets complete
// when every byte went.
int64_t SendHeadAndBody(ConnId conn, std::string&& head, std::string_view memoryBody, CgiOutput* spooled,
                        int64_t bodyOffset, int64_t bodyLength, bool& complete) {
  const size_t slice = g_settings.Buffer > 0 ? static_cast<size_t>(g_settings.Buffer) : 40960;
  complete = false;
  std::string spoolBuffer;
  auto sliceAt = [&](int64_t at, size_t length, std::string_view& out) {
    if (spooled == nullptr) {
      out = memoryBody.substr(static_cast<size_t>(at), length);
      return true;
    }
    spoolBuffer.resize(length);
    if (!spooled->ReadAt(bodyOffset + at, spoolBuffer.data(), length)) return false;
    out = spoolBuffer;
    return true;
  };

  int64_t sent = 0;
  size_t first = static_cast<size_t>(std::min<int64_t>(bodyLength, static_cast<int64_t>(slice)));
  std::string_view bytes;
  if (!sliceAt(0, first, bytes)) return 0;
  head.append(bytes);
  if (!SendBytes(conn, head)) return 0;
  sent = static_cast<int64_t>(first);
  while (sent < bodyLength) {
    if (!AwaitSendRoom(conn)) return sent;
    size_t length = static_cast<size_t>(std::min<int64_t>(bodyLength - sent, static_cast<int64_t>(slice)));
    if (!sliceAt(sent, length, bytes) || !SendBytes(conn, bytes)) return sent;
    sent += static_cast<int64_t>(length);
  }
  complete = true;
  return sent;
}

}  // namespace

CgiInput CgiInput::FromMemory(std::string_view bytes) {
  CgiInput input;
  input.memory_ = bytes;
  input.length_ = static_cast<int64_t>(bytes.size());
  return input;
}

CgiInput CgiInput::FromFile(platform::File file, int64_t length) {
  CgiInput input;
  input.file_ = std::move(file);
  input.length_ = length;
  return input;
}

bool CgiInput::Feed(platform::ChildProcess& child) {
  while (child.InputOpen()) {
    if (written_ >= length_) {
      child.CloseInput();  // the child sees the end of its input
      return true;
    }
    std::string_view pending;
    if (file_.IsOpen()) {
      if (bufferStart_ == bufferEnd_) {
        if (buffer_.empty()) buffer_.resize(kInputBufferSize);
        size_t want = static_cast<size_t>(std::min<int64_t>(length_ - written_, static_cast<int64_t>(buffer_.size())));
        int64_t n = file_.Read(buffer_.data(), want);
        if (n <= 0) {
          child.CloseInput();
          return false;
        }
        bufferStart_ = 0;
        bufferEnd_ = static_cast<size_t>(n);
      }
      pending = std::string_view(buffer_).substr(bufferStart_, bufferEnd_ - bufferStart_);
    } else {
      pending = memory_.substr(static_cast<size_t>(written_));
    }
    int64_t n = child.WriteInput(pending.data(), pending.size());
    if (n == -1) return true;  // the pipe is full: wait until it drains
    if (n < 0) {
      child.CloseInput();
      return false;
    }
    written_ += n;
    if (file_.IsOpen()) bufferStart_ += static_cast<size_t>(n);
  }
  return true;
}

void RelayCgiOutput(ConnId conn, platform::ChildProcess& child, CgiInput& input, const HttpRequest& request,
                    ResponseHead& response, std::string_view commandLine) {
  CgiOutput output(conn);
  bool inputFailed = false;
  CollectOutcome outcome = CollectOutput(child, input, output, inputFailed);

  if (outcome == CollectOutcome::kTimedOut) {
    child.Stop();
    SendErrorPage(504, request, response, conn);
    return;
  }
  if (outcome == CollectOutcome::kSpoolFailed) {
    child.Stop();
    std::string detail = OsDetail("CGI 程序的输出无法写入缓存文件。\r\nOS信息 : (", output.Error());
    SendErrorPage(500, request, response, conn, detail);
    return;
  }

  if (output.Size() == 0) {
    std::string detail;
    if (inputFailed) {
      detail = "无法写入 POST 数据。\r\nCGI 程序地址： ";
      detail += commandLine;
    } else if (!child.WaitForExit(kExitGraceMs)) {
      detail = OsDetail("未收到CGI接口的传回收据，接口出现未知错误。\r\nOS信息：(", 0);
    } else {
      detail = OsDetail("未收到CGI接口的传回收据，进程意外退出。\r\nOS信息：(", 0);
    }
    child.Stop();
    SendErrorPage(500, request, response, conn, detail);
    return;
  }

  // The output is whole; whatever of the program still runs has nothing
  // more to say. Stopping it now also tells how it ended: a program killed
  // by a fault of its own (a crash, an abort) may have been cut off
  // anywhere, in its head or its body, and what it wrote is not passed on
  // as if it were its answer.
  child.Stop();
  if (child.Crashed()) {
    SendErrorPage(502, request, response, conn,
                  "CGI 程序异常终止（信号 " + std::to_string(child.CrashSignal()) + "），它的输出不完整。\r\nCGI 程序地址： " +
                      std::string(commandLine));
    return;
  }

  // The head is what lies before the first blank line within the first
  // piece's worth of output; a blank line further on, or none, means the
  // program wrote no head and everything is body.
  int64_t bodyOffset = 0;
  std::string_view window = output.Memory().substr(0, kCgiReadPiece);
  size_t blank = window.find("\r\n\r\n");
  if (blank != std::string_view::npos) {
    ResponseHead parsed = ParseCgiHead(window.substr(0, blank));
    // Keep-alive or close is the dispatcher's decision, not the program's.
    parsed.Connection = std::move(response.Connection);
    parsed.FileName = std::move(response.FileName);
    response = std::move(parsed);
    bodyOffset = static_cast<int64_t>(blank) + 4;
  }
  if (response.Status.empty()) response.Status = "200 OK";

  const bool headOnly = request.Method == "HEAD";
  const bool noBody = StatusHasNoBody(response.Status);
  const bool redirect = response.Status[0] == '3' && !noBody;
  int64_t bodyLength = noBody ? 0 : output.Size() - bodyOffset;
  std::string_view memoryBody;
  std::string compressed;
  if (!output.Spooled() && !noBody) {
    memoryBody = output.Memory().substr(static_cast<size_t>(bodyOffset));
    if (!redirect && g_settings.EnableGZIP && response.ContentEncoding.empty() &&
        AcceptsGzip(request.AcceptEncoding) && IsCompressibleType(response.ContentType) &&
        CompressBytes(memoryBody, compressed)) {
      response.ContentEncoding = "gzip";
      memoryBody = compressed;
      bodyLength = static_cast<int64_t>(compressed.size());
    }
  }
  // Content-Length is the count of the bytes that follow, whatever the
  // program claimed; only a HEAD answer, which sends none, keeps the
  // program's own value.
  if (!headOnly || response.ContentLength.empty()) response.ContentLength = std::to_string(bodyLength);

  std::string head = BuildResponseHead(response);
  // A head without Content-Length (redirect heads drop it, with the body's
  // type and encoding) cannot describe a body: the head goes alone, and the
  // connection closes after it, the one end of the answer a client can see.
  const bool lengthSent = !response.ContentLength.empty();
  const bool closeAfter = EqualsIgnoreCase(response.Connection, "close") || (!lengthSent && !noBody);
  if (closeAfter && !EqualsIgnoreCase(response.Connection, "close")) {
    response.Connection = "close";
    head = BuildResponseHead(response);
  }
  int64_t bodySent = 0;
  bool complete = true;
  if (headOnly || noBody || !lengthSent) {
    complete = SendBytes(conn, head);
  } else {
    bodySent = SendHeadAndBody(conn, std::move(head), memoryBody, output.Spooled() ? &output : nullptr, bodyOffset,
                               bodyLength, complete);
  }
  WriteAccessLine(conn, request, response, bodySent);

  if (closeAfter || !complete) Link().Disconnect(conn);
}

}  // namespace zevra
