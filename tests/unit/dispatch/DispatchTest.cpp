// Dispatch and static delivery driven through a fake connection over a
// real program directory: which answer a request gets, how the connection
// is kept or closed, path traversal, ranges, the compressed copies and the
// paced body loop.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/FakeLink.h"
#include "tests/support/TempDirectory.h"
#include "platform/File.h"
#include "platform/System.h"
#include "server/core/ConnectionContext.h"
#include "server/dispatch/Dispatch.h"
#include "server/dispatch/HostTable.h"
#include "server/core/Runtime.h"
#include "server/response/StaticFile.h"

namespace zevra {
namespace {

// Windows reads some names otherwise than they are written and the build
// for it refuses them (see platform/win32/Path.cpp).
constexpr bool kWindows = platform::kPathSeparator == '\\';

using fakes::FakeLink;
using testfiles::TempDirectory;

struct Answer {
  std::string status;  // "200 OK"
  std::string head;
  std::string body;
  int disconnects = 0;
  std::string Header(const std::string& name) const {
    const std::string key = "\r\n" + name + ": ";
    size_t at = head.find(key);
    if (at == std::string::npos) return "<none>";
    at += key.size();
    return head.substr(at, head.find("\r\n", at) - at);
  }
};

// A head without its Date line, which may differ between two answers.
std::string WithoutDate(const std::string& head) {
  const size_t at = head.find("\r\nDate: ");
  if (at == std::string::npos) return head;
  return head.substr(0, at) + head.substr(head.find("\r\n", at + 2));
}

class Dispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    savedSettings_ = g_settings;
    savedStartup_ = g_startup;
    g_settings = ServerSettings{};
    g_settings.WriteAccessLog = false;
    g_startup.programDirectory = dir_.Path();
    // Views start at the machine's own granularity (64 KiB on Windows).
    g_startup.allocationGranularity = platform::AllocationGranularity();
    for (const char* folder : {"WebRoot", "WebCache", "WebTemp", "WebLogs"}) dir_.MakeDirectory(folder);
    dir_.Write("WebRoot/index.html", "<h1>hello</h1>");
    dir_.Write("secret.txt", "TOP-SECRET");
    LoadHostFiles(dir_.Path());
    GzipCache().Clear();
  }
  void TearDown() override {
    g_settings = savedSettings_;
    g_startup = savedStartup_;
    GzipCache().Clear();
  }

  // Sends one request head through the GET handler on a fresh connection.
  Answer Get(const std::string& head) {
    const ConnId conn = nextConn_++;
    ConnectionContext context;
    context.headBuffer = head;
    context.headLength = static_cast<int32_t>(head.size());
    context.busy = 1;
    context.state = kStateReceiving;
    link_.SetContext(conn, &context);
    HandleGetRequest(conn);
    Answer a;
    const std::string sent = link_.Sent(conn);
    a.disconnects = link_.Disconnects(conn);
    // A closed connection has no context left to reset.
    if (a.disconnects == 0) {
      EXPECT_EQ(context.busy, 0) << "the request was not ended";
      EXPECT_EQ(context.state, kStateIdle);
    }
    link_.SetContext(conn, nullptr);
    const size_t end = sent.find("\r\n\r\n");
    if (end == std::string::npos) {
      a.head = sent;
      return a;
    }
    a.head = sent.substr(0, end + 2);
    a.body = sent.substr(end + 4);
    const size_t space = a.head.find(' ');
    a.status = a.head.substr(space + 1, a.head.find("\r\n") - space - 1);
    return a;
  }
  Answer GetPath(const std::string& target, const std::string& extra = "") {
    return Get("GET " + target + " HTTP/1.1\r\nHost: localhost\r\n" + extra + "\r\n");
  }

  TempDirectory dir_;
  FakeLink link_;
  ConnId nextConn_ = 100;
  ServerSettings savedSettings_;
  StartupValues savedStartup_;
};

TEST_F(Dispatch, FallbackSiteServesItsIndex) {
  Answer a = GetPath("/");
  EXPECT_EQ(a.status, "200 OK");
  EXPECT_EQ(a.body, "<h1>hello</h1>");
  EXPECT_EQ(a.Header("Content-Length"), "14");
  EXPECT_EQ(a.Header("Content-Type"), "text/html");
  EXPECT_EQ(a.Header("Connection"), "keep-alive");
  EXPECT_EQ(a.disconnects, 0);
}

TEST_F(Dispatch, TraversalNeverLeavesTheDocumentRoot) {
  const char* const targets[] = {
      "/../secret.txt",      "/a/../../secret.txt", "/%2e%2e/secret.txt", "/%2E%2e/secret.txt",
      "/..%2fsecret.txt",    "/..%2Fsecret.txt",    "/%2e%2e%2fsecret.txt", "/..%5csecret.txt",
      "/%5c..%5csecret.txt", "/..\\secret.txt",     "/.%2e/secret.txt",   "/x/..",
  };
  for (const char* target : targets) {
    Answer a = GetPath(target);
    EXPECT_EQ(a.status, "403 Forbidden") << target;
    EXPECT_EQ(a.body.find("TOP-SECRET"), std::string::npos) << target;
  }
  // Not traversal at all, but looked at anyway: these name nothing that
  // exists and must not reach the file either. Windows strips the dots
  // that end a segment ("...." would name the folder itself): there such
  // a segment is refused outright.
  for (std::string target : {"/....//secret.txt", "/%252e%252e/secret.txt", "/.../secret.txt"}) {
    Answer a = GetPath(target);
    const bool dotted = target.find("/...") != std::string::npos;
    EXPECT_EQ(a.status, kWindows && dotted ? "403 Forbidden" : "404 Not Found") << target << a.head << a.body;
    EXPECT_EQ(a.body.find("TOP-SECRET"), std::string::npos) << target;
  }
}

TEST_F(Dispatch, ConnectionFieldIsDecidedOnceAndHonoured) {
  struct Case {
    const char* version;
    const char* connection;
    const char* expected;
  } cases[] = {
      {"HTTP/1.1", nullptr, "keep-alive"},
      {"HTTP/1.1", "close", "close"},
      {"HTTP/1.1", "Close", "close"},
      {"HTTP/1.1", "keep-alive, close", "close"},
      {"HTTP/1.1", "Keep-Alive", "keep-alive"},
      {"HTTP/1.1", "Upgrade", "keep-alive"},
      {"HTTP/1.0", nullptr, "close"},
      {"HTTP/1.0", "keep-alive", "keep-alive"},
      {"HTTP/1.0", "Keep-Alive", "keep-alive"},
  };
  for (const Case& c : cases) {
    for (const char* target : {"/index.html", "/missing.html", "/"}) {
      std::string head = std::string("GET ") + target + " " + c.version + "\r\nHost: x\r\n";
      if (c.connection) head += std::string("Connection: ") + c.connection + "\r\n";
      Answer a = Get(head + "\r\n");
      const std::string label = std::string(c.version) + " " + (c.connection ? c.connection : "-") + " " + target;
      EXPECT_EQ(a.Header("Connection"), c.expected) << label;
      EXPECT_EQ(a.disconnects, std::string(c.expected) == "close" ? 1 : 0) << label;
    }
  }
}

TEST_F(Dispatch, GzipOnlyForClientsThatNameIt) {
  EXPECT_EQ(GetPath("/index.html", "Accept-Encoding: br\r\n").Header("Content-Encoding"), "<none>");
  EXPECT_EQ(GetPath("/index.html", "Accept-Encoding: identity\r\n").Header("Content-Encoding"), "<none>");
  EXPECT_EQ(GetPath("/index.html", "Accept-Encoding: gzip;q=0\r\n").Header("Content-Encoding"), "<none>");
  Answer a = GetPath("/index.html", "Accept-Encoding: deflate, GZIP\r\n");
  EXPECT_EQ(a.Header("Content-Encoding"), "gzip");
  EXPECT_EQ(a.Header("Vary"), "Accept-Encoding");
  EXPECT_EQ(a.body.substr(0, 2), "\x1f\x8b");
  EXPECT_EQ(a.Header("Content-Length"), std::to_string(a.body.size()));
  // The copy sits under its final name, and no partial file is left.
  size_t copies = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path("WebCache"))) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".part"), std::string::npos) << name;
    copies += name.starts_with("cache_");
  }
  EXPECT_EQ(copies, 1u);
  g_settings.EnableGZIP = false;
  EXPECT_EQ(GetPath("/index.html", "Accept-Encoding: gzip\r\n").Header("Content-Encoding"), "<none>");
}

TEST_F(Dispatch, ConcurrentFirstRequestsShareOneCompleteCopy) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + "\n";
  dir_.Write("WebRoot/shared.txt", text);
  // Written seconds ago: a copy made in its file's own last second is made
  // again by the next request, which is not what this case is about.
  std::filesystem::last_write_time(dir_.Path("WebRoot/shared.txt"),
                                   std::filesystem::file_time_type::clock::now() - std::chrono::seconds(10));
  const std::string head = "GET /shared.txt HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n";
  constexpr int kThreads = 6;
  ConnectionContext contexts[kThreads];
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    contexts[t].headBuffer = head;
    contexts[t].headLength = static_cast<int32_t>(head.size());
    contexts[t].busy = 1;
    link_.SetContext(500 + t, &contexts[t]);
  }
  for (int t = 0; t < kThreads; ++t) threads.emplace_back([t] { HandleGetRequest(500 + t); });
  for (auto& th : threads) th.join();
  const std::string first = link_.Sent(500);
  const std::string firstBody = first.substr(first.find("\r\n\r\n") + 4);
  ASSERT_EQ(firstBody.substr(0, 2), "\x1f\x8b");
  for (int t = 1; t < kThreads; ++t) {
    const std::string sent = link_.Sent(500 + t);
    EXPECT_TRUE(sent.substr(sent.find("\r\n\r\n") + 4) == firstBody) << t;
  }
  size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_.Path("WebCache"))) {
    ++entries;
    EXPECT_EQ(static_cast<size_t>(entry.file_size()), firstBody.size());
  }
  EXPECT_EQ(entries, 1u);
}

TEST_F(Dispatch, FailedCopyIsAnsweredAndNotRemembered) {
  std::filesystem::remove_all(dir_.Path("WebCache"));
  Answer a = GetPath("/index.html", "Accept-Encoding: gzip\r\n");
  EXPECT_EQ(a.status, "500 Internal Server Error");
  EXPECT_EQ(GzipCache().Find(dir_.Path("WebRoot/index.html")), nullptr);
  dir_.MakeDirectory("WebCache");
  EXPECT_EQ(GetPath("/index.html", "Accept-Encoding: gzip\r\n").Header("Content-Encoding"), "gzip");
}

TEST_F(Dispatch, MalformedAndRefusedRequests) {
  EXPECT_EQ(Get("GET  / HTTP/1.1\r\nHost: x\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(Get("GET http://x/../secret.txt HTTP/1.1\r\nHost: x\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(Get("GET C:\\secret.txt HTTP/1.1\r\nHost: x\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(Get("POST * HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(GetPath("/" + std::string(253, 'a')).status, "404 Not Found");  // 254 bytes
  EXPECT_EQ(GetPath("/" + std::string(254, 'a')).status, "414 Request-URI Too Long");
  dir_.Write("WebRoot/name.", "x");
  EXPECT_EQ(GetPath("/name.").status, kWindows ? "403 Forbidden" : "404 Not Found");
  link_.SetConnectionCount(1024 + 65);
  Answer busy = GetPath("/index.html");
  EXPECT_EQ(busy.status, "503 Service Unavailable");
  EXPECT_EQ(busy.disconnects, 1);
  link_.SetConnectionCount(1024 + 64);
  EXPECT_EQ(GetPath("/index.html").status, "200 OK");
}

// Windows reads some names as other names: a stream of the file (':'), the
// name without its trailing dot or blank, a device. They are refused
// there; on POSIX they are ordinary names and keep their ordinary answers.
TEST_F(Dispatch, NamesWindowsWouldMisreadAreRefusedOnlyThere) {
  const bool windows = platform::kPathSeparator == '\\';
  dir_.Write("WebRoot/page.html", "page");
  for (const char* target : {"/page.html::$DATA", "/page.html:x", "/page.html.", "/page.html%20", "/page.html.%20",
                             "/nul", "/CON.html", "/Aux.php", "/com1", "/lpt9.txt", "/sub/NUL.x", "/a%22b.html"}) {
    const Answer answer = GetPath(target);
    if (windows) {
      EXPECT_EQ(answer.status, "403 Forbidden") << target;
    } else {
      EXPECT_NE(answer.status, "403 Forbidden") << target;
    }
  }
  EXPECT_EQ(GetPath("/page.html").status, "200 OK");
  EXPECT_EQ(GetPath("/console.html").status, "404 Not Found");
#ifdef _WIN32
  // A short (8.3) alias reaches the file under a name that is not its own.
  dir_.Write("WebRoot/longscriptname.phpx", "source");
  const std::wstring longPath =
      std::filesystem::path(dir_.Path() + "\\WebRoot\\longscriptname.phpx").wstring();
  wchar_t shortPath[MAX_PATH] = {};
  const DWORD length = ::GetShortPathNameW(longPath.c_str(), shortPath, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::string shortName = std::filesystem::path(shortPath).filename().string();
  ASSERT_NE(shortName, "longscriptname.phpx");
  EXPECT_EQ(GetPath("/" + shortName).status, "403 Forbidden") << shortName;
  EXPECT_EQ(GetPath("/longscriptname.phpx").status, "200 OK");
  EXPECT_EQ(GetPath("/LongScriptName.PHPX").status, "200 OK");  // letter case is no alias
#endif
}

TEST_F(Dispatch, VirtualHostsByNameWithoutPort) {
  const std::string site = dir_.MakeDirectory("site");
  dir_.Write("site/home.htm", "site home");
  dir_.Write("Hosts/www.test", site + ";home.htm;Static;None;None");
  dir_.Write("Hosts/broken.test", site + ";home;Static;None;None");
  LoadHostFiles(dir_.Path());
  EXPECT_EQ(Get("GET / HTTP/1.1\r\nHost: www.test:8080\r\n\r\n").body, "site home");
  EXPECT_EQ(Get("GET / HTTP/1.1\r\nHost: WWW.test\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(Get("GET / HTTP/1.1\r\n\r\n").status, "400 Bad Request");
  EXPECT_EQ(Get("GET / HTTP/1.1\r\nHost: broken.test\r\n\r\n").status, "500 Internal Server Error");
  // CGI by extension on a static site is refused.
  dir_.Write("Hosts/www.test", site + ";home.htm;Static;.cgi;None");
  LoadHostFiles(dir_.Path());
  EXPECT_EQ(Get("GET /run.CGI HTTP/1.1\r\nHost: www.test\r\n\r\n").status, "403 Forbidden");
}

TEST_F(Dispatch, RangesAndValidators) {
  std::string content;
  for (int i = 0; i < 1000; ++i) content += static_cast<char>('a' + i % 26);
  dir_.Write("WebRoot/f.bin", content);
  Answer part = GetPath("/f.bin", "Range: bytes=100-199\r\n");
  EXPECT_EQ(part.status, "206 Partial Content");
  EXPECT_EQ(part.Header("Content-Range"), "bytes 100-199/1000");
  EXPECT_EQ(part.body, content.substr(100, 100));
  Answer suffix = GetPath("/f.bin", "Range: bytes=-10\r\n");
  EXPECT_EQ(suffix.Header("Content-Range"), "bytes 990-999/1000");
  EXPECT_EQ(suffix.body, content.substr(990));
  Answer beyond = GetPath("/f.bin", "Range: bytes=1000-\r\n");
  EXPECT_EQ(beyond.status, "416 Range Not Satisfiable");
  EXPECT_EQ(beyond.Header("Content-Range"), "bytes */1000");
  EXPECT_EQ(beyond.Header("Content-Length"), "0");
  EXPECT_EQ(beyond.body, "");
  EXPECT_EQ(beyond.disconnects, 0);
  EXPECT_EQ(GetPath("/f.bin", "Range: bytes=0-99\r\n").body, content);
  EXPECT_EQ(GetPath("/f.bin", "Range: lines=1-2\r\n").status, "200 OK");

  Answer whole = GetPath("/f.bin");
  const std::string etag = whole.Header("ETag"), lastModified = whole.Header("Last-Modified");
  Answer byTag = GetPath("/f.bin", "If-None-Match: " + etag + "\r\n");
  EXPECT_EQ(byTag.status, "304 Not Modified");
  EXPECT_EQ(byTag.body, "");
  EXPECT_EQ(byTag.Header("ETag"), etag);
  EXPECT_EQ(byTag.Header("Content-Length"), "<none>");
  EXPECT_EQ(GetPath("/f.bin", "If-Modified-Since: " + lastModified + "\r\n").status, "304 Not Modified");
  EXPECT_EQ(GetPath("/f.bin", "If-None-Match: \"0:0\"\r\n").status, "200 OK");

  dir_.Write("WebRoot/empty.txt", "");
  Answer empty = GetPath("/empty.txt");
  EXPECT_EQ(empty.status, "200 OK");
  EXPECT_EQ(empty.Header("Content-Length"), "0");
  EXPECT_EQ(GetPath("/empty.txt", "Range: bytes=-5\r\n").status, "416 Range Not Satisfiable");
}

TEST_F(Dispatch, HeadGetsTheHeadOfGet) {
  Answer get = GetPath("/index.html");
  Answer head = Get("HEAD /index.html HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(WithoutDate(head.head), WithoutDate(get.head));
  EXPECT_EQ(head.body, "");
}

TEST_F(Dispatch, ListingWhenNoDefaultDocument) {
  dir_.MakeDirectory("WebRoot/docs/sub");
  dir_.Write("WebRoot/docs/x.txt", "x");
  // The folder's own address ends in "/": without it the answer is the
  // way there, and the listing arrives at the end of it.
  Answer moved = GetPath("/docs");
  EXPECT_EQ(moved.status, "301 Moved Permanently");
  EXPECT_NE(moved.head.find("\r\nLocation: /docs/\r\nContent-Length: 0\r\n"), std::string::npos);
  EXPECT_EQ(moved.body, "");
  Answer a = GetPath("/docs/");
  EXPECT_EQ(a.status, "200 OK");
  EXPECT_EQ(a.Header("Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(a.body.find("<h3>/docs/</h3>"), std::string::npos);
  EXPECT_NE(a.body.find("href='/docs/x.txt'"), std::string::npos);
  EXPECT_EQ(a.Header("Content-Length"), std::to_string(a.body.size()));
  g_settings.DirectoryListing = false;
  EXPECT_EQ(GetPath("/docs/").status, "404 Not Found");
}

TEST_F(Dispatch, LargeFileCrossesViewsByteExact) {
  link_.SetSendsFiles(false);  // the mapped-view fallback
  g_settings.FileMapping = 4096;
  g_settings.Buffer = 1000;
  std::string content;
  for (int i = 0; i < 50001; ++i) content += static_cast<char>((i * 7919) >> 3);
  dir_.Write("WebRoot/big.bin", content);
  Answer a = GetPath("/big.bin");
  EXPECT_EQ(a.Header("Content-Length"), "50001");
  EXPECT_TRUE(a.body == content);
  Answer r = GetPath("/big.bin", "Range: bytes=4000-\r\n");
  EXPECT_TRUE(r.body == content.substr(4000));
}

TEST_F(Dispatch, FileSendingLinkGetsTheSameBytesHeadsAndRanges) {
  link_.SetSendsFiles(false);  // first through the mapped-view fallback
  g_settings.Buffer = 1000;
  std::string content;
  for (int i = 0; i < 50001; ++i) content += static_cast<char>((i * 7919) >> 3);
  dir_.Write("WebRoot/big.bin", content);
  const Answer viewed = GetPath("/big.bin");
  const Answer ranged = GetPath("/big.bin", "Range: bytes=4000-9999\r\n");
  link_.SetSendsFiles(true);
  const ConnId first = nextConn_;
  const Answer whole = GetPath("/big.bin");
  EXPECT_EQ(link_.State(first).fileSends, 1);
  EXPECT_EQ(link_.State(first).sendCalls, 0);  // the head goes with the file
  EXPECT_EQ(whole.status, "200 OK");
  EXPECT_TRUE(whole.body == content);
  EXPECT_EQ(WithoutDate(whole.head), WithoutDate(viewed.head));
  EXPECT_EQ(whole.disconnects, 0);
  const Answer part = GetPath("/big.bin", "Range: bytes=4000-9999\r\n");
  EXPECT_EQ(part.status, "206 Partial Content");
  EXPECT_EQ(part.Header("Content-Range"), "bytes 4000-9999/50001");
  EXPECT_TRUE(part.body == content.substr(4000, 6000));
  EXPECT_EQ(WithoutDate(part.head), WithoutDate(ranged.head));
  // A body at most one Buffer long still goes out behind its head in one send.
  dir_.Write("WebRoot/small.bin", "tiny");
  const ConnId small = nextConn_;
  EXPECT_EQ(GetPath("/small.bin").body, "tiny");
  EXPECT_EQ(link_.State(small).fileSends, 0);
}

TEST_F(Dispatch, RefusedFileSendClosesTheConnection) {
  g_settings.Buffer = 1000;
  dir_.Write("WebRoot/big.bin", std::string(5000, 'b'));
  link_.SetSendsFiles(true);
  link_.SetRefuseSends(true);
  const ConnId conn = nextConn_;
  const Answer a = GetPath("/big.bin");
  // Nothing can follow an answer that was not queued whole.
  EXPECT_EQ(link_.State(conn).fileSends, 1);
  EXPECT_EQ(a.disconnects, 1);
}

TEST_F(Dispatch, BodyLoopEndsWhenTheConnectionGoes) {
  link_.SetSendsFiles(false);  // the mapped-view fallback paces on the queue
  g_settings.FileMapping = 4096;
  dir_.Write("WebRoot/slow.bin", std::string(200000, 's'));
  link_.SetPending(9, 4096);  // the queue is full: the loop must wait
  std::string head = "GET /slow.bin HTTP/1.1\r\nHost: x\r\n\r\n";
  ConnectionContext context;
  context.headBuffer = head;
  context.headLength = static_cast<int32_t>(head.size());
  context.busy = 1;
  link_.SetContext(9, &context);
  std::thread handler([] { HandleGetRequest(9); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  {
    std::lock_guard<std::recursive_mutex> guard(context.lock);
    EXPECT_EQ(context.state, kStateSending);
    EXPECT_EQ(context.contentLength, 200000);
    EXPECT_EQ(context.bodyReceived, 0);
  }
  const auto gone = std::chrono::steady_clock::now();
  link_.SetGone(9, true);
  handler.join();
  EXPECT_LT(std::chrono::steady_clock::now() - gone, std::chrono::seconds(2));
  const std::string sent = link_.Sent(9);
  EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), "");
}

}  // namespace
}  // namespace zevra
