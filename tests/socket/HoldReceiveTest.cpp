// Holding a connection's reads until its queue is empty: nothing is read
// meanwhile, the wake comes once as an empty OnReceive after the last queued
// byte left, and reading goes on after it. A close while held still ends the
// connection with its OnClose.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "SocketTestSupport.h"

namespace sockettest {
namespace {

constexpr size_t kBulk = 8u << 20;

TEST(SocketHold, HeldConnectionIsReadAgainOnlyAfterItsQueueDrainedAndAWake) {
  const std::string bulk(kBulk, 'b');
  TestServer* serverRef = nullptr;
  std::atomic<int> holds{0};
  std::atomic<int> wakes{0};
  TestServer server(2, [&](HP_CONNID id, const uint8_t* data, int length) {
    if (length == 0) {
      wakes.fetch_add(1);
      return HR_OK;
    }
    if (std::string_view(reinterpret_cast<const char*>(data), length) == "go") {
      if (!HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(bulk.data()),
                          static_cast<int>(kBulk)))
        return HR_ERROR;
      if (HP_Server_HoldReceive(serverRef->Handle(), id)) holds.fetch_add(1);
    }
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  // Outside the connection's own callback there is nothing to hold.
  EXPECT_FALSE(HP_Server_HoldReceive(server.Handle(), id));

  ASSERT_TRUE(client.SendAll("go"));
  ASSERT_TRUE(WaitUntil([&] { return holds.load() == 1; }, 5000));
  ASSERT_TRUE(client.SendAll("more"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // Held: "more" waits in the kernel, and no wake came yet.
  EXPECT_EQ(server.Records()[id].received, "go");
  EXPECT_EQ(wakes.load(), 0);

  EXPECT_EQ(client.ReadExactly(kBulk, 15000).size(), kBulk);
  ASSERT_TRUE(WaitUntil([&] { return server.Records()[id].received == "gomore"; }, 5000));
  EXPECT_EQ(wakes.load(), 1);
  // The wake is an OnReceive of its own, between the two reads.
  EXPECT_EQ(server.Records()[id].events, "ARRR");
}

TEST(SocketHold, CloseWhileHeldEndsTheConnectionOnce) {
  const std::string bulk(kBulk, 'c');
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t* data, int length) {
    if (length > 0 && data[0] == 'g') {
      HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(bulk.data()), static_cast<int>(kBulk));
      HP_Server_HoldReceive(serverRef->Handle(), id);
    }
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.SendAll("go"));
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  ASSERT_TRUE(WaitUntil([&] { return server.Records()[id].received == "go"; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The peer reads nothing: the queue stays full, and the library's sweep
  // is the only other way out. A disconnect that drops the queue ends it.
  ASSERT_TRUE(HP_Server_DisconnectSilenceConnections(server.Handle(), 0, 0));
  ASSERT_TRUE(server.WaitForClosed(1, 5000));
  EXPECT_EQ(server.Records()[id].events, "ARC");
  EXPECT_FALSE(server.Records()[id].eventAfterClose);
}

}  // namespace
}  // namespace sockettest
