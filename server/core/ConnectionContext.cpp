#include "server/core/ConnectionContext.h"

#include "platform/File.h"
#include "server/core/ProgramPaths.h"

namespace zevra {
namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

// Buffers up to this size are kept between requests instead of freed, so a
// kept-alive connection does not allocate for every head.
constexpr size_t kKeptCapacity = 4096;

void ReleaseBody(ConnectionContext& ctx) {
  if (ctx.bodySpooled != 0) {
    ctx.bodyFile.Close();
    // Done_ after a complete body; Recving_ when the request ended early.
    platform::RemoveFile(SpoolFilePath(ctx.spoolNumber, true));
    platform::RemoveFile(SpoolFilePath(ctx.spoolNumber, false));
  }
  std::string().swap(ctx.bodyMemory);
  ctx.bodySpooled = 0;
}

}  // namespace

void ResetRequestState(ConnId conn) {
  ConnectionContext* ctx = Link().Context(conn);
  if (ctx == nullptr) return;
  Link().SetRequestPhase(conn, RequestPhase::kIdle);
  Guard guard(ctx->lock);
  ctx->busy = 0;
  ctx->state = kStateIdle;
  ReleaseBody(*ctx);
  if (ctx->headBuffer.capacity() > kKeptCapacity) {
    std::string().swap(ctx->headBuffer);
  } else {
    ctx->headBuffer.clear();
  }
  std::string().swap(ctx->headPart);
  ctx->bodyReceived = 0;
  ctx->contentLength = 0;
  ctx->headLength = 0;
  ctx->requestKind = kKindNone;
  ctx->bodyDropped = 0;
}

void ReleaseConnectionState(ConnectionContext& context) {
  Guard guard(context.lock);
  ReleaseBody(context);
}

}  // namespace zevra
