// Sending from a file: a queued file region goes out byte for byte in its
// place among the queued bytes, the caller may close its own handle at
// once, a disconnect still delivers it, a peer that goes away mid-file
// ends the connection without harm to the process, and a file shorter than
// promised cuts the connection instead of sending what follows it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "SocketTestSupport.h"

namespace sockettest {
namespace {

// A temporary file with known bytes; removed when the test ends.
class TempFile {
 public:
  explicit TempFile(size_t size) {
    char name[] = "/tmp/zevra-sendfile-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) return;
    path_ = name;
    bytes_.reserve(size);
    for (size_t i = 0; bytes_.size() < size; ++i) {
      // Position-dependent, so a slice that is lost, doubled or moved shows.
      bytes_.push_back(static_cast<char>((i * 2654435761u) >> 13));
    }
    size_t done = 0;
    while (done < bytes_.size()) {
      const ssize_t n = write(fd, bytes_.data() + done, bytes_.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  }
  ~TempFile() {
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool Ready() const { return !path_.empty(); }
  int Open() const { return open(path_.c_str(), O_RDONLY | O_CLOEXEC); }
  const std::string& Bytes() const { return bytes_; }
  void Truncate(off_t size) const { (void)truncate(path_.c_str(), size); }

 private:
  std::string path_;
  std::string bytes_;
};

bool SendText(TestServer& server, HP_CONNID id, const std::string& text) {
  return HP_Server_Send(server.Handle(), id, reinterpret_cast<const uint8_t*>(text.data()),
                        static_cast<int>(text.size())) != 0;
}

// Opens the file, queues a region of it and closes the handle at once.
bool SendRegion(TestServer& server, HP_CONNID id, const TempFile& file, int64_t offset, int64_t length) {
  const int fd = file.Open();
  if (fd < 0) return false;
  const bool queued = HP_TcpServer_SendFile(server.Handle(), id, fd, offset, length) != 0;
  close(fd);
  return queued;
}

int Pending(TestServer& server, HP_CONNID id) {
  int pending = -1;
  return HP_Server_GetPendingDataLength(server.Handle(), id, &pending) ? pending : -1;
}

// A file of `size` bytes and a server with one accepted client.
struct OneClient {
  explicit OneClient(size_t size) : file(size) {}
  bool Ready() {
    if (!file.Ready() || !server.Started() || !client.Connected() || !server.WaitForAccepted(1, 5000)) return false;
    id = server.AcceptedIds().front();
    return true;
  }
  TempFile file;
  TestServer server{2};
  Client client{server.Port()};
  HP_CONNID id = 0;
};

TEST(SocketSendFile, RegionGoesOutExactlyInItsPlaceAmongQueuedBytes) {
  // More than the kernel buffers of both sides hold while the client reads
  // nothing, so the library must keep the region queued.
  OneClient one(24u << 20);
  ASSERT_TRUE(one.Ready());

  const int64_t offset = 12345;
  const int64_t length = static_cast<int64_t>(one.file.Bytes().size()) - offset - 999;
  ASSERT_TRUE(SendText(one.server, one.id, "HEAD\r\n"));
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, offset, length));
  ASSERT_TRUE(SendText(one.server, one.id, "-middle-"));
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, 0, 100));
  ASSERT_TRUE(SendText(one.server, one.id, "TAIL"));
  // Queued file bytes count as pending: they have not left yet.
  EXPECT_GT(Pending(one.server, one.id), 1 << 20);

  const std::string expected = "HEAD\r\n" + one.file.Bytes().substr(offset, static_cast<size_t>(length)) + "-middle-" +
                               one.file.Bytes().substr(0, 100) + "TAIL";
  const std::string received = one.client.ReadExactly(expected.size(), 20000);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(WaitUntil([&] { return Pending(one.server, one.id) == 0; }, 5000));
  // The connection is still usable after the regions.
  ASSERT_TRUE(SendText(one.server, one.id, "again"));
  EXPECT_EQ(one.client.ReadExactly(5, 2000), "again");
}

TEST(SocketSendFile, SlowReaderGetsEveryByteAsRoomFreesUp) {
  // The reader takes small bites with pauses, so most writes are cut short
  // by a full kernel buffer: each such stop must be picked up again when
  // room frees, for the region and for the bytes queued behind it.
  OneClient one(6u << 20);
  ASSERT_TRUE(one.Ready());
  const std::string& bytes = one.file.Bytes();
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, 7, static_cast<int64_t>(bytes.size()) - 7));
  ASSERT_TRUE(SendText(one.server, one.id, "END"));
  const std::string expected = bytes.substr(7) + "END";
  std::string received;
  for (int round = 0; round < 4000 && received.size() < expected.size(); ++round) {
    const std::string bite = one.client.ReadExactly(std::min<size_t>(48 * 1024, expected.size() - received.size()), 5000);
    if (bite.empty()) break;
    received += bite;
    if (round % 8 == 0) usleep(3000);
  }
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(WaitUntil([&] { return Pending(one.server, one.id) == 0; }, 5000));
}

bool SendHeadAndRegion(TestServer& server, HP_CONNID id, const std::string& head, const TempFile& file,
                       int64_t offset, int64_t length) {
  const int fd = file.Open();
  if (fd < 0) return false;
  const bool queued = HP_TcpServer_SendFileWithHead(server.Handle(), id, reinterpret_cast<const uint8_t*>(head.data()),
                                                    static_cast<int>(head.size()), fd, offset, length) != 0;
  close(fd);
  return queued;
}

TEST(SocketSendFile, HeadAndRegionInOneCallKeepTheirOrder) {
  OneClient one(6u << 20);
  ASSERT_TRUE(one.Ready());
  const std::string& bytes = one.file.Bytes();
  // Straight out, nothing queued before.
  ASSERT_TRUE(SendHeadAndRegion(one.server, one.id, "HEAD-1\r\n\r\n", one.file, 10, 70000));
  std::string expected = "HEAD-1\r\n\r\n" + bytes.substr(10, 70000);
  EXPECT_TRUE(one.client.ReadExactly(expected.size(), 5000) == expected);
  // A head with no file bytes behind it is not held back waiting for more
  // (a corked socket would hold it 200 ms every time; the quickest of three
  // tries keeps a busy machine's hiccup out of the measure).
  auto quickest = Clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    const auto before = Clock::now();
    ASSERT_TRUE(SendHeadAndRegion(one.server, one.id, "EMPTY", one.file, 0, 0));
    EXPECT_EQ(one.client.ReadExactly(5, 2000), "EMPTY");
    quickest = std::min(quickest, Clock::now() - before);
  }
  EXPECT_LT(quickest, std::chrono::milliseconds(150));
  // Behind a region still queued (the client reads nothing meanwhile): the
  // second head waits its turn, then its region, then what came after.
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, 0, static_cast<int64_t>(bytes.size())));
  ASSERT_TRUE(SendHeadAndRegion(one.server, one.id, "HEAD-2", one.file, 5, 1000));
  ASSERT_TRUE(SendText(one.server, one.id, "END"));
  expected = bytes + "HEAD-2" + bytes.substr(5, 1000) + "END";
  const std::string received = one.client.ReadExactly(expected.size(), 20000);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_FALSE(HP_TcpServer_SendFileWithHead(one.server.Handle(), one.id, nullptr, 5, 0, 0, 1));
}

TEST(SocketSendFile, RefusesBadArgumentsAndClosedConnections) {
  OneClient one(4096);
  ASSERT_TRUE(one.Ready());
  EXPECT_FALSE(SendRegion(one.server, one.id, one.file, -1, 10));
  EXPECT_FALSE(SendRegion(one.server, one.id, one.file, 0, -10));
  EXPECT_TRUE(SendRegion(one.server, one.id, one.file, 0, 0));
  EXPECT_FALSE(HP_TcpServer_SendFile(nullptr, one.id, 0, 0, 1));
  EXPECT_FALSE(SendRegion(one.server, one.id + 1000, one.file, 0, 10));  // no such connection
  one.client.Close();
  ASSERT_TRUE(one.server.WaitForClosed(1, 5000));
  EXPECT_FALSE(SendRegion(one.server, one.id, one.file, 0, 10));
}

TEST(SocketSendFile, DisconnectRightAfterTheRegionStillDeliversEveryByte) {
  TempFile file(16u << 20);
  ASSERT_TRUE(file.Ready());
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t*, int) {
    if (!SendText(*serverRef, id, "H") || !SendRegion(*serverRef, id, file, 0, file.Bytes().size())) return HR_ERROR;
    HP_Server_Disconnect(serverRef->Handle(), id, 1);
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  ExpectWholeAnswerBeforeClose(server, "GET", "H" + file.Bytes());
}

TEST(SocketSendFile, PeerThatLeavesMidFileEndsOnlyItsConnection) {
  OneClient one(32u << 20);
  ASSERT_TRUE(one.Ready());
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, 0, one.file.Bytes().size()));
  EXPECT_EQ(one.client.ReadExactly(65536, 5000), one.file.Bytes().substr(0, 65536));
  // Gone with most of the file still queued: the next write meets a reset
  // or a broken pipe, which must close this connection and nothing else.
  one.client.Close();
  ASSERT_TRUE(one.server.WaitForClosed(1, 10000));
  EXPECT_EQ(one.server.Records().begin()->second.events.back(), 'C');
  Client other(one.server.Port());
  ASSERT_TRUE(other.SendAll("still here"));
  EXPECT_EQ(other.ReadExactly(10, 5000), "still here");
}

TEST(SocketSendFile, ManyPeersLeavingMidFileNeverEndTheProcess) {
  // A peer that has sent its FIN and then resets while sendfile moves its
  // bytes makes the call report the bytes moved so far and raise SIGPIPE
  // in the same call (the reset of a half-closed connection reads as a
  // broken pipe); a signal left pending then ends the process as soon as it
  // is unblocked. Many peers leaving at different points make that happen.
  TempFile file(8u << 20);
  ASSERT_TRUE(file.Ready());
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t*, int) {
    for (int i = 0; i < 4; ++i) {
      if (!SendRegion(*serverRef, id, file, 0, static_cast<int64_t>(file.Bytes().size()))) return HR_ERROR;
    }
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  int rounds = 0;
  for (; rounds < 40 && Clock::now() < deadline; ++rounds) {
    Client client(server.Port());
    ASSERT_TRUE(client.SendAll("GET"));
    client.ShutdownWrite();
    (void)client.ReadExactly(static_cast<size_t>(1 + rounds * 37117 % 3000000), 2000);
  }
  ASSERT_TRUE(server.WaitForClosed(static_cast<size_t>(rounds), 10000));
  // Still alive and serving.
  Client last(server.Port());
  ASSERT_TRUE(last.SendAll("GET"));
  EXPECT_EQ(last.ReadExactly(4096, 5000), file.Bytes().substr(0, 4096));
}

TEST(SocketSendFile, FileShorterThanPromisedCutsTheConnection) {
  // Far more than the kernel buffers hold, so most of it is still queued
  // when the file shrinks.
  OneClient one(48u << 20);
  ASSERT_TRUE(one.Ready());
  ASSERT_TRUE(SendRegion(one.server, one.id, one.file, 0, one.file.Bytes().size()));
  // Queued behind the region: must never reach the peer, who would take
  // them for the rest of the one.file.
  ASSERT_TRUE(SendText(one.server, one.id, "NEXT ANSWER"));
  one.file.Truncate(1 << 20);
  std::string received;
  EXPECT_TRUE(one.client.WaitClosed(20000, &received));
  EXPECT_LE(received.size(), one.file.Bytes().size());
  EXPECT_EQ(received.find("NEXT ANSWER"), std::string::npos);
  // What the file still holds arrives intact. Bytes past the new end that
  // were already in the kernel's buffers are the file's pages as the kernel
  // had them; a file cut while it is sent has no right content there.
  const size_t kept = std::min<size_t>(received.size(), 1 << 20);
  EXPECT_TRUE(received.compare(0, kept, one.file.Bytes(), 0, kept) == 0);
  ASSERT_TRUE(one.server.WaitForClosed(1, 5000));
  EXPECT_EQ(one.server.Records().begin()->second.closeOperation, SO_SEND);
}

}  // namespace
}  // namespace sockettest
