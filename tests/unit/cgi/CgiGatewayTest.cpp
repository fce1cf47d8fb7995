// The CGI gateway end to end: real child programs (small sh and python
// scripts written into a temporary site) run through RunCgi against a fake
// connection. Checks the exact answer bytes, the send slices, the failure
// pages with their details, the gateway timeout, body feeding, spooling of
// large output, and that no child and no spool file is left behind.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "tests/support/FakeLink.h"
#include "platform/Clock.h"
#include "platform/System.h"
#include "server/cgi/Cgi.h"
#include "server/core/ProgramPaths.h"
#include "server/response/Compression.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"
#include "tests/support/Gunzip.h"

namespace zevra {

namespace {

using support::Gunzip;

namespace fs = std::filesystem;

// The fake connection, also noting the size of every send.
class SliceLink : public fakes::FakeLink {
 public:
  bool Send(ConnId conn, const void* data, size_t length) override {
    {
      std::lock_guard<std::mutex> guard(sizesLock_);
      sizes_[conn].push_back(length);
    }
    return FakeLink::Send(conn, data, length);
  }
  std::vector<size_t> Sizes(ConnId conn) {
    std::lock_guard<std::mutex> guard(sizesLock_);
    return sizes_[conn];
  }

 private:
  std::mutex sizesLock_;
  std::map<ConnId, std::vector<size_t>> sizes_;
};

std::string WithoutDate(std::string bytes) {
  const size_t at = bytes.find("\r\nDate: ");
  if (at == std::string::npos) return bytes;
  const size_t end = bytes.find("\r\n", at + 2);
  return bytes.erase(at + 2, end - at);
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CgiGatewayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    savedStartup_ = g_startup;
    savedSettings_ = g_settings;
    root_ = fs::temp_directory_path() /
            ("zevra_cgi_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "WebTemp");
    fs::create_directories(root_ / "WebLogs");
    fs::create_directories(root_ / "site" / "app");
    g_startup.programDirectory = root_.string();
    g_startup.computerName = std::string("testbox");
    g_startup.windowsDirectory = std::string("/");
    g_settings = ServerSettings();
    g_settings.Port = 8080;
    g_settings.EnableGZIP = false;
    g_settings.GatewayTimeout = 10000;
    OpenAccessLog((root_ / "WebLogs" / "access.log").string());
    link_.SetRemote(conn_, "127.0.0.9", 40000);
    link_.SetListenAddress("127.0.0.1", 8080);
  }

  void TearDown() override {
    CloseAccessLog();
    // Every child reaped, every spool file of the relay gone.
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    for (const auto& entry : fs::directory_iterator(root_ / "WebTemp")) {
      EXPECT_EQ(entry.path().filename().string().rfind("Cgi_", 0), std::string::npos) << entry.path();
    }
    fs::remove_all(root_);
    g_startup = savedStartup_;
    g_settings = savedSettings_;
  }

  // A script in the site's /app/ directory; returns its path.
  std::string Script(const std::string& name, const std::string& text) {
    fs::path path = root_ / "site" / "app" / name;
    std::ofstream(path, std::ios::binary) << text;
    return path.string();
  }

  void Run(const std::string& name, const std::string& program = "/bin/sh %s",
           const CgiBodySource& body = CgiBodySource()) {
    request_.Directory = "/app/";
    request_.FileName = name;
    if (request_.Method.empty()) request_.Method = "GET";
    request_.Uri = "/app/" + name;
    request_.ScriptPath = (root_ / "site" / "app" / name).string();
    request_.LocalPath = request_.ScriptPath;
    if (response_.Connection.empty()) response_.Connection = "keep-alive";
    response_.FileName = name;
    std::string requestPath = "/app/" + name;
    std::string scriptPath = request_.ScriptPath;
    std::string documentRoot = (root_ / "site").string();
    std::string cgiProgram = program;
    RunCgi(conn_, request_, response_, requestPath, scriptPath, documentRoot, cgiProgram, body);
  }

  // A fresh connection for the next request of the same test.
  void NextConnection() {
    ++conn_;
    link_.SetRemote(conn_, "127.0.0.9", 40000);
  }
  std::string Sent() { return link_.Sent(conn_); }
  std::string Body() {
    std::string sent = Sent();
    size_t end = sent.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : sent.substr(end + 4);
  }
  std::string AccessLog() { return ReadFile(root_ / "WebLogs" / "access.log"); }

  // The whole answer for an error page with the given detail.
  std::string ErrorAnswer(const std::string& statusLine, const std::string& title, const std::string& heading,
                          const std::string& text, const std::string& detail) {
    std::string page = BuildErrorPage(title, heading, text, detail);
    return "HTTP/1.1 " + statusLine + "\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html; charset=utf-8\r\n" +
           "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: keep-alive\r\n\r\n" + page;
  }
  std::string Answer500(const std::string& detail) {
    return ErrorAnswer("500 Internal Server Error", "500 - Internal Server Error",
                       "服务器发生了错误，无法继续提供服务。", "服务器运行遇到了问题或是配置不正确。", detail);
  }
  std::string Answer502(const std::string& detail) {
    return ErrorAnswer("502 Bad Gateway", "502 - Bad Gateway", "服务器网关发生了错误，无法继续提供服务。",
                       "网关或上游服务器遇到了问题或是配置不正确。", detail);
  }
  std::string Answer504() {
    std::string page = BuildErrorPage("504 - Gateway Timeout", "您暂时无法访问这个页面。",
                                      "已经超过了预设的网关等待时间，但是网关依然没有传回数据。");
    return "HTTP/1.1 504 Gateway Timeout\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html; charset=utf-8\r\n"
           "Content-Length: " +
           std::to_string(page.size()) + "\r\nConnection: keep-alive\r\n\r\n" + page;
  }

  fs::path root_;
  SliceLink link_;
  ConnId conn_ = 7;
  HttpRequest request_;
  ResponseHead response_;
  StartupValues savedStartup_;
  ServerSettings savedSettings_;
};

TEST_F(CgiGatewayTest, StatusLineContentTypeAndBodyExactly) {
  Script("s.cgi", "printf 'Status: 404 Not Found\\r\\nContent-Type: text/plain\\r\\n\\r\\nx'");
  request_.UserAgent = "agent\x01";
  Run("s.cgi");
  EXPECT_EQ(WithoutDate(Sent()),
            "HTTP/1.1 404 Not Found\r\nServer: Zevra/0.2.9\r\nContent-Type: text/plain\r\nContent-Length: 1\r\n"
            "Connection: keep-alive\r\n\r\nx");
  EXPECT_EQ(link_.Disconnects(conn_), 0);
  std::string log = AccessLog();
  EXPECT_NE(log.find(" - - 127.0.0.9:40000 \"GET /app/s.cgi HTTP/1.1\" 404 1 \"agent\\x01\"\r\n"), std::string::npos)
      << log;
}

TEST_F(CgiGatewayTest, ExtraHeadersPassThroughAndProgramLengthIsReplacedByTheTrueOne) {
  Script("h.cgi",
         "printf 'Set-Cookie: a=1; Path=/\\r\\nLocation: /next\\r\\nContent-Length: 99\\r\\nX-Powered-By: sh\\r\\n"
         "Transfer-Encoding: chunked\\r\\n\\r\\nhello'");
  Run("h.cgi");
  EXPECT_EQ(WithoutDate(Sent()),
            "HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html\r\nContent-Length: 5\r\n"
            "Connection: keep-alive\r\nX-Powered-By: sh\r\nSet-Cookie: a=1; Path=/\r\nLocation: /next\r\n\r\nhello");
}

TEST_F(CgiGatewayTest, OutputWithoutHeadIsAllBody) {
  Script("n.cgi", "printf 'Status: 500 x\\nhello\\r\\n'");
  Run("n.cgi");
  EXPECT_EQ(WithoutDate(Sent()),
            "HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\nContent-Type: text/html\r\nContent-Length: 21\r\n"
            "Connection: keep-alive\r\n\r\nStatus: 500 x\nhello\r\n");
}

TEST_F(CgiGatewayTest, HeadMustEndWithinTheFirstPiece) {
  // Blank line wholly inside the first 10240 bytes: a head.
  Script("in.cgi", "import sys\nsys.stdout.buffer.write(b'X-A: ' + b'a' * 10230 + b'\\r\\n\\r\\nB')\n");
  Run("in.cgi", "/usr/bin/python3 %s");
  EXPECT_EQ(Body(), "B");

  // Blank line straddling byte 10240, or beyond it: everything is body.
  for (size_t fill : {10232u, 10300u}) {
    NextConnection();
    std::string name = "out" + std::to_string(fill) + ".cgi";
    Script(name, "import sys\nsys.stdout.buffer.write(b'X-A: ' + b'a' * " + std::to_string(fill) +
                     " + b'\\r\\n\\r\\nB')\n");
    Run(name, "/usr/bin/python3 %s");
    std::string expected = "X-A: " + std::string(fill, 'a') + "\r\n\r\nB";
    EXPECT_EQ(Body(), expected) << fill;
  }
}

TEST_F(CgiGatewayTest, HeadWrittenInSeveralPiecesIsStillAHead) {
  Script("p.cgi", "printf 'Content-Type: text/plain\\r\\n'; sleep 0.2; printf '\\r\\nok'");
  Run("p.cgi");
  EXPECT_EQ(WithoutDate(Sent()),
            "HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\nContent-Type: text/plain\r\nContent-Length: 2\r\n"
            "Connection: keep-alive\r\n\r\nok");
}

TEST_F(CgiGatewayTest, LargeBodyGoesOutInBufferSizedSlices) {
  g_settings.Buffer = 40960;
  Script("big.cgi", "import sys\nsys.stdout.buffer.write(b'\\r\\n\\r\\n' + bytes(i % 251 for i in range(100000)))\n");
  Run("big.cgi", "/usr/bin/python3 %s");
  std::vector<size_t> sizes = link_.Sizes(conn_);
  ASSERT_EQ(sizes.size(), 3u);
  std::string sent = Sent();
  size_t head = sent.find("\r\n\r\n") + 4;
  EXPECT_EQ(sizes[0], head + 40960);
  EXPECT_EQ(sizes[1], 40960u);
  EXPECT_EQ(sizes[2], 18080u);
  std::string expected;
  for (int i = 0; i < 100000; ++i) expected += static_cast<char>(i % 251);
  EXPECT_TRUE(sent.substr(head) == expected);
  EXPECT_NE(sent.find("\r\nContent-Length: 100000\r\n"), std::string::npos);
}

TEST_F(CgiGatewayTest, BodyOfExactlyTwoBuffersSendsTwoSlices) {
  g_settings.Buffer = 40960;
  Script("two.cgi", "import sys\nsys.stdout.buffer.write(b'\\r\\n\\r\\n' + b'z' * 81920)\n");
  Run("two.cgi", "/usr/bin/python3 %s");
  std::vector<size_t> sizes = link_.Sizes(conn_);
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[1], 40960u);
}

TEST_F(CgiGatewayTest, CompressesOnlyWhenEnabledAcceptedAndNotAlreadyEncoded) {
  Script("g.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\nhello hello hello'");
  g_settings.EnableGZIP = true;
  request_.AcceptEncoding = "deflate, gzip";
  Run("g.cgi");
  std::string sent = Sent();
  std::string body = Body();
  std::string plain;
  ASSERT_TRUE(Gunzip(body, plain));
  EXPECT_EQ(plain, "hello hello hello");
  EXPECT_EQ(WithoutDate(sent.substr(0, sent.find("\r\n\r\n") + 4)),
            "HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\nContent-Type: text/plain\r\nContent-Encoding: gzip\r\n"
            "Content-Length: " +
                std::to_string(body.size()) + "\r\nVary: Accept-Encoding\r\nConnection: keep-alive\r\n\r\n");
}

TEST_F(CgiGatewayTest, NoCompressionWithoutGzipInAcceptEncoding) {
  Script("g.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\nhello'");
  g_settings.EnableGZIP = true;
  request_.AcceptEncoding = "deflate";
  Run("g.cgi");
  EXPECT_EQ(Body(), "hello");
  EXPECT_EQ(Sent().find("Content-Encoding"), std::string::npos);
}

TEST_F(CgiGatewayTest, ProgramsOwnEncodingPassesThroughUnchanged) {
  std::string gz = CompressBytes("inner");
  std::ofstream(root_ / "site" / "app" / "data.gz", std::ios::binary) << gz;
  Script("e.cgi", "printf 'Content-Encoding: gzip\\r\\n\\r\\n'; cat " + (root_ / "site" / "app" / "data.gz").string());
  g_settings.EnableGZIP = true;
  request_.AcceptEncoding = "gzip";
  Run("e.cgi");
  EXPECT_TRUE(Body() == gz);
}

TEST_F(CgiGatewayTest, ExitWithoutOutputIs500WithTheExitDetail) {
  Script("quiet.cgi", "exit 3");
  Run("quiet.cgi");
  EXPECT_EQ(WithoutDate(Sent()), Answer500("未收到CGI接口的传回收据，进程意外退出。\r\nOS信息：(0) Success"));
}

TEST_F(CgiGatewayTest, ClosedOutputWhileStillRunningIs500AndTheChildIsKilled) {
  Script("closed.cgi", "exec >&- 2>&-; sleep 30");
  uint64_t start = platform::MonotonicMilliseconds();
  Run("closed.cgi");
  EXPECT_LT(platform::MonotonicMilliseconds() - start, 5000u);
  EXPECT_EQ(WithoutDate(Sent()), Answer500("未收到CGI接口的传回收据，接口出现未知错误。\r\nOS信息：(0) Success"));
}

TEST_F(CgiGatewayTest, SilentChildTimesOutWith504AndIsKilledWithItsGroup) {
  g_settings.GatewayTimeout = 400;
  fs::path marker = root_ / "late";
  Script("slow.cgi", "(sleep 2; touch " + marker.string() + ") & sleep 30");
  uint64_t start = platform::MonotonicMilliseconds();
  Run("slow.cgi");
  uint64_t took = platform::MonotonicMilliseconds() - start;
  EXPECT_GE(took, 400u);
  EXPECT_LT(took, 3000u);
  EXPECT_EQ(WithoutDate(Sent()), Answer504());
  platform::SleepMilliseconds(2500);
  EXPECT_FALSE(fs::exists(marker));  // the helper in its group died too
}

TEST_F(CgiGatewayTest, ChildThatKeepsWritingIsCutAtTheDeadline) {
  g_settings.GatewayTimeout = 500;
  Script("drip.cgi", "printf '\\r\\n\\r\\n'; while :; do echo x; sleep 0.05; done");
  Run("drip.cgi");
  EXPECT_EQ(WithoutDate(Sent()), Answer504());
}

TEST_F(CgiGatewayTest, ZeroTimeoutAnswersOnlyACompleteFirstPieceWithHead) {
  g_settings.GatewayTimeout = 0;
  Script("one.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\nall'");
  Run("one.cgi");
  EXPECT_EQ(Body(), "all");
  NextConnection();
  Script("nohead.cgi", "printf 'all'");
  Run("nohead.cgi");
  EXPECT_EQ(WithoutDate(Sent()), Answer504());
}

TEST_F(CgiGatewayTest, MissingProgramIs502WithTheExecError) {
  Script("a.php", "<?php");
  Run("a.php", "/nonexistent/php-cgi %s");
  std::string script = (root_ / "site" / "app" / "a.php").string();
  EXPECT_EQ(WithoutDate(Sent()),
            Answer502("无法启动 CGI 进程。\r\nOS信息 : (2) No such file or directory\r\n当前网站配置的 CGI 程序地址： "
                      "/nonexistent/php-cgi \"" + script + "\""));
}

TEST_F(CgiGatewayTest, MissingProgramForPostUsesTheShortLabel) {
  Script("a.php", "<?php");
  request_.Method = "POST";
  CgiBodySource body;
  body.kind = CgiBodySource::kMemory;
  body.data = "a=1";
  body.length = 3;
  Run("a.php", "/nonexistent/php-cgi", body);
  EXPECT_EQ(WithoutDate(Sent()),
            Answer502("无法启动 CGI 进程。\r\nOS信息 : (2) No such file or directory\r\nCGI 程序地址： "
                      "/nonexistent/php-cgi"));
}

TEST_F(CgiGatewayTest, AProgramEndedByAFaultIs502AndNoneOfItsOutputIsPassedOn) {
  // Cut off in its head, and after a whole head in its body: either way
  // the output is not the program's answer.
  std::string script = Script("head.cgi", "printf 'Content-Type: text/plain\\r\\n'; kill -SEGV $$");
  Run("head.cgi");
  EXPECT_EQ(WithoutDate(Sent()), Answer502("CGI 程序异常终止（信号 11），它的输出不完整。\r\nCGI 程序地址： /bin/sh \"" +
                                           script + "\""));
  NextConnection();
  Script("body.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\npart'; kill -ABRT $$");
  Run("body.cgi");
  EXPECT_EQ(Sent().rfind("HTTP/1.1 502 Bad Gateway\r\n", 0), 0u);
  EXPECT_EQ(Sent().find("part"), std::string::npos);
  // An ordinary failure exit is the program's own answer.
  NextConnection();
  Script("exit.cgi", "printf 'Status: 503 Later\\r\\n\\r\\nsoon'; exit 3");
  Run("exit.cgi");
  EXPECT_EQ(Sent().rfind("HTTP/1.1 503 Later\r\n", 0), 0u);
}

TEST_F(CgiGatewayTest, MissingScriptIs404AndStartsNothing) {
  fs::path marker = root_ / "ran";
  Run("absent.cgi", "/bin/sh -c \"touch " + marker.string() + "\"");
  std::string sent = Sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u);
  EXPECT_NE(sent.find(EscapeHtml("OS信息 : (2) No such file or directory")), std::string::npos);
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(CgiGatewayTest, PostBodyFromMemoryReachesStandardInput) {
  Script("echo.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\n%s|' \"$CONTENT_LENGTH\"; cat");
  request_.Method = "POST";
  request_.ContentLength = "9";
  CgiBodySource body;
  body.kind = CgiBodySource::kMemory;
  body.data = "a=1&b=two";
  body.length = 9;
  Run("echo.cgi", "/bin/sh %s", body);
  EXPECT_EQ(Body(), "9|a=1&b=two");
}

TEST_F(CgiGatewayTest, SpooledBodyIsFedWhileOutputIsDrained) {
  // cat answers while it reads: 3 MiB each way cannot pass if the gateway
  // wrote all of the body before reading any output.
  std::string data(3 * 1048576, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 31) ^ (i >> 12));
  std::ofstream(SpoolFilePath(99, true), std::ios::binary) << data;
  Script("cat.cgi", "printf 'Content-Type: application/octet-stream\\r\\n\\r\\n'; cat");
  request_.Method = "POST";
  CgiBodySource body;
  body.kind = CgiBodySource::kSpooled;
  body.spoolNumber = 99;
  body.length = static_cast<int64_t>(data.size());
  Run("cat.cgi", "/bin/sh %s", body);
  EXPECT_TRUE(Body() == data);
  fs::remove(SpoolFilePath(99, true));
}

TEST_F(CgiGatewayTest, ProgramThatIgnoresALargeBodyIsAnsweredNormally) {
  std::string data(2 * 1048576, 'q');
  Script("ignore.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\nok'");
  request_.Method = "POST";
  CgiBodySource body;
  body.kind = CgiBodySource::kMemory;
  body.data = data.data();
  body.length = static_cast<int64_t>(data.size());
  Run("ignore.cgi", "/bin/sh %s", body);
  EXPECT_EQ(Body(), "ok");
}

TEST_F(CgiGatewayTest, EmptyOrMissingPostBodyIs500WithoutStartingTheProgram) {
  fs::path marker = root_ / "ran";
  Script("p.cgi", "touch " + marker.string());
  request_.Method = "POST";
  request_.ContentLength = "0";
  Run("p.cgi");
  std::string script = (root_ / "site" / "app" / "p.cgi").string();
  EXPECT_EQ(WithoutDate(Sent()), Answer500("无法读取 POST 数据。\r\nCGI 程序地址： /bin/sh \"" + script + "\""));
  NextConnection();
  CgiBodySource body;
  body.kind = CgiBodySource::kSpooled;
  body.spoolNumber = 12345;  // no such spool file
  body.length = 5000;
  Run("p.cgi", "/bin/sh %s", body);
  EXPECT_EQ(WithoutDate(Sent()), Answer500("无法读取 POST 数据。\r\nCGI 程序地址： /bin/sh \"" + script + "\""));
  EXPECT_FALSE(fs::exists(marker));
}

TEST_F(CgiGatewayTest, PostToAProgramThatExitsAtOnceWithoutOutputIs500) {
  std::string data(1048576, 'q');
  Script("gone.cgi", "exec 0<&-; exit 0");
  request_.Method = "POST";
  CgiBodySource body;
  body.kind = CgiBodySource::kMemory;
  body.data = data.data();
  body.length = static_cast<int64_t>(data.size());
  Run("gone.cgi", "/bin/sh %s", body);
  std::string script = (root_ / "site" / "app" / "gone.cgi").string();
  EXPECT_EQ(WithoutDate(Sent()), Answer500("无法写入 POST 数据。\r\nCGI 程序地址： /bin/sh \"" + script + "\""));
}

TEST_F(CgiGatewayTest, FloodOfOutputIsSpooledAndSentWithItsExactLength) {
  // 50 MiB of output: far beyond the memory limit, so it passes through a
  // spool file that must be gone afterwards (TearDown checks).
  g_settings.Buffer = 1048576;
  Script("flood.py",
         "import sys\nw = sys.stdout.buffer.write\nw(b'Content-Type: application/octet-stream\\r\\n\\r\\n')\n"
         "block = bytes(range(256)) * 4096\nfor i in range(50):\n    w(bytes([i]) + block[1:])\n");
  Run("flood.py", "/usr/bin/python3 %s");
  std::string sent = Sent();
  size_t head = sent.find("\r\n\r\n") + 4;
  ASSERT_EQ(sent.size() - head, 50u * 1048576);
  EXPECT_NE(sent.find("\r\nContent-Length: 52428800\r\n"), std::string::npos);
  std::string block;
  for (int i = 0; i < 4096; ++i)
    for (int b = 0; b < 256; ++b) block += static_cast<char>(b);
  bool same = true;
  for (int i = 0; i < 50 && same; ++i) {
    block[0] = static_cast<char>(i);
    same = sent.compare(head + static_cast<size_t>(i) * 1048576, 1048576, block) == 0;
  }
  EXPECT_TRUE(same);
}

TEST_F(CgiGatewayTest, ClientGoneDuringASpooledSendStopsAndCleansUp) {
  g_settings.Buffer = 65536;
  Script("flood.py", "import sys\nsys.stdout.buffer.write(b'\\r\\n\\r\\n' + b'y' * (6 * 1048576))\n");
  link_.SetRefuseSends(true);
  Run("flood.py", "/usr/bin/python3 %s");
  EXPECT_EQ(link_.Sizes(conn_).size(), 1u);  // the first refusal ends the answer
  EXPECT_EQ(link_.Disconnects(conn_), 1);
}

TEST_F(CgiGatewayTest, HeadRunsTheScriptWithItsMethodAndSendsTheHeadAlone) {
  Script("m.cgi", "printf 'Content-Type: text/plain\\r\\nX-Method: %s\\r\\n\\r\\nbody' \"$REQUEST_METHOD\"");
  request_.Method = "HEAD";
  Run("m.cgi");
  EXPECT_EQ(WithoutDate(Sent()),
            "HTTP/1.1 200 OK\r\nServer: Zevra/0.2.9\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
            "Connection: keep-alive\r\nX-Method: HEAD\r\n\r\n");
}

TEST_F(CgiGatewayTest, ConnectionCloseFromTheDispatcherClosesAfterTheAnswer) {
  Script("c.cgi", "printf 'Connection: keep-alive\\r\\n\\r\\nx'");
  response_.Connection = "close";
  Run("c.cgi");
  EXPECT_NE(Sent().find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(link_.Disconnects(conn_), 1);
}

TEST_F(CgiGatewayTest, RedirectHeadWithoutLengthGoesAloneAndCloses) {
  Script("r.cgi", "printf 'Status: 302 Found\\r\\nLocation: /x\\r\\n\\r\\nmoved'");
  g_settings.EnableGZIP = true;
  request_.AcceptEncoding = "gzip";
  Run("r.cgi");
  std::string sent = WithoutDate(Sent());
  if (sent.find("\r\nContent-Length: ") == std::string::npos) {
    EXPECT_EQ(sent, "HTTP/1.1 302 Found\r\nServer: Zevra/0.2.9\r\nConnection: close\r\nLocation: /x\r\n\r\n");
    EXPECT_EQ(link_.Disconnects(conn_), 1);
  } else {  // heads that keep the length carry the body as usual
    EXPECT_EQ(sent.substr(sent.size() - 5), "moved");
  }
}

TEST_F(CgiGatewayTest, ScriptPathWithQuotesAndBlanksIsOneArgument) {
  const std::string name = "x\" -c \"import os; print(1)\" \"y.py";
  Script(name, "import sys\nsys.stdout.write('\\r\\n\\r\\n' + repr(sys.argv[1:]))\n");
  Run(name, "/usr/bin/python3 %s");
  EXPECT_EQ(Body(), "[]");
}

TEST_F(CgiGatewayTest, SettingWithoutPlaceholderGetsTheExactEnvironment) {
  Script("env.cgi", "");
  request_.Method = "GET";
  request_.Query = "q=1";
  request_.HeaderLines = "Host: a.test\r\nUser-Agent: x\r\nProxy: http://evil/";
  g_settings.ServerAdmin = std::string("webmaster");
  Run("env.cgi", "/usr/bin/env");
  std::string site = (root_ / "site").string();
  std::string script = site + "/app/env.cgi";
  EXPECT_EQ(Body(), "SERVER_NAME=testbox\nHTTP_HOST=a.test\nHTTP_USER_AGENT=x\nSERVER_SOFTWARE=Zevra/0.2.9\n"
                    "SERVER_PORT=8080\nGATEWAY_INTERFACE=CGI/1.1\nCONTENT_TYPE=\nCONTENT_LENGTH=\n"
                    "SCRIPT_NAME=/app/env.cgi\nSCRIPT_FILENAME=" + script + "\nREQUEST_METHOD=GET\n"
                    "SERVER_PROTOCOL=HTTP/1.1\nQUERY_STRING=q=1\nREDIRECT_STATUS=200\nREMOTE_ADDR=127.0.0.9\n"
                    "REMOTE_HOST=127.0.0.9\nDOCUMENT_ROOT=" + site + "/\nSERVER_ADMIN=webmaster\n"
                    "REMOTE_PORT=40000\nLOCAL_ADDR=127.0.0.1\nSERVER_ADDR=127.0.0.1\nPATH_TRANSLATED=" +
                    script + "\nREQUEST_URI=/app/env.cgi\nSYSTEMROOT=/\n");
}

TEST_F(CgiGatewayTest, WorkingDirectoryIsTheProgramsDirectory) {
  Script("pwd.py", "import os\nprint('\\r\\n\\r\\n' + os.getcwd())\n");
  Run("pwd.py", "/usr/bin/python3 %s");
  EXPECT_EQ(Body(), "/usr/bin\n");
}

TEST_F(CgiGatewayTest, ConcurrentRequestsEachGetTheirOwnAnswer) {
  Script("id.cgi", "sleep 0.1; printf 'Content-Type: text/plain\\r\\n\\r\\n%s' \"$QUERY_STRING\"");
  std::vector<std::thread> threads;
  std::string root = (root_ / "site").string();
  for (int i = 0; i < 20; ++i) {
    threads.emplace_back([&, i] {
      HttpRequest request;
      ResponseHead response;
      request.Method = "GET";
      request.Directory = "/app/";
      request.FileName = "id.cgi";
      request.Query = std::to_string(i);
      request.ScriptPath = root + "/app/id.cgi";
      response.Connection = "keep-alive";
      std::string requestPath = "/app/id.cgi", scriptPath = request.ScriptPath, documentRoot = root,
                  program = "/bin/sh %s";
      RunCgi(100 + static_cast<ConnId>(i), request, response, requestPath, scriptPath, documentRoot, program,
             CgiBodySource());
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < 20; ++i) {
    std::string sent = link_.Sent(100 + static_cast<ConnId>(i));
    EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), std::to_string(i));
  }
}


// Debian's php-cgi refuses to run unless the environment is a proper CGI
// one (REDIRECT_STATUS among it); these run real PHP through the gateway.
TEST_F(CgiGatewayTest, PhpGetAndPostThroughPhpCgi) {
  if (!fs::exists("/usr/bin/php-cgi")) GTEST_SKIP() << "php-cgi is not installed";
  Script("a.php",
         "<?php header('Content-Type: text/plain'); header('X-Test: 1');"
         " echo $_SERVER['REQUEST_METHOD'], '|', $_GET['q'] ?? '', '|', $_POST['k'] ?? '', '|',"
         " $_SERVER['SCRIPT_NAME'], '|', getenv('PATH') === false ? 'nopath' : 'path';");
  request_.Query = "q=1";
  Run("a.php", "/usr/bin/php-cgi %s");
  std::string sent = Sent();
  EXPECT_EQ(sent.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << sent;
  EXPECT_NE(sent.find("\r\nContent-Type: text/plain;charset=UTF-8\r\n"), std::string::npos) << sent;
  EXPECT_NE(sent.find("\r\nX-Test: 1\r\n"), std::string::npos) << sent;
  EXPECT_EQ(Body(), "GET|1||/app/a.php|nopath");

  NextConnection();
  request_.Method = "POST";
  request_.Query.clear();
  request_.ContentType = "application/x-www-form-urlencoded";
  request_.ContentLength = "7";
  CgiBodySource body;
  body.kind = CgiBodySource::kMemory;
  body.data = "k=v%21x";
  body.length = 7;
  Run("a.php", "/usr/bin/php-cgi %s", body);
  EXPECT_EQ(Body(), "POST||v!x|/app/a.php|nopath");
}


TEST_F(CgiGatewayTest, LaterSlicesWaitForRoomInTheSendQueue) {
  g_settings.Buffer = 1048576;
  g_settings.FileMapping = 1048576;
  Script("three.py", "import sys\nsys.stdout.buffer.write(b'\\r\\n\\r\\n' + b'w' * (3 * 1048576))\n");
  link_.SetPending(conn_, 2 * 1048576);  // a client that reads nothing yet
  std::thread run([this] { Run("three.py", "/usr/bin/python3 %s"); });
  uint64_t deadline = platform::MonotonicMilliseconds() + 10000;
  while (link_.Sizes(conn_).empty() && platform::MonotonicMilliseconds() < deadline) {
    platform::SleepMilliseconds(10);
  }
  platform::SleepMilliseconds(300);
  EXPECT_EQ(link_.Sizes(conn_).size(), 1u);  // head and first slice only
  link_.SetPending(conn_, 0);
  run.join();
  EXPECT_EQ(link_.Sizes(conn_).size(), 3u);
  EXPECT_EQ(Body().size(), 3u * 1048576);
}

}  // namespace
}  // namespace zevra
