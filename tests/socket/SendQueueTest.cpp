// Sending: bytes are copied and queued in order, the pending count follows
// what has not left yet, a disconnect still delivers what was queued, and a
// closed connection refuses everything.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"

namespace sockettest {
namespace {

// Chunk `index` of a stream: its number, then filler, so that a chunk that
// is lost, doubled or moved shows in the bytes.
std::string Chunk(int index, size_t size) {
  std::string chunk(1, '<');
  chunk.append(std::to_string(index)).push_back('>');
  while (chunk.size() < size) chunk.push_back(static_cast<char>('A' + (index + chunk.size()) % 26));
  chunk.resize(size);
  return chunk;
}

int Pending(TestServer& server, HP_CONNID id) {
  int pending = -1;
  return HP_Server_GetPendingDataLength(server.Handle(), id, &pending) ? pending : -1;
}

TEST(SocketSend, ManySendsArriveInOrderAndPendingCountsWhatIsLeft) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  EXPECT_EQ(Pending(server, id), 0);

  // 32 MiB in 4 KiB chunks while the client reads nothing: more than the
  // kernel buffers on both sides hold, so the library must queue the rest.
  constexpr int kChunks = 8192;
  constexpr size_t kChunkSize = 4096;
  std::string expected;
  expected.reserve(kChunks * kChunkSize);
  for (int i = 0; i < kChunks; ++i) {
    std::string chunk = Chunk(i, kChunkSize);
    ASSERT_TRUE(HP_Server_Send(server.Handle(), id, reinterpret_cast<const uint8_t*>(chunk.data()), static_cast<int>(chunk.size())));
    expected += chunk;
    // The library copied the bytes: scribbling on ours changes nothing.
    chunk.assign(chunk.size(), '#');
  }
  const int queued = Pending(server, id);
  EXPECT_GT(queued, 0);
  EXPECT_LE(queued, static_cast<int>(expected.size()));

  const std::string received = client.ReadExactly(expected.size(), 20000);
  EXPECT_EQ(received.size(), expected.size());
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(WaitUntil([&] { return Pending(server, id) == 0; }, 5000));
}

TEST(SocketSend, ZeroLengthIsAcceptedAndNegativeOrNullRefused) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  const uint8_t byte = 'x';
  EXPECT_TRUE(HP_Server_Send(server.Handle(), id, &byte, 0));
  EXPECT_FALSE(HP_Server_Send(server.Handle(), id, &byte, -1));
  EXPECT_FALSE(HP_Server_Send(server.Handle(), id, nullptr, 5));
  EXPECT_TRUE(HP_Server_Send(server.Handle(), id, &byte, 1));
  EXPECT_EQ(client.ReadExactly(1, 2000), "x");
}

TEST(SocketSend, ClosedConnectionRefusesSendsAndForgetsItsExtra) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  int marker = 0;
  ASSERT_TRUE(HP_Server_SetConnectionExtra(server.Handle(), id, &marker));
  void* extra = nullptr;
  ASSERT_TRUE(HP_Server_GetConnectionExtra(server.Handle(), id, &extra));
  EXPECT_EQ(extra, &marker);

  ASSERT_TRUE(HP_Server_Disconnect(server.Handle(), id, 1));
  ASSERT_TRUE(server.WaitForClosed(1, 5000));
  EXPECT_EQ(server.Records()[id].closeOperation, SO_CLOSE);
  EXPECT_TRUE(client.WaitClosed(2000));

  const uint8_t byte = 'x';
  EXPECT_FALSE(HP_Server_Send(server.Handle(), id, &byte, 1));
  extra = &marker;
  EXPECT_FALSE(HP_Server_GetConnectionExtra(server.Handle(), id, &extra));
  EXPECT_EQ(extra, nullptr);
  EXPECT_FALSE(HP_Server_SetConnectionExtra(server.Handle(), id, &marker));
  int pending = 0;
  EXPECT_FALSE(HP_Server_GetPendingDataLength(server.Handle(), id, &pending));
  EXPECT_FALSE(HP_Server_Disconnect(server.Handle(), id, 1));
  EXPECT_EQ(HP_Server_GetConnectionCount(server.Handle()), 0u);
  // Ids are not reused: the next connection has a new one.
  Client next(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(2, 5000));
  EXPECT_NE(server.AcceptedIds().back(), id);
}

TEST(SocketSend, SendAfterADisconnectInsideTheCallbackIsRefused) {
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t*, int) {
    HP_Server_Disconnect(serverRef->Handle(), id, 1);
    // The close is under way: this send must not be taken.
    const uint8_t byte = 'x';
    return HP_Server_Send(serverRef->Handle(), id, &byte, 1) ? HR_ERROR : HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.SendAll("bye"));
  std::string drained;
  EXPECT_TRUE(client.WaitClosed(3000, &drained));
  EXPECT_EQ(drained, "");
  ASSERT_TRUE(server.WaitForClosed(1, 3000));
  EXPECT_EQ(server.Records().begin()->second.closeOperation, SO_CLOSE);
}

TEST(SocketSend, DisconnectRightAfterALargeSendStillDeliversEveryByte) {
  // The server disconnects as soon as it has queued the last slice of an
  // answer; the slices still queued must reach the peer before the FIN.
  constexpr size_t kBulk = 12u << 20;
  std::string bulk;
  bulk.reserve(kBulk);
  for (int i = 0; bulk.size() < kBulk; ++i) bulk += Chunk(i, 40960);
  bulk.resize(kBulk);
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t*, int) {
    for (size_t at = 0; at < bulk.size(); at += 40960) {
      const size_t size = std::min<size_t>(40960, bulk.size() - at);
      if (!HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(bulk.data() + at), static_cast<int>(size)))
        return HR_ERROR;
    }
    HP_Server_Disconnect(serverRef->Handle(), id, 1);
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  // OnClose comes only once the queue has drained.
  ExpectWholeAnswerBeforeClose(server, "GET", bulk);
}

TEST(SocketSend, PeerThatHalfClosesStillGetsItsAnswer) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.SendAll("request"));
  client.ShutdownWrite();
  std::string received;
  EXPECT_TRUE(client.WaitClosed(5000, &received));
  EXPECT_EQ(received, "request");
  ASSERT_TRUE(server.WaitForClosed(1, 5000));
  EXPECT_EQ(server.Records().begin()->second.closeOperation, SO_RECEIVE);
}

TEST(SocketSend, PeerThatSendsButNeverReadsIsNotReadWithoutBound) {
  // Each byte received asks for 16 bytes of answer, as small pipelined
  // requests ask for larger files. A peer that keeps sending and reads
  // nothing must not make the library queue answers without end: reading
  // stops while a lot is queued and starts again once the peer reads.
  constexpr int kFactor = 16;
  std::atomic<size_t> received{0};
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t* data, int length) {
    received += static_cast<size_t>(length);
    std::string answer;
    answer.reserve(static_cast<size_t>(length) * kFactor);
    for (int i = 0; i < kFactor; ++i) answer.append(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    return HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(answer.data()),
                          static_cast<int>(answer.size()))
               ? HR_OK
               : HR_ERROR;
  });
  serverRef = &server;
  server.KeepReceived(false);
  ASSERT_TRUE(server.Started());

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  const int small = 16 * 1024;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const timeval wait{0, 200 * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server.Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  // Send up to 32 MiB without reading; the sends stall once the server stops
  // reading and the kernel buffers are full.
  const std::string block(64 * 1024, 'q');
  size_t sent = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(6);
  while (sent < (32u << 20) && Clock::now() < deadline) {
    const ssize_t n = ::send(fd, block.data(), block.size(), MSG_NOSIGNAL);
    if (n > 0) sent += static_cast<size_t>(n);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(received.load(), size_t{4} << 20) << "sent " << sent;
  EXPECT_LT(sent, size_t{32} << 20);
  const HP_CONNID id = server.AcceptedIds().front();
  int pending = -1;
  ASSERT_TRUE(HP_Server_GetPendingDataLength(server.Handle(), id, &pending));
  EXPECT_LE(pending, 4 << 20);

  // Once the peer reads, every answer arrives and every byte sent is read.
  std::string buffer(256 * 1024, '\0');
  size_t got = 0;
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (got < sent * kFactor && Clock::now() < end) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n == 0) break;
    if (n > 0) {
      EXPECT_EQ(std::string_view(buffer.data(), static_cast<size_t>(n)).find_first_not_of('q'), std::string_view::npos);
      got += static_cast<size_t>(n);
    }
  }
  EXPECT_EQ(received.load(), sent);
  EXPECT_EQ(got, sent * kFactor);
  ::close(fd);
}

}  // namespace
}  // namespace sockettest
