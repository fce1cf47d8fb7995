// The compression library on zlib. A context is a deflate stream with the
// gzip wrapper; it is set up on the first Compress call because the level
// comes with each call, and a stream's level is fixed when it starts.
#include "gzip/Compression.h"

#include <new>
#include <zlib.h>

namespace {

struct CompressionContext {
  z_stream stream{};
  bool started = false;
  bool finished = false;
};

// zlib knows levels 0 (store) to 9; the setting may hold anything.
int ClampLevel(int level) {
  if (level < 0) return 0;
  if (level > 9) return 9;
  return level;
}

}  // namespace

extern "C" {

int GZIP_CALL InitCompression(void) { return 0; }
int GZIP_CALL DeInitCompression(void) { return 0; }

int GZIP_CALL CreateCompression(void** context, int /*flags*/) {
  if (context == nullptr) return -1;
  *context = new (std::nothrow) CompressionContext();
  return *context != nullptr ? 0 : -1;
}

int GZIP_CALL DestroyCompression(void* context) {
  auto* ctx = static_cast<CompressionContext*>(context);
  if (ctx == nullptr) return -1;
  if (ctx->started) deflateEnd(&ctx->stream);
  delete ctx;
  return 0;
}

int GZIP_CALL Compress(void* context, const uint8_t* input, int inputLength, uint8_t* output, int outputCapacity,
                       int* consumed, int* produced, int level) {
  if (consumed != nullptr) *consumed = 0;
  if (produced != nullptr) *produced = 0;
  auto* ctx = static_cast<CompressionContext*>(context);
  if (ctx == nullptr || output == nullptr || outputCapacity <= 0 || inputLength < 0) return -1;
  if (ctx->finished) return 1;
  if (!ctx->started) {
    // 15 window bits + 16: a gzip header and trailer around the deflate data.
    if (deflateInit2(&ctx->stream, ClampLevel(level), Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
      return -1;
    }
    ctx->started = true;
  }
  z_stream& s = ctx->stream;
  s.next_in = const_cast<Bytef*>(input);
  s.avail_in = static_cast<uInt>(input != nullptr ? inputLength : 0);
  s.next_out = output;
  s.avail_out = static_cast<uInt>(outputCapacity);
  // An empty input piece is the caller's "no more input".
  const int flush = s.avail_in == 0 ? Z_FINISH : Z_NO_FLUSH;
  const int r = deflate(&s, flush);
  if (consumed != nullptr) *consumed = inputLength - static_cast<int>(s.avail_in);
  if (produced != nullptr) *produced = outputCapacity - static_cast<int>(s.avail_out);
  if (r == Z_STREAM_END) {
    ctx->finished = true;
    return 1;
  }
  if (r == Z_OK) return 0;
  // Z_BUF_ERROR: no progress was possible. Let the caller go round again
  // only when something moved, so that a driving loop always ends.
  if (r == Z_BUF_ERROR && (s.avail_in != static_cast<uInt>(inputLength) ||
                           s.avail_out != static_cast<uInt>(outputCapacity))) {
    return 0;
  }
  return -1;
}

}  // extern "C"
