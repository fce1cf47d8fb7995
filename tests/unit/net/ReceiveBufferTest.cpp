// Receive buffering against a fake connection: chunk boundaries anywhere,
// memory and spooled bodies, pipelining, overshoot and the refusals.
#include "server/net/ReceiveBuffer.h"
#include "tests/support/FakeLink.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/File.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

namespace fs = std::filesystem;

using fakes::FakeLink;

// What a handler saw when it was called.
struct HandledRequest {
  bool post = false;
  bool other = false;        // went to the handler of unimplemented methods
  std::string head;
  int32_t headLength = 0;
  int32_t busy = 0;
  int64_t contentLength = 0;
  int64_t bodyReceived = 0;
  int32_t bodySpooled = 0;
  std::string body;          // from memory or from the finished spool file
  bool recvingLeft = false;  // a "Recving_" file still there
};

struct Recorder {
  std::vector<HandledRequest> handled;
  std::vector<int> pages;
  int continues = 0;
  bool disconnectAfterAnswer = false;
};
Recorder* g_recorder = nullptr;

void Record(ConnId conn, bool post, bool other = false) {
  ConnectionContext* ctx = Link().Context(conn);
  HandledRequest r;
  r.post = post;
  r.other = other;
  {
    std::lock_guard<std::recursive_mutex> guard(ctx->lock);
    r.head = ctx->headBuffer;
    r.headLength = ctx->headLength;
    r.busy = ctx->busy;
    r.contentLength = ctx->contentLength;
    r.bodyReceived = ctx->bodyReceived;
    r.bodySpooled = ctx->bodySpooled;
    if (ctx->bodySpooled == 0) {
      r.body = ctx->bodyMemory;
    } else {
      platform::ReadWholeFile(SpoolFilePath(ctx->spoolNumber, true), r.body);
      r.recvingLeft = fs::exists(SpoolFilePath(ctx->spoolNumber, false));
    }
  }
  g_recorder->handled.push_back(r);
  // Every answered request ends like this in the real handlers.
  Link().Send(conn, "answer", 6);
  if (g_recorder->disconnectAfterAnswer) Link().Disconnect(conn);
  ResetRequestState(conn);
}

void RecordGet(ConnId conn) { Record(conn, false); }
void RecordPost(ConnId conn) { Record(conn, true); }
void RecordOther(ConnId conn) { Record(conn, false, true); }
void RecordPage(int status, ConnId, std::string_view) { g_recorder->pages.push_back(status); }
void RecordContinue(ConnId) { ++g_recorder->continues; }

const RequestHandlers kRecordingHandlers = {RecordGet, RecordPost, RecordPage, RecordContinue, RecordOther, nullptr};

constexpr ConnId kConn = 7;

class ReceiveBufferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("zevra-receive-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "WebTemp");
    g_startup.programDirectory = root_.string();
    g_recorder = &recorder_;
    SetLink(&link_);
    // A closed connection stays readable here: the tests look at what the
    // refusal left behind in its context.
    link_.SetCloseOnDisconnect(false);
    SetRequestHandlers(&kRecordingHandlers);
    Open();
  }
  void TearDown() override {
    SetRequestHandlers(nullptr);
    SetLink(nullptr);
    g_recorder = nullptr;
    fs::remove_all(root_);
  }

  // A fresh connection (the previous one is gone).
  void Open() {
    context_ = std::make_unique<ConnectionContext>();
    context_->spoolNumber = NewSpoolNumber();
    link_.Reset(kConn);
    link_.SetContext(kConn, context_.get());
    recorder_ = Recorder();
  }

  void Feed(std::string_view bytes) {
    HandleReceivedData(kConn, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  void FeedInPieces(std::string_view bytes, size_t piece) {
    for (size_t at = 0; at < bytes.size(); at += piece) Feed(bytes.substr(at, piece));
  }

  void ExpectIdle() {
    ConnectionContext& c = *context_;
    EXPECT_EQ(c.state, 0);
    EXPECT_EQ(c.busy, 0);
    EXPECT_EQ(c.headLength, 0);
    EXPECT_EQ(c.contentLength, 0);
    EXPECT_EQ(c.bodyReceived, 0);
    EXPECT_EQ(c.bodySpooled, 0);
    EXPECT_FALSE(c.bodyFile.IsOpen());
    EXPECT_TRUE(c.headBuffer.empty());
    EXPECT_TRUE(c.headPart.empty());
    EXPECT_TRUE(c.bodyMemory.empty());
    EXPECT_TRUE(fs::is_empty(root_ / "WebTemp"));
  }

  fs::path root_;
  FakeLink link_;
  Recorder recorder_;
  std::unique_ptr<ConnectionContext> context_;
};

const std::string kGet = "GET / HTTP/1.1\r\nHost: localhost\r\n\r\n";

std::string Post(size_t length, const std::string& extra = "") {
  return "POST /form.php HTTP/1.1\r\nHost: localhost\r\n" + extra + "Content-Length: " + std::to_string(length) +
         "\r\n\r\n";
}

std::string Pattern(size_t length) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(ReceiveBufferTest, GetInOneChunkIsHandledOnceWithItsExactHead) {
  Feed(kGet);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  const HandledRequest& r = recorder_.handled[0];
  EXPECT_FALSE(r.post);
  EXPECT_EQ(r.head, kGet);
  EXPECT_EQ(r.headLength, static_cast<int32_t>(kGet.size()));
  EXPECT_EQ(r.busy, 1);
  EXPECT_EQ(link_.Sent(kConn), "answer");
  EXPECT_EQ(link_.Disconnects(kConn), 0);
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, HeadSplitAtEveryPointIsCollectedIntoOneRequest) {
  for (size_t cut = 1; cut < kGet.size(); ++cut) {
    Open();
    Feed(kGet.substr(0, cut));
    EXPECT_TRUE(recorder_.handled.empty()) << "cut " << cut;
    Feed(kGet.substr(cut));
    ASSERT_EQ(recorder_.handled.size(), 1u) << "cut " << cut;
    EXPECT_EQ(recorder_.handled[0].head, kGet) << "cut " << cut;
    ExpectIdle();
  }
  Open();
  FeedInPieces(kGet, 1);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].head, kGet);
  EXPECT_EQ(link_.Disconnects(kConn), 0);
}

TEST_F(ReceiveBufferTest, OtherMethodsReachTheirHandlerAndNonHttpCloses) {
  // Methods are case-sensitive: "get" is a method this server lacks. A
  // body of such a request is read and dropped, and the connection goes on.
  for (std::string request : {"get / HTTP/1.1\r\n\r\n", "PUT /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
                              "OPTIONS * HTTP/1.1\r\n\r\n", "HEADX / HTTP/1.1\r\n\r\n", "POSTS / HTTP/1.1\r\n\r\n"}) {
    Open();
    Feed(request + kGet);
    ASSERT_EQ(recorder_.handled.size(), 2u) << request;
    EXPECT_TRUE(recorder_.handled[0].other) << request;
    EXPECT_EQ(recorder_.handled[0].head, request.substr(0, request.find("\r\n\r\n") + 4)) << request;
    EXPECT_TRUE(recorder_.handled[0].body.empty()) << request;
    EXPECT_FALSE(recorder_.handled[1].other) << request;
    EXPECT_EQ(recorder_.handled[1].head, kGet) << request;
    EXPECT_EQ(link_.Disconnects(kConn), 0) << request;
  }
  // Bytes that cannot start a request line close without an answer: a TLS
  // handshake, a method of other characters, a method too long to be one.
  for (std::string first : {std::string("\x16\x03\x01"), std::string("G\xC3\xA9T / HTTP/1.1\r\n\r\n"),
                            std::string(" / HTTP/1.1\r\n\r\n"), std::string(kMaxMethodLength + 1, 'A')}) {
    Open();
    Feed(first);
    EXPECT_EQ(link_.Disconnects(kConn), 1) << first;
    EXPECT_TRUE(link_.Sent(kConn).empty()) << first;
    EXPECT_TRUE(recorder_.handled.empty()) << first;
    EXPECT_TRUE(recorder_.pages.empty()) << first;
    // Nothing more is read once the close is asked.
    Feed(kGet);
    EXPECT_TRUE(recorder_.handled.empty()) << first;
  }
  // A method cut short by TCP waits for its rest, up to the longest there is.
  Open();
  Feed("HE");
  Feed("AD / HTTP/1.1\r\n\r\n");
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].head, "HEAD / HTTP/1.1\r\n\r\n");
  Open();
  Feed(std::string(kMaxMethodLength, 'A'));
  EXPECT_EQ(link_.Disconnects(kConn), 0);
  Feed(" / HTTP/1.1\r\n\r\n");
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_TRUE(recorder_.handled[0].other);
}

bool RefuseBody(ConnId) { return false; }
const RequestHandlers kBodylessHandlers = {RecordGet, RecordPost, RecordPage, RecordContinue, RecordOther, RefuseBody};

TEST_F(ReceiveBufferTest, BodyNobodyWantsIsReadPastNotStored) {
  SetRequestHandlers(&kBodylessHandlers);
  for (size_t length : {10u, 5000u}) {
    Open();
    const std::string body(length, 'b');
    FeedInPieces("POST /static.txt HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + body +
                     kGet,
                 700);
    // Nothing in WebTemp at any point, the POST handler still answers (with
    // no body to see), and the request after the body is the next one.
    EXPECT_TRUE(fs::is_empty(root_ / "WebTemp")) << length;
    ASSERT_EQ(recorder_.handled.size(), 2u) << length;
    EXPECT_TRUE(recorder_.handled[0].post);
    EXPECT_EQ(recorder_.handled[0].bodySpooled, 0);
    EXPECT_EQ(recorder_.handled[0].body, "");
    EXPECT_EQ(recorder_.handled[1].head, kGet);
    ExpectIdle();
  }
}

TEST_F(ReceiveBufferTest, BodyAboveTheLimitIsRefusedBeforeItIsRead) {
  const int64_t saved = g_settings.MaxBodySize;
  g_settings.MaxBodySize = 5000;
  // At the limit: taken (and spooled).
  FeedInPieces("POST /a.php HTTP/1.1\r\nContent-Length: 5000\r\n\r\n" + std::string(5000, 'b'), 1500);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].body.size(), 5000u);
  // One byte more, on any method: 413 from the head alone, nothing in
  // WebTemp, and the connection closes with the body still unread.
  for (std::string method : {"POST", "GET", "PUT"}) {
    Open();
    Feed(method + " /a.php HTTP/1.1\r\nContent-Length: 5001\r\n\r\nbbb");
    EXPECT_EQ(recorder_.pages, std::vector<int>{413}) << method;
    EXPECT_TRUE(recorder_.handled.empty()) << method;
    EXPECT_EQ(link_.Disconnects(kConn), 1) << method;
    EXPECT_TRUE(fs::is_empty(root_ / "WebTemp")) << method;
  }
  // A length no disk holds is refused the same way.
  Open();
  Feed("POST /a.php HTTP/1.1\r\nContent-Length: 1000000000000\r\n\r\n");
  EXPECT_EQ(recorder_.pages, std::vector<int>{413});
  EXPECT_TRUE(fs::is_empty(root_ / "WebTemp"));
  g_settings.MaxBodySize = saved;
}

TEST_F(ReceiveBufferTest, HeadLimitIs64KiBWithItsBlankLine) {
  auto headOf = [](size_t total) {
    std::string head = "GET / HTTP/1.1\r\nX-Fill: ";
    head.append(total - head.size() - 4, 'x');
    return head + "\r\n\r\n";
  };
  std::string largest = headOf(kMaxHeadBytes);
  FeedInPieces(largest, 1000);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].head, largest);

  Open();
  FeedInPieces(headOf(kMaxHeadBytes + 1), 1000);
  EXPECT_TRUE(recorder_.handled.empty());
  EXPECT_EQ(recorder_.pages, std::vector<int>{400});
  EXPECT_EQ(link_.Disconnects(kConn), 1);
  ExpectIdle();

  // Without any blank line the refusal comes as the limit is reached.
  Open();
  std::string endless = "GET / HTTP/1.1\r\nX-Fill: " + std::string(kMaxHeadBytes, 'y');
  Feed(endless.substr(0, kMaxHeadBytes - 1));
  EXPECT_TRUE(recorder_.pages.empty());
  Feed(endless.substr(kMaxHeadBytes - 1, 1));
  EXPECT_EQ(recorder_.pages, std::vector<int>{400});
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, PipelinedRequestsAreAnsweredInOrderWhateverTheChunks) {
  std::string a = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string b = Post(5) + "hello";
  std::string c = "HEAD /c HTTP/1.1\r\n\r\n";
  std::string all = a + b + c;
  for (size_t piece : {all.size(), size_t{1}, size_t{3}, size_t{7}, size_t{29}}) {
    Open();
    FeedInPieces(all, piece);
    ASSERT_EQ(recorder_.handled.size(), 3u) << "piece " << piece;
    EXPECT_EQ(recorder_.handled[0].head, a);
    EXPECT_TRUE(recorder_.handled[1].post);
    EXPECT_EQ(recorder_.handled[1].head, Post(5));
    EXPECT_EQ(recorder_.handled[1].body, "hello");
    EXPECT_EQ(recorder_.handled[2].head, c);
    EXPECT_EQ(link_.Sent(kConn), "answeransweranswer");
    ExpectIdle();
  }
}

TEST_F(ReceiveBufferTest, AnAnswerThatClosesEndsThePipeline) {
  recorder_.disconnectAfterAnswer = true;
  Feed(kGet + kGet);
  EXPECT_EQ(recorder_.handled.size(), 1u);
  Feed(kGet);
  EXPECT_EQ(recorder_.handled.size(), 1u);
}

TEST_F(ReceiveBufferTest, SmallPostBodyIsKeptInMemoryAcrossAnySplit) {
  std::string request = Post(10) + "0123456789";
  for (size_t cut = 1; cut < request.size(); ++cut) {
    Open();
    Feed(request.substr(0, cut));
    EXPECT_TRUE(recorder_.handled.empty()) << "cut " << cut;
    Feed(request.substr(cut));
    ASSERT_EQ(recorder_.handled.size(), 1u) << "cut " << cut;
    const HandledRequest& r = recorder_.handled[0];
    EXPECT_TRUE(r.post);
    EXPECT_EQ(r.head, Post(10));
    EXPECT_EQ(r.headLength, static_cast<int32_t>(Post(10).size()));
    EXPECT_EQ(r.bodySpooled, 0);
    EXPECT_EQ(r.contentLength, 10);
    EXPECT_EQ(r.bodyReceived, 10);
    EXPECT_EQ(r.body, "0123456789");
    ExpectIdle();
  }
}

TEST_F(ReceiveBufferTest, BodiesUpTo4096StayInMemoryLongerOnesAreSpooled) {
  std::string body = Pattern(4097);
  Feed(Post(4096) + body.substr(0, 4096));
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].bodySpooled, 0);
  EXPECT_EQ(recorder_.handled[0].body, body.substr(0, 4096));

  Open();
  Feed(Post(4097) + body);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].bodySpooled, 1);
  EXPECT_EQ(recorder_.handled[0].body, body);
  EXPECT_FALSE(recorder_.handled[0].recvingLeft);
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, SpoolFileGrowsChunkByChunkAndIsRenamedWhenComplete) {
  std::string body = Pattern(5000);
  std::string recving = SpoolFilePath(context_->spoolNumber, false);
  std::string done = SpoolFilePath(context_->spoolNumber, true);
  Feed(Post(5000));
  EXPECT_FALSE(fs::exists(recving));  // created with the first body byte
  size_t sent = 0;
  for (size_t piece : {1000u, 1u, 2999u}) {
    Feed(body.substr(sent, piece));
    sent += piece;
    ASSERT_TRUE(fs::exists(recving));
    EXPECT_EQ(fs::file_size(recving), sent);
    EXPECT_FALSE(fs::exists(done));
    EXPECT_TRUE(recorder_.handled.empty());
  }
  Feed(body.substr(sent));
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].body, body);
  EXPECT_EQ(recorder_.handled[0].bodyReceived, 5000);
  EXPECT_FALSE(recorder_.handled[0].recvingLeft);
  ExpectIdle();

  // A leftover "Done_" file of an earlier worker does not block the move.
  Open();
  platform::File stale = platform::File::CreateAlways(SpoolFilePath(context_->spoolNumber, true));
  stale.WriteAll("stale", 5);
  stale.Close();
  Feed(Post(5000) + body);
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].body, body);
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, BytesBeyondTheBodyBelongToTheNextRequest) {
  Feed(Post(5) + "hello" + kGet);
  ASSERT_EQ(recorder_.handled.size(), 2u);
  EXPECT_EQ(recorder_.handled[0].body, "hello");
  EXPECT_EQ(recorder_.handled[1].head, kGet);

  // The same over a spooled body, the next head arriving with its last bytes.
  Open();
  std::string body = Pattern(6000);
  Feed(Post(6000) + body.substr(0, 10));
  Feed(body.substr(10) + kGet.substr(0, 5));
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].body, body);
  Feed(kGet.substr(5));
  ASSERT_EQ(recorder_.handled.size(), 2u);
  EXPECT_EQ(recorder_.handled[1].head, kGet);
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, BodyOfAGetIsReadAndDropped) {
  std::string get = "GET / HTTP/1.1\r\nContent-Length: 4\r\n\r\n";
  Feed(get + "abcd" + kGet);
  ASSERT_EQ(recorder_.handled.size(), 2u);
  EXPECT_EQ(recorder_.handled[0].head, get);
  EXPECT_EQ(recorder_.handled[1].head, kGet);
  EXPECT_EQ(link_.Disconnects(kConn), 0);
}

TEST_F(ReceiveBufferTest, PostWithoutUsableLengthIsRefusedAndClosed) {
  struct Case {
    std::string head;
    int status;
  };
  const std::string start = "POST /f.php HTTP/1.1\r\nHost: x\r\n";
  std::vector<Case> cases = {
      {start + "\r\n", 411},
      {start + "Content-Length: abc\r\n\r\n", 400},
      {start + "Content-Length: -5\r\n\r\n", 400},
      {start + "Content-Length: +5\r\n\r\n", 400},
      {start + "Content-Length: 5 5\r\n\r\n", 400},
      {start + "Content-Length:\r\n\r\n", 400},
      {start + "Content-Length: 99999999999999999999\r\n\r\n", 400},
      {start + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", 400},
      {start + "Content-Length : 5\r\n\r\n", 400},
      {start + "Transfer-Encoding: chunked\r\n\r\n", 400},
      {start + "Content-Length: 5\r\ntransfer-encoding: identity\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    Open();
    Feed(c.head + "hello");
    EXPECT_TRUE(recorder_.handled.empty()) << c.head;
    EXPECT_EQ(recorder_.pages, std::vector<int>{c.status}) << c.head;
    EXPECT_EQ(link_.Disconnects(kConn), 1) << c.head;
    ExpectIdle();
  }
}

TEST_F(ReceiveBufferTest, LengthFieldIsFoundByNameInAnyCaseWithBlanks) {
  std::string head = "POST /f.php HTTP/1.1\r\ncontent-LENGTH:\t 3 \r\nContent-Length: 3\r\n\r\n";
  Feed(head + "abc");
  ASSERT_EQ(recorder_.handled.size(), 1u);
  EXPECT_EQ(recorder_.handled[0].body, "abc");

  // Zero hands the request on as soon as the head is complete.
  Open();
  Feed(Post(0) + kGet);
  ASSERT_EQ(recorder_.handled.size(), 2u);
  EXPECT_TRUE(recorder_.handled[0].post);
  EXPECT_EQ(recorder_.handled[0].body, "");
}

TEST_F(ReceiveBufferTest, ContinueOnlyWhenAskedForAndTheBodyIsMissing) {
  std::string expect = "Expect: 100-continue\r\n";
  Feed(Post(3, expect));
  EXPECT_EQ(recorder_.continues, 1);
  Feed("a");
  Feed("bc");
  EXPECT_EQ(recorder_.continues, 1);
  ASSERT_EQ(recorder_.handled.size(), 1u);

  Open();
  Feed(Post(3, expect) + "abc");  // the body is here already
  EXPECT_EQ(recorder_.continues, 0);

  Open();
  FeedInPieces(Post(3) + "abc", 2);  // a head cut by TCP is no request to wait
  EXPECT_EQ(recorder_.continues, 0);
  EXPECT_EQ(recorder_.handled.size(), 1u);

  Open();
  std::string old = "POST /f.php HTTP/1.0\r\n" + expect + "Content-Length: 3\r\n\r\n";
  Feed(old);
  EXPECT_EQ(recorder_.continues, 0);
}

TEST_F(ReceiveBufferTest, FailedSpoolIsAnsweredNotLeftWaiting) {
  fs::remove_all(root_ / "WebTemp");
  Feed(Post(5000) + Pattern(100));
  EXPECT_EQ(recorder_.pages, std::vector<int>{500});
  EXPECT_EQ(link_.Disconnects(kConn), 1);
  EXPECT_TRUE(recorder_.handled.empty());
  fs::create_directories(root_ / "WebTemp");
  ExpectIdle();
}

TEST_F(ReceiveBufferTest, EmptyLinesBeforeARequestAreSkipped) {
  Feed(Post(2) + "ok" + "\r\n");
  Feed("\r\n" + kGet);
  ASSERT_EQ(recorder_.handled.size(), 2u);
  EXPECT_EQ(recorder_.handled[1].head, kGet);
}

TEST_F(ReceiveBufferTest, ResetFreesAPartlyReceivedRequest) {
  Feed(Post(6000) + Pattern(100));
  EXPECT_TRUE(fs::exists(SpoolFilePath(context_->spoolNumber, false)));
  ResetRequestState(kConn);
  ExpectIdle();
  ResetRequestState(kConn + 1);  // a connection without a context: nothing happens
}

TEST_F(ReceiveBufferTest, RandomStreamsSplitAnywhereGiveTheSameRequests) {
  // A fixed seed: the same streams and cuts on every run.
  std::mt19937 random(20261208);
  for (int round = 0; round < 60; ++round) {
    Open();
    std::string stream;
    std::vector<HandledRequest> expected;
    int requests = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < requests; ++i) {
      HandledRequest r;
      if (random() % 2 == 0) {
        r.head = "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: h\r\n\r\n";
      } else {
        static const size_t kLengths[] = {0, 1, 4096, 4097, 9000};
        size_t length = kLengths[random() % 5];
        r.post = true;
        r.head = Post(length);
        r.body = Pattern(length + i).substr(i);
      }
      stream += r.head + r.body;
      expected.push_back(r);
    }
    size_t at = 0;
    while (at < stream.size()) {
      size_t piece = 1 + random() % (random() % 2 == 0 ? 8 : 3000);
      Feed(std::string_view(stream).substr(at, piece));
      at += piece;
    }
    ASSERT_EQ(recorder_.handled.size(), expected.size()) << "round " << round;
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(recorder_.handled[i].post, expected[i].post) << "round " << round << " request " << i;
      EXPECT_EQ(recorder_.handled[i].head, expected[i].head) << "round " << round << " request " << i;
      EXPECT_EQ(recorder_.handled[i].body, expected[i].body) << "round " << round << " request " << i;
    }
    EXPECT_EQ(link_.Disconnects(kConn), 0);
    ExpectIdle();
  }
}

TEST(BodyFramingTest, ReadsTheFieldsThatDecideWhereABodyEnds) {
  BodyFraming f = ReadBodyFraming("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(f.length, BodyFraming::kNoLength);
  EXPECT_FALSE(f.transferEncoding);

  f = ReadBodyFraming("POST / HTTP/1.0\r\nEXPECT: 100-Continue\r\nContent-Length: 12\r\n\r\n");
  EXPECT_EQ(f.length, BodyFraming::kLength);
  EXPECT_EQ(f.contentLength, 12);
  EXPECT_TRUE(f.expectContinue);
  EXPECT_TRUE(f.http10);

  // Duplicates that agree are one length; a field after the blank line is body.
  f = ReadBodyFraming("POST / HTTP/1.1\r\nContent-Length: 7\r\ncontent-length: 7\r\n\r\nContent-Length: 8\r\n");
  EXPECT_EQ(f.length, BodyFraming::kLength);
  EXPECT_EQ(f.contentLength, 7);

  // A bad length stays bad even when a good one follows.
  f = ReadBodyFraming("POST / HTTP/1.1\r\nContent-Length: x\r\nContent-Length: 7\r\n\r\n");
  EXPECT_EQ(f.length, BodyFraming::kBadLength);

  f = ReadBodyFraming("POST / HTTP/1.1\r\nContent-Length: 9223372036854775807\r\n\r\n");
  EXPECT_EQ(f.length, BodyFraming::kLength);
  EXPECT_EQ(f.contentLength, INT64_MAX);
}

}  // namespace
}  // namespace zevra
