// The server's binding to the compression library: one context per call,
// driven in 8192-byte pieces until the library says the stream is done.
#include "server/response/Compression.h"

#include <atomic>
#include <cstdint>
#include <memory>

#include "gzip/Compression.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

constexpr int kPieceSize = 8192;
constexpr int kCompressionFlags = 3;

// The library is set up and released around each call, so nothing of one
// stream outlives it; the context goes back on every path.
struct LibraryScope {
  LibraryScope() { InitCompression(); }
  ~LibraryScope() { DeInitCompression(); }
  LibraryScope(const LibraryScope&) = delete;
  LibraryScope& operator=(const LibraryScope&) = delete;
};

struct ContextRelease {
  void operator()(void* context) const { DestroyCompression(context); }
};
using ContextHandle = std::unique_ptr<void, ContextRelease>;

std::atomic<CompressFunction> g_compressFunction{nullptr};

bool LibraryCompress(std::string_view input, std::string& output) {
  output.clear();
  LibraryScope library;
  void* raw = nullptr;
  CreateCompression(&raw, kCompressionFlags);
  ContextHandle context(raw);
  if (!context) return false;

  // Out-of-range levels are clamped to 0..9 by the library.
  const int level = g_settings.GZIPCompressLevel;
  const auto* data = reinterpret_cast<const uint8_t*>(input.data());
  output.reserve(input.size() / 3 + 64);
  uint8_t buffer[kPieceSize];
  size_t position = 0;
  // Every round either takes input or gives output, and the output of a
  // deflate stream is bounded by its input, so this many rounds always
  // suffice; the bound only guards against a library that stops moving.
  const size_t maxRounds = 2 * (input.size() + 1024);
  for (size_t round = 0; round < maxRounds; ++round) {
    const size_t left = input.size() - position;
    const int piece = left < static_cast<size_t>(kPieceSize) ? static_cast<int>(left) : kPieceSize;
    int consumed = 0;
    int produced = 0;
    // An empty piece, once the input is used up, tells the library to finish.
    const int result = Compress(context.get(), piece > 0 ? data + position : nullptr, piece, buffer, kPieceSize,
                                &consumed, &produced, level);
    if (produced > 0 && produced <= kPieceSize) output.append(reinterpret_cast<const char*>(buffer), produced);
    if (consumed > 0 && consumed <= piece) position += static_cast<size_t>(consumed);
    if (result != 0) return result > 0;
  }
  return false;
}

}  // namespace

bool CompressBytes(std::string_view input, std::string& output) {
  const CompressFunction function = g_compressFunction.load(std::memory_order_acquire);
  if (function != nullptr) return function(input, output);
  return LibraryCompress(input, output);
}

std::string CompressBytes(std::string_view input) {
  std::string output;
  if (!CompressBytes(input, output)) output.clear();
  return output;
}

void SetCompressFunction(CompressFunction function) {
  g_compressFunction.store(function, std::memory_order_release);
}

}  // namespace zevra
