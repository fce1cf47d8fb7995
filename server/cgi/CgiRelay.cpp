// The CGI output relay. One thread drives the child: it writes the body to
// the child's input whenever the pipe takes bytes and reads the output
// whenever there is some, so neither side can block the other, and every
// wait is bounded by the gateway deadline. The whole output is collected
// before the answer goes out (it gets an exact Content-Length that way);
// what does not fit the memory limit goes on into a spool file.
#include "server/cgi/CgiRelay.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "common/Text.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "server/cgi/CgiHead.h"
#include "server/core/OsDetail.h"
#include "server/core/ProgramPaths.h"
#include "server/core/ServerLink.h"
#include "server/response/Answer.h"
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
constexpr size_t kInputBufferSize = 65536;


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
      spoolPath_ = SpoolPath("Cgi_", conn_);
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

// How the system ended a crashed program, as its own tools show it: the
// signal number on POSIX, the exception code in hex on Windows.
std::string CrashCause(const platform::ExitReason& reason) {
  if (!platform::EndsByExceptionCode()) return "信号 " + std::to_string(reason.code);
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(reason.code));
  return std::string("异常代码 ") + code;
}

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
    // Reading first and waiting after a read that found nothing: the wait
    // is for the operations left pending, which on Windows are the
    // overlapped read and write themselves.
    bool drained = false;
    for (int i = 0; i < kReadsPerWake && !drained; ++i) {
      int64_t n = child.ReadOutput(piece, sizeof piece);
      drained = n == -1;
      if (drained) break;
      if (n <= 0) {  // every writer closed the output: the normal end
        // A program that ends without reading its body may be seen ending
        // before the write that it refused: try the rest once more, so the
        // answer tells that the body could not be written, whichever of the
        // two events the wait reported first.
        if (child.InputOpen() && !input.Feed(child)) inputFailed = true;
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
    if (!drained) continue;
    now = platform::MonotonicMilliseconds();
    if (now >= deadline) return CollectOutcome::kTimedOut;
    child.WaitForProgress(static_cast<int>(deadline - now));
  }
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
    std::string detail = "CGI 程序的输出无法写入缓存文件。\r\n" + OsDetail(output.Error());
    SendErrorPage(500, request, response, conn, detail);
    return;
  }

  if (output.Size() == 0) {
    std::string detail;
    if (inputFailed) {
      detail = "无法写入 POST 数据。\r\nCGI 程序地址： ";
      detail += commandLine;
    } else if (!child.WaitForExit(kExitGraceMs)) {
      detail = "未收到CGI接口的传回收据，接口出现未知错误。\r\n" + OsDetail(0, kOsDetailLeadFullWidth);
    } else {
      detail = "未收到CGI接口的传回收据，进程意外退出。\r\n" + OsDetail(0, kOsDetailLeadFullWidth);
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
                  "CGI 程序异常终止（" + CrashCause(child.EndReason()) + "），它的输出不完整。\r\nCGI 程序地址： " +
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
  const bool noBody = !StatusHasBody(response.Status);
  const bool redirect = response.Status[0] == '3' && !noBody;
  Answer answer;
  std::string spoolBuffer;
  if (noBody) {
    // Whatever the program wrote after such a head is no part of the answer.
  } else if (output.Spooled()) {
    const int64_t bodyLength = output.Size() - bodyOffset;
    // Content-Length is the count of the bytes that follow, whatever the
    // program claimed; only a HEAD answer, which sends none, keeps the
    // program's own value.
    if (!headOnly || response.ContentLength.empty()) response.ContentLength = std::to_string(bodyLength);
    // bodyLength by value: the sender runs in FinishAnswer, after this
    // block (and the variable) has ended.
    answer.sendBody = [&, bodyLength](std::string& head) {
      return SendInSlices(conn, head, bodyLength, [&](int64_t at, size_t length, std::string_view& out) {
        spoolBuffer.resize(length);
        if (!output.ReadAt(bodyOffset + at, spoolBuffer.data(), length)) return false;
        out = spoolBuffer;
        return true;
      });
    };
  } else {
    answer.body = output.Memory().substr(static_cast<size_t>(bodyOffset));
    // A redirect's head drops the body's encoding; the program's own
    // encoding is never wrapped in a second one.
    answer.compress = !redirect && g_settings.EnableGZIP && response.ContentEncoding.empty() &&
                      AcceptsGzip(request.AcceptEncoding) && IsCompressibleType(response.ContentType);
  }
  answer.keepLength = headOnly && !response.ContentLength.empty();
  FinishAnswer(conn, request, response, answer);
}

}  // namespace zevra
