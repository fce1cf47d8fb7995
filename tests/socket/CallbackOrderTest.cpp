// The order and concurrency of callbacks: one connection's callbacks never
// overlap and keep their order, OnClose comes exactly once and last whatever
// races to close, and no more than WorkerThreads callbacks run at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"

namespace sockettest {
namespace {

// A connection's events must read A R* C: one accept first, one close last.
void ExpectWellFormed(HP_CONNID id, const ConnectionRecord& record) {
  SCOPED_TRACE("connection " + std::to_string(id) + " events " + record.events);
  ASSERT_FALSE(record.events.empty());
  EXPECT_EQ(record.events.front(), 'A');
  EXPECT_EQ(record.events.back(), 'C');
  EXPECT_EQ(record.events.find_first_not_of('R', 1), record.events.size() - 1);
  EXPECT_FALSE(record.eventAfterClose);
}

TEST(SocketCallbacks, ManyConnectionsAreEchoedInOrderWithoutOverlap) {
  constexpr int kClients = 24;
  constexpr int kMessages = 200;
  // A short random pause now and then keeps several callbacks of different
  // connections in flight at once while bytes of the same one keep coming.
  TestServer* serverRef = nullptr;
  TestServer server(4, [&serverRef](HP_CONNID id, const uint8_t* data, int length) {
    thread_local std::minstd_rand random(static_cast<unsigned>(id));
    if (random() % 16 == 0) std::this_thread::sleep_for(std::chrono::microseconds(300));
    return serverRef->Echo(id, data, length);
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());

  std::vector<std::string> expected(kClients);
  std::vector<std::string> echoed(kClients);
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    for (int m = 0; m < kMessages; ++m) expected[c] += "client " + std::to_string(c) + " message " + std::to_string(m) + "\n";
    clients.emplace_back([&, c] {
      Client client(server.Port());
      if (!client.Connected()) return;
      // Sent in pieces of uneven size, without waiting for the echo.
      const std::string& all = expected[c];
      for (size_t at = 0; at < all.size();) {
        const size_t piece = std::min<size_t>(all.size() - at, 1 + (at * 7) % 613);
        if (!client.SendAll(std::string_view(all).substr(at, piece))) return;
        at += piece;
      }
      echoed[c] = client.ReadExactly(all.size(), 20000);
    });
  }
  for (auto& thread : clients) thread.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(echoed[c], expected[c]) << "client " << c;

  ASSERT_TRUE(server.WaitForClosed(kClients, 10000));
  const auto records = server.Records();
  ASSERT_EQ(records.size(), static_cast<size_t>(kClients));
  std::vector<std::string> receivedSorted;
  for (const auto& [id, record] : records) {
    ExpectWellFormed(id, record);
    receivedSorted.push_back(record.received);
  }
  std::sort(receivedSorted.begin(), receivedSorted.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(receivedSorted, expected);
  EXPECT_EQ(server.Overlaps(), 0);
  EXPECT_LE(server.MaxConcurrent(), 4);
}

TEST(SocketCallbacks, CloseComesOnceAndLastWhenDisconnectSweepAndPeerCloseRace) {
  TestServer server(4);
  ASSERT_TRUE(server.Started());
  constexpr int kRounds = 60;
  constexpr int kPerRound = 8;
  size_t total = 0;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kPerRound; ++i) {
      clients.push_back(std::make_unique<Client>(server.Port()));
      ASSERT_TRUE(clients.back()->Connected());
      clients.back()->SendAll("ping");
    }
    total += kPerRound;
    ASSERT_TRUE(server.WaitForAccepted(total, 5000));
    const auto ids = server.AcceptedIds();
    // Three closers at once: the peer, a forced disconnect and the sweep.
    std::thread peer([&] {
      for (auto& client : clients) client->Close();
    });
    std::thread forced([&] {
      for (size_t i = ids.size() - kPerRound; i < ids.size(); ++i) HP_Server_Disconnect(server.Handle(), ids[i], 1);
    });
    std::thread sweep([&] { HP_Server_DisconnectSilenceConnections(server.Handle(), 0, 0); });
    peer.join();
    forced.join();
    sweep.join();
    ASSERT_TRUE(server.WaitForClosed(total, 5000)) << "round " << round;
  }
  ASSERT_TRUE(WaitUntil([&] { return HP_Server_GetConnectionCount(server.Handle()) == 0; }, 5000));
  // Nothing more may arrive once everything is closed.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto records = server.Records();
  EXPECT_EQ(records.size(), total);
  for (const auto& [id, record] : records) {
    ExpectWellFormed(id, record);
    EXPECT_EQ(std::count(record.events.begin(), record.events.end(), 'C'), 1);
  }
  EXPECT_EQ(server.Overlaps(), 0);
}

TEST(SocketCallbacks, NoMoreThanWorkerThreadsCallbacksRunAtOnce) {
  constexpr int kSlots = 3;
  constexpr int kClients = 12;
  TestServer server(kSlots, [](HP_CONNID, const uint8_t*, int) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return HR_OK;
  });
  ASSERT_TRUE(server.Started());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<Client>(server.Port()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  ASSERT_TRUE(server.WaitForAccepted(kClients, 5000));
  const auto start = Clock::now();
  for (auto& client : clients) client->SendAll("x");
  // Every receive is delivered, kSlots at a time: the last of four rounds
  // of 150 ms can start only after three have ended.
  ASSERT_TRUE(WaitUntil(
      [&] {
        size_t received = 0;
        for (const auto& [id, record] : server.Records()) received += std::count(record.events.begin(), record.events.end(), 'R');
        return received == kClients;
      },
      10000));
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(server.MaxConcurrent(), kSlots);
  EXPECT_GE(elapsed, 420);
  EXPECT_EQ(server.Overlaps(), 0);
}

TEST(SocketCallbacks, BlockedCallbackStopsNeitherOtherConnectionsNorItsOwnSendQueue) {
  constexpr size_t kBulk = 16u << 20;
  std::string bulk(kBulk, '\0');
  for (size_t i = 0; i < kBulk; ++i) bulk[i] = static_cast<char>('a' + (i * 31 + i / 4096) % 26);

  TestServer* serverRef = nullptr;
  std::mutex samplesMutex;
  std::vector<int> pendingSamples;
  TestServer server(2, [&](HP_CONNID id, const uint8_t* data, int length) {
    if (std::string_view(reinterpret_cast<const char*>(data), length) != "block") return serverRef->Echo(id, data, length);
    // Queue a large answer, then block for two seconds as CGI would; the
    // queue must keep draining while this thread sits here.
    if (!HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(bulk.data()), static_cast<int>(kBulk)))
      return HR_ERROR;
    for (int i = 0; i < 20; ++i) {
      int pending = -1;
      HP_Server_GetPendingDataLength(serverRef->Handle(), id, &pending);
      std::lock_guard lock(samplesMutex);
      pendingSamples.push_back(pending);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());

  Client blocked(server.Port());
  ASSERT_TRUE(blocked.Connected());
  // Several others, so that some share the blocked connection's loop.
  std::vector<std::unique_ptr<Client>> others;
  for (int i = 0; i < 4; ++i) {
    others.push_back(std::make_unique<Client>(server.Port()));
    ASSERT_TRUE(others.back()->Connected());
  }
  ASSERT_TRUE(server.WaitForAccepted(5, 5000));
  ASSERT_TRUE(blocked.SendAll("block"));
  std::string bulkReceived;
  std::thread reader([&] {
    // A slow start, so that the first samples see a full queue.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    bulkReceived = blocked.ReadExactly(kBulk, 15000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  // The others are served at once, round after round.
  int64_t slowest = 0;
  for (int i = 0; i < 10; ++i) {
    for (auto& other : others) {
      const auto start = Clock::now();
      const std::string message = "hello " + std::to_string(i);
      ASSERT_TRUE(other->SendAll(message));
      EXPECT_EQ(other->ReadExactly(message.size(), 2000), message);
      slowest = std::max<int64_t>(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
    }
  }
  // Held behind the blocked callback, the first of them would wait out most
  // of its two seconds; a busy machine delays one now and then by far less.
  EXPECT_LT(slowest, 1000);
  reader.join();
  EXPECT_TRUE(bulkReceived == bulk) << "received " << bulkReceived.size() << " of " << kBulk;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::lock_guard lock(samplesMutex);
        return pendingSamples.size() == 20;
      },
      5000));
  std::lock_guard lock(samplesMutex);
  EXPECT_GT(pendingSamples.front(), 0);
  // Drained while the callback still blocked.
  EXPECT_EQ(pendingSamples.back(), 0);
  EXPECT_TRUE(std::is_sorted(pendingSamples.rbegin(), pendingSamples.rend()));
}

TEST(SocketCallbacks, LoopKeepsServingAfterItsBlockedCallbackReturns) {
  // Two loops of two connections each: the blocked callback's neighbour
  // needs a helper; once the callback returns the helper leaves and the
  // loop's own thread must take over again, round after round.
  TestServer* serverRef = nullptr;
  TestServer server(2, [&](HP_CONNID id, const uint8_t* data, int length) {
    if (std::string_view(reinterpret_cast<const char*>(data), length) == "block")
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return serverRef->Echo(id, data, length);
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<Client>(server.Port()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  // How many "after" answers took 100 ms or more. A loop left without its
  // thread once the helper leaves shows in every round; a busy machine may
  // delay a message now and then.
  int slowAfters = 0;
  for (int round = 0; round < 6; ++round) {
    Client& blocker = *clients[round % clients.size()];
    ASSERT_TRUE(blocker.SendAll("block"));
    for (size_t i = 0; i < clients.size(); ++i) {
      if (clients[i].get() == &blocker) continue;
      ASSERT_TRUE(clients[i]->SendAll("quick"));
      EXPECT_EQ(clients[i]->ReadExactly(5, 1000), "quick") << "round " << round << " client " << i;
    }
    EXPECT_EQ(blocker.ReadExactly(5, 2000), "block") << "round " << round;
    // Long enough for the helper to leave.
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    for (size_t i = 0; i < clients.size(); ++i) {
      const auto start = Clock::now();
      ASSERT_TRUE(clients[i]->SendAll("after"));
      EXPECT_EQ(clients[i]->ReadExactly(5, 1000), "after") << "round " << round << " client " << i;
      if (std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count() >= 100) ++slowAfters;
    }
  }
  EXPECT_LE(slowAfters, 3) << "of 24";
}

TEST(SocketCallbacks, QueueDrainsWhileEveryCallbackSlotIsBlocked) {
  constexpr size_t kBulk = 6u << 20;
  const std::string bulk(kBulk, 'z');
  TestServer* serverRef = nullptr;
  std::atomic<bool> release{false};
  TestServer server(1, [&](HP_CONNID id, const uint8_t*, int) {
    HP_Server_Send(serverRef->Handle(), id, reinterpret_cast<const uint8_t*>(bulk.data()), static_cast<int>(kBulk));
    WaitUntil([&] { return release.load(); }, 10000);
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.SendAll("go"));
  // The only slot blocks until every byte arrived: the flush cannot need it.
  const std::string received = client.ReadExactly(kBulk, 8000);
  release.store(true);
  EXPECT_EQ(received.size(), kBulk);
  EXPECT_TRUE(received == bulk);
}


// One message at a time, each answered before the next is sent: the way a
// keep-alive client talks. A read that fills its buffer must be followed by
// another at once (the rest is already in the socket and no new readiness
// will come for it), so sizes around the small first read and the large
// later ones are the ones that would hang.
TEST(SocketCallbacks, MessagesOfEverySizeAroundTheReadBuffersAreEchoedOneAtATime) {
  TestServer* serverRef = nullptr;
  TestServer server(2, [&serverRef](HP_CONNID id, const uint8_t* data, int length) {
    return serverRef->Echo(id, data, length);
  });
  serverRef = &server;
  server.KeepReceived(false);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.Connected());
  std::vector<size_t> sizes;
  for (size_t size = 1; size <= 600; size += (size > 150 && size < 450) ? 1 : 37) sizes.push_back(size);
  for (size_t size : {65535u, 65536u, 65537u, 65536u + 191, 65536u + 192, 65536u + 193, 3u * 65536}) {
    sizes.push_back(size);
  }
  for (size_t i = 0; i < sizes.size(); ++i) {
    std::string message(sizes[i], static_cast<char>('a' + i % 26));
    message.front() = '<';
    message.back() = '>';
    ASSERT_TRUE(client.SendAll(message));
    ASSERT_EQ(client.ReadExactly(message.size(), 5000), message) << "message of " << sizes[i] << " bytes";
  }
}

}  // namespace
}  // namespace sockettest
