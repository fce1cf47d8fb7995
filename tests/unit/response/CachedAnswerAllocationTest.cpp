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

// Every plain form is replaced, so that memory from any of them (the
// compression library allocates with the nothrow form) is released by the
// matching replacement: a sanitizer reports a new of its own freed here.
namespace {
void* CountedAllocation(size_t size) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void* operator new(size_t size) {
  if (void* p = CountedAllocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* p = CountedAllocation(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return CountedAllocation(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

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

// Answers the request three times (the first two warm the kept version and
// the thread's buffers) and gives the allocations of the last one; a new
// second on the clock (a new Date text, once per thread) is tried again.
uint64_t AllocationsOfAWarmAnswer(platform::FileCache& cache, const std::string& path, HttpRequest& request,
                                  const ResponseHead& prepared) {
  auto answer = [&] {
    ResponseHead response = prepared;
    SendStaticFile(request, response, 1, nullptr, cache.Open(path));
  };
  answer();
  answer();
  uint64_t counted = 1;
  for (int attempt = 0; attempt < 3 && counted != 0; ++attempt) {
    const ResponseHead response = prepared;  // the record's copy is the caller's, not counted
    ResponseHead working = response;
    platform::FileCacheRef entry = cache.Open(path);
    const int64_t second = platform::UnixSecondsNow();
    const uint64_t before = g_allocations.load();
    SendStaticFile(request, working, 1, nullptr, std::move(entry));
    counted = g_allocations.load() - before;
    if (platform::UnixSecondsNow() != second) counted = 1;
  }
  return counted;
}

class CachedAnswer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cache_.Active()) GTEST_SKIP() << "no file notifications here";
    SetLink(&link_);
    saved_ = g_settings;
    savedProgram_ = g_startup.programDirectory;
    g_settings.WriteAccessLog = false;  // the log's own buffers are the log's concern
    g_settings.EnableGZIP = true;
    g_startup.programDirectory = dir_.MakeDirectory("program");
    dir_.MakeDirectory("program/WebCache");
  }
  void TearDown() override {
    g_settings = saved_;
    g_startup.programDirectory = savedProgram_;
    SetLink(nullptr);
  }
  platform::FileCache cache_;
  testfiles::TempDirectory dir_;
  FixedLink link_;
  ServerSettings saved_;
  std::string savedProgram_;
};

TEST_F(CachedAnswer, OfASmallFileAllocatesNothing) {
  const std::string path = dir_.Write("site/1k.bin", std::string(1024, 'k'));
  HttpRequest request;
  request.Method = "GET";
  request.LocalPath = path;
  request.FileName = "1k.bin";
  ResponseHead response;
  response.FileName = "1k.bin";
  response.Connection = "keep-alive";
  EXPECT_EQ(AllocationsOfAWarmAnswer(cache_, path, request, response), 0u);
  // And it is the whole answer: the head with its body.
  const std::string sent = link_.Last();
  EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(sent.find("\r\nContent-Length: 1024\r\n"), std::string::npos);
  EXPECT_NE(sent.find("\r\nConnection: keep-alive\r\n"), std::string::npos);
  EXPECT_EQ(sent.substr(sent.size() - 1024), std::string(1024, 'k'));
}

TEST_F(CachedAnswer, OfACompressedCopyAllocatesNothing) {
  std::string text;
  for (int i = 0; i < 2000; ++i) text += "a line of text that compresses well\n";
  const std::string path = dir_.Write("site/page.js", text);
  HttpRequest request;
  request.Method = "GET";
  request.LocalPath = path;
  request.FileName = "page.js";
  ResponseHead response;
  response.FileName = "page.js";
  response.Connection = "keep-alive";
  response.ContentEncoding = "gzip";
  EXPECT_EQ(AllocationsOfAWarmAnswer(cache_, path, request, response), 0u);
  const std::string sent = link_.Last();
  EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_NE(sent.find("\r\nContent-Encoding: gzip\r\n"), std::string::npos);
  EXPECT_NE(sent.find("\r\nVary: Accept-Encoding\r\n"), std::string::npos);
}

}  // namespace
}  // namespace zevra
