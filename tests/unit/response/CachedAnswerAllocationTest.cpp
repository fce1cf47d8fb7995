// A small file answered from the file cache costs no heap allocation per
// request: every global operator new in this test program is counted, and a
// warmed-up answer must not add to the count.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/Clock.h"
#include "platform/FileCache.h"
#include "server/core/Runtime.h"
#include "server/response/StaticFile.h"
#include "tests/support/TempDirectory.h"

namespace {
std::atomic<uint64_t> g_allocations{0};
}  // namespace

void* operator new(size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace zevra {
namespace {

// A link that keeps the last answer in a fixed buffer: it allocates nothing
// itself, so every allocation counted is the answer's own.
class FixedLink : public ServerLink {
 public:
  bool Send(ConnId, const void* data, size_t length) override {
    if (length > sizeof last_) return false;
    std::memcpy(last_, data, length);
    length_ = length;
    ++sends_;
    return true;
  }
  bool Disconnect(ConnId) override { return true; }
  bool PendingBytes(ConnId, int64_t& pending) override {
    pending = 0;
    return true;
  }
  ConnectionContext* Context(ConnId) override { return nullptr; }
  bool SetContext(ConnId, ConnectionContext*) override { return true; }
  uint32_t ConnectionCount() override { return 1; }
  bool RemoteAddress(ConnId, std::string& address, uint16_t& port) override {
    address = "127.0.0.1";
    port = 1;
    return true;
  }
  bool ListenAddress(std::string& address, uint16_t& port) override { return RemoteAddress(0, address, port); }
  std::string Last() const { return std::string(last_, length_); }
  int sends_ = 0;

 private:
  char last_[65536];
  size_t length_ = 0;
};

TEST(CachedAnswer, AllocatesNothingPerRequest) {
  platform::FileCache cache;
  if (!cache.Active()) GTEST_SKIP() << "no file notifications here";
  testfiles::TempDirectory dir;
  const std::string path = dir.Write("site/1k.bin", std::string(1024, 'k'));
  FixedLink link;
  SetLink(&link);
  const bool logged = g_settings.WriteAccessLog;
  g_settings.WriteAccessLog = false;  // the log's own buffers are the log's concern

  HttpRequest request;
  request.Method = "GET";
  request.LocalPath = path;
  request.FileName = "1k.bin";
  ResponseHead response;
  response.FileName = "1k.bin";
  response.Connection = "keep-alive";
  auto answer = [&] { SendStaticFile(request, response, 1, nullptr, cache.Open(path)); };
  answer();
  answer();  // the second one warms the thread's buffers and the kept head
  const std::string warmed = link.Last();

  // A new second formats a new Date once per thread: tried again then.
  uint64_t counted = 1;
  for (int attempt = 0; attempt < 3 && counted != 0; ++attempt) {
    const int64_t second = platform::UnixSecondsNow();
    const uint64_t before = g_allocations.load();
    answer();
    counted = g_allocations.load() - before;
    if (platform::UnixSecondsNow() != second) counted = 1;
  }
  g_settings.WriteAccessLog = logged;
  SetLink(nullptr);
  EXPECT_EQ(counted, 0u);
  // And it is the whole answer: the head with its body.
  const std::string sent = link.Last();
  EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(sent.find("\r\nContent-Length: 1024\r\n"), std::string::npos);
  EXPECT_NE(sent.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(sent.substr(sent.size() - 1024), std::string(1024, 'k'));
  EXPECT_EQ(sent.size(), warmed.size());
}

}  // namespace
}  // namespace zevra
