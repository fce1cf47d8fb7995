// Arbitrary chunk sequences through receive buffering on a fake
// connection. The input is a list of steps: a control byte, then the
// piece it feeds.
//   bits 0-5  piece length - 1 (1..64 bytes of the input)
//   bit 6     feed the piece 1 + <next byte> times (long and spooled bodies)
//   bit 7     after feeding: the held request (if any) is answered; with
//             bit 6 clear as well, the connection closes and a new one opens
// The first input byte chooses whether the handlers answer at once or keep
// the request (bit 0), so bytes that arrive while a handler holds the
// connection are exercised too, and whether WebTemp is missing (bit 1), so
// spooling fails. After every input: no spool file left behind, the
// context back to sane values.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/System.h"
#include "server/net/ReceiveBuffer.h"
#include "server/core/Runtime.h"
#include "tests/support/FakeLink.h"

namespace zevra {
namespace {

namespace fs = std::filesystem;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

using FuzzLink = fakes::FakeLink;

constexpr ConnId kConn = 3;
FuzzLink* g_link = nullptr;
bool g_keepRequests = false;
bool g_held = false;
fs::path g_root;

void Handle(ConnId conn) {
  ConnectionContext* ctx = Link().Context(conn);
  Check(ctx != nullptr);
  {
    std::lock_guard<std::recursive_mutex> guard(ctx->lock);
    Check(ctx->busy == 1);
    Check(ctx->headLength > 0 && static_cast<size_t>(ctx->headLength) == ctx->headBuffer.size());
    Check(ctx->headBuffer.size() <= kMaxHeadBytes);
    Check(ctx->headBuffer.size() >= 4 && ctx->headBuffer.compare(ctx->headBuffer.size() - 4, 4, "\r\n\r\n") == 0);
    Check(ctx->bodyReceived == ctx->contentLength);
    if (ctx->bodySpooled == 0) {
      if (ctx->requestKind == kKindPost) Check(static_cast<int64_t>(ctx->bodyMemory.size()) == ctx->bodyReceived);
    } else {
      Check(!ctx->bodyFile.IsOpen());
      std::error_code error;
      Check(static_cast<int64_t>(fs::file_size(SpoolFilePath(ctx->spoolNumber, true), error)) ==
            ctx->bodyReceived);
      Check(!error);
      Check(!fs::exists(SpoolFilePath(ctx->spoolNumber, false)));
    }
  }
  Link().Send(conn, "answer", 6);
  if (g_keepRequests) {
    g_held = true;
    return;
  }
  ResetRequestState(conn);
}

// 413: a declared body above MaxBodySize, refused before a byte of it is read.
void HandlePage(int status, ConnId, std::string_view) {
  Check(status == 400 || status == 411 || status == 413 || status == 500);
}
void HandleContinue(ConnId) {}

const RequestHandlers kHandlers = {Handle, Handle, HandlePage, HandleContinue, Handle, nullptr};

bool g_noSpoolDirectory = false;

// Without WebTemp nothing can have been written anywhere near it.
bool SpoolDirectoryEmpty() {
  std::error_code error;
  if (g_noSpoolDirectory) return !fs::exists(g_root / "WebTemp", error) && !error;
  return fs::is_empty(g_root / "WebTemp", error) && !error;
}

void CheckIdle(const ConnectionContext& c) {
  Check(c.busy == 0);
  Check(c.state == kStateIdle);
  Check(c.bodySpooled == 0 && !c.bodyFile.IsOpen());
  Check(c.bodyMemory.empty() && c.headBuffer.empty() && c.headPart.empty());
  Check(c.headLength == 0 && c.contentLength == 0 && c.bodyReceived == 0);
}

// Any state between chunks: bounded buffers, counts that agree.
void CheckBetween(const ConnectionContext& c) {
  Check(c.headPart.size() < kMaxHeadBytes);
  Check(c.deferred.size() <= kMaxHeadBytes);
  Check(c.bodyReceived >= 0 && c.contentLength >= 0 && c.bodyReceived <= c.contentLength);
  Check(c.bodyMemory.size() <= static_cast<size_t>(kMaxMemoryBody));
  if (c.bodySpooled != 0) Check(c.bodyMemory.empty());
}

}  // namespace
}  // namespace zevra

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  using namespace zevra;
  std::error_code error;
  g_root = fs::temp_directory_path() / ("zevra-fuzz-receive-" + std::to_string(platform::CurrentProcessId()));
  fs::remove_all(g_root, error);
  fs::create_directories(g_root / "WebTemp");
  fs::create_directories(g_root / "WebRoot");
  g_startup.programDirectory = g_root.string();
  static FuzzLink link;
  g_link = &link;
  SetLink(&link);
  link.SetCloseOnDisconnect(false);
  SetRequestHandlers(&kHandlers);
  std::atexit([] {
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zevra;
  if (size == 0) return 0;
  g_keepRequests = (data[0] & 1) != 0;
  // Bit 1: WebTemp is missing, so a spooled body cannot be stored (500).
  g_noSpoolDirectory = (data[0] & 2) != 0;
  std::error_code error;
  if (g_noSpoolDirectory) fs::remove_all(g_root / "WebTemp", error);
  g_held = false;
  size_t at = 1;

  auto context = std::make_unique<ConnectionContext>();
  auto open = [&] {
    context = std::make_unique<ConnectionContext>();
    context->spoolNumber = NewSpoolNumber();
    g_link->Reset(kConn);
    g_link->SetContext(kConn, context.get());
    g_held = false;
  };
  auto close = [&] {
    ReleaseConnectionState(*context);
    g_link->Reset(kConn);
    Check(SpoolDirectoryEmpty());
  };
  open();

  // The step count is bounded by the input; the repeats by 256 per step.
  while (at < size) {
    const uint8_t control = data[at++];
    size_t length = (control & 0x3f) + 1u;
    size_t repeat = 1;
    if ((control & 0x40) != 0 && at < size) repeat = 1u + data[at++];
    if (length > size - at) length = size - at;
    const uint8_t* piece = data + at;
    at += length;
    for (size_t i = 0; i < repeat && length > 0; ++i) HandleReceivedData(kConn, piece, length);
    CheckBetween(*context);
    if ((control & 0x80) != 0) {
      if (g_held) {
        g_held = false;
        ResetRequestState(kConn);
        CheckIdle(*context);
        Check(SpoolDirectoryEmpty());
      } else if ((control & 0x40) == 0) {
        close();
        open();
      }
    }
  }
  if (g_held) {
    ResetRequestState(kConn);
    CheckIdle(*context);
    Check(SpoolDirectoryEmpty());
  }
  close();
  if (g_noSpoolDirectory) fs::create_directories(g_root / "WebTemp", error);
  return 0;
}
