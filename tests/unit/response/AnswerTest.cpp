// The one place that finishes an answer: compression and its failure,
// Content-Length, HEAD, heads that cannot state a length, keep or close,
// the access line in both shapes, slicing on the send queue; and every
// answering path falling back to plain bytes when the library cannot
// finish a gzip stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "server/core/Runtime.h"
#include "server/response/Answer.h"
#include "server/response/Compression.h"
#include "server/response/DirectoryListing.h"
#include "server/response/ErrorPages.h"
#include "server/response/Logs.h"
#include "server/response/ResponseHead.h"
#include "server/response/StaticFile.h"
#include "tests/support/AccessLogFile.h"
#include "tests/support/FakeLink.h"
#include "tests/support/Gunzip.h"
#include "tests/support/TempDirectory.h"

namespace zevra {
namespace {

using support::Gunzip;

constexpr ConnId kConn = 5;

// A library that gives up half way: what it leaves in output is the start
// of a stream, which must never reach a client or the cache.
bool FailingCompress(std::string_view input, std::string& output) {
  output.assign("\x1f\x8b\x08 unfinished ");
  output.append(input.substr(0, input.size() / 2));
  return false;
}

class FinishAnswerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = g_settings;
    g_settings.WriteAccessLog = true;
    g_settings.EnableGZIP = true;
    g_settings.Buffer = 40960;
    g_settings.FileMapping = 16 * 1048576;
    request_.Method = "GET";
    request_.Directory = "/a/";
    request_.FileName = "b.html";
    request_.UserAgent = "ua";
    response_.Status = "200 OK";
    response_.ContentType = "text/plain";
    response_.Connection = "keep-alive";
  }
  void TearDown() override {
    SetCompressFunction(nullptr);
    g_settings = saved_;
  }
  std::string LogText() const { return log_.Text(); }
  std::string Head() { return link_.Sent(kConn).substr(0, link_.Sent(kConn).find("\r\n\r\n") + 4); }
  std::string Body() { return link_.Sent(kConn).substr(link_.Sent(kConn).find("\r\n\r\n") + 4); }

  testfiles::TempDirectory dir_;
  ServerSettings saved_;
  support::AccessLogFile log_;
  fakes::FakeLink link_;
  HttpRequest request_;
  ResponseHead response_;
};

TEST_F(FinishAnswerTest, BodyLengthKeepAliveAndTheAccessLine) {
  Answer answer;
  answer.body = "hello";
  EXPECT_TRUE(FinishAnswer(kConn, request_, response_, answer));
  EXPECT_EQ(response_.ContentLength, "5");
  EXPECT_NE(Head().find("\r\nContent-Length: 5\r\n"), std::string::npos);
  EXPECT_EQ(Body(), "hello");
  EXPECT_EQ(link_.State(kConn).sendCalls, 1);
  EXPECT_EQ(link_.Disconnects(kConn), 0);
  EXPECT_NE(LogText().find(" - - 127.0.0.1:50000 \"GET /a/b.html HTTP/1.1\" 200 5 \"ua\"\r\n"), std::string::npos);

  // Anything but keep-alive closes, after the line is written.
  fakes::FakeLink other;
  response_ = ResponseHead();
  response_.Status = "404 Not Found";
  response_.Connection = "close";
  answer.accessLine = AccessLine::kWithoutPort;
  FinishAnswer(kConn, request_, response_, answer);
  EXPECT_EQ(other.Disconnects(kConn), 1);
  EXPECT_NE(LogText().find(" - - 127.0.0.1 \"GET /a/b.html HTTP/1.1\" 404 5 \"ua\"\r\n"), std::string::npos);
}

TEST_F(FinishAnswerTest, HeadStatesTheLengthAndSendsNoBody) {
  request_.Method = "HEAD";
  Answer answer;
  answer.body = "twelve bytes";
  FinishAnswer(kConn, request_, response_, answer);
  EXPECT_NE(Head().find("\r\nContent-Length: 12\r\n"), std::string::npos);
  EXPECT_EQ(Body(), "");

  // A length the caller set is kept when asked: a HEAD answer for a body
  // it never holds.
  fakes::FakeLink other;
  response_.ContentLength = "999";
  answer.body = {};
  answer.keepLength = true;
  FinishAnswer(kConn, request_, response_, answer);
  EXPECT_NE(other.Sent(kConn).find("\r\nContent-Length: 999\r\n"), std::string::npos);
}

TEST_F(FinishAnswerTest, StatusesWithoutBodyAndHeadsWithoutLength) {
  // 304: the head alone, kept alive, logged with length 0.
  response_.Status = "304 Not Modified";
  Answer answer;
  answer.body = "never sent";
  FinishAnswer(kConn, request_, response_, answer);
  EXPECT_EQ(Body(), "");
  EXPECT_EQ(link_.Disconnects(kConn), 0);
  EXPECT_NE(LogText().find("\" 304 0 \"ua\""), std::string::npos);

  // A redirect's head drops Content-Length: its body cannot be delimited,
  // so the head goes alone and says close, and the connection closes.
  fakes::FakeLink other;
  response_ = ResponseHead();
  response_.Status = "302 Found";
  response_.Connection = "keep-alive";
  FinishAnswer(kConn, request_, response_, answer);
  const std::string sent = other.Sent(kConn);
  EXPECT_NE(sent.find("\r\nConnection: close\r\n"), std::string::npos);
  EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), "");
  EXPECT_EQ(other.Disconnects(kConn), 1);
}

TEST_F(FinishAnswerTest, CompressesOrFallsBackToPlainBytes) {
  const std::string text(5000, 'z');
  Answer answer;
  answer.body = text;
  answer.compress = true;
  FinishAnswer(kConn, request_, response_, answer);
  std::string plain;
  ASSERT_TRUE(Gunzip(Body(), plain));
  EXPECT_EQ(plain, text);
  EXPECT_EQ(response_.ContentEncoding, "gzip");
  EXPECT_EQ(response_.ContentLength, std::to_string(Body().size()));

  SetCompressFunction(FailingCompress);
  fakes::FakeLink other;
  response_.ContentEncoding = "gzip";  // as the dispatcher chose it
  FinishAnswer(kConn, request_, response_, answer);
  const std::string sent = other.Sent(kConn);
  EXPECT_EQ(sent.find("Content-Encoding"), std::string::npos);
  EXPECT_EQ(sent.substr(sent.find("\r\n\r\n") + 4), text);
  EXPECT_EQ(response_.ContentLength, "5000");
}

TEST_F(FinishAnswerTest, RefusedOrCutAnswersClose) {
  link_.SetRefuseSends(true);
  Answer answer;
  answer.body = "x";
  EXPECT_FALSE(FinishAnswer(kConn, request_, response_, answer));
  EXPECT_EQ(link_.Disconnects(kConn), 1);
  EXPECT_NE(LogText().find("\" 200 1 \"ua\""), std::string::npos);

  // A streamed body that stops half way is the same: nothing may follow it.
  fakes::FakeLink other;
  response_.ContentLength = "100";
  answer.sendBody = [](std::string& head) {
    head += "part";
    SendBytes(kConn, head);
    return false;  // the rest of the body could not be queued
  };
  EXPECT_FALSE(FinishAnswer(kConn, request_, response_, answer));
  EXPECT_EQ(other.Disconnects(kConn), 1);
  EXPECT_NE(other.Sent(kConn).find("\r\nContent-Length: 100\r\n"), std::string::npos);
}

TEST_F(FinishAnswerTest, LongBodiesGoInBufferSlicesPacedOnTheQueue) {
  g_settings.Buffer = 1000;
  g_settings.FileMapping = 4096;
  std::string text;
  for (int i = 0; i < 2500; ++i) text += static_cast<char>('a' + i % 26);
  Answer answer;
  answer.body = text;
  EXPECT_TRUE(FinishAnswer(kConn, request_, response_, answer));
  EXPECT_EQ(link_.State(kConn).sendCalls, 3);  // head + 1000, 1000, 500
  EXPECT_EQ(Body(), text);

  // A queue that never drains and a connection that goes: the wait ends.
  fakes::FakeLink other;
  other.SetPending(kConn, 4096);
  other.SetGone(kConn, false);
  EXPECT_TRUE(AwaitSendRoom(kConn, 4097));
  other.SetGone(kConn, true);
  EXPECT_FALSE(AwaitSendRoom(kConn, 4096));
}

TEST(StatusHasBody, OnlyInformationalNoContentAndNotModifiedHaveNone) {
  EXPECT_FALSE(StatusHasBody("100 Continue"));
  EXPECT_FALSE(StatusHasBody("204 No Content"));
  EXPECT_FALSE(StatusHasBody("304 Not Modified"));
  EXPECT_TRUE(StatusHasBody("200 OK"));
  EXPECT_TRUE(StatusHasBody("302 Found"));
  EXPECT_TRUE(StatusHasBody("404 Not Found"));
}

// Every path that compresses, with a library that cannot finish: pages and
// listings go out plain and say so; a compressed copy is never written and
// the file gets the answer for a copy that cannot be written.
TEST_F(FinishAnswerTest, NoUnfinishedStreamIsSentOrCached) {
  SetCompressFunction(FailingCompress);
  request_.AcceptEncoding = "gzip";

  SendErrorPage(404, request_, response_, kConn);
  EXPECT_EQ(link_.Sent(kConn).find("Content-Encoding"), std::string::npos);
  EXPECT_NE(Body().find("404 - Not Found"), std::string::npos);

  {
    fakes::FakeLink other;
    dir_.Write("list/x.txt", "x");
    ResponseHead response;
    response.ContentEncoding = "gzip";
    response.Connection = "keep-alive";
    SendDirectoryListing(dir_.Path("list"), "/list/", request_, response, kConn);
    const std::string sent = other.Sent(kConn);
    EXPECT_EQ(sent.find("Content-Encoding"), std::string::npos);
    EXPECT_NE(sent.find("href='/list/x.txt'"), std::string::npos);
  }

  {
    fakes::FakeLink other;
    const std::string saved = g_startup.programDirectory;
    g_startup.programDirectory = dir_.Path("program");
    dir_.MakeDirectory("program/WebCache");
    const std::string file = dir_.Write("site/page.txt", std::string(3000, 'p'));
    HttpRequest request = request_;
    request.LocalPath = file;
    ResponseHead response;
    response.ContentEncoding = "gzip";
    response.Connection = "keep-alive";
    SendStaticFile(request, response, kConn, nullptr, nullptr);
    g_startup.programDirectory = saved;
    const std::string sent = other.Sent(kConn);
    EXPECT_EQ(sent.rfind("HTTP/1.1 500 Internal Server Error\r\n", 0), 0u) << sent.substr(0, 80);
    EXPECT_EQ(sent.find("Content-Encoding"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(dir_.Path("program/WebCache")));
  }
}

}  // namespace
}  // namespace zevra
