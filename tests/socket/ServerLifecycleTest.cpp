// The server object's life and its connections as a whole: start on a port
// in use, addresses, the silence sweep, stop, and many idle connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"

namespace sockettest {
namespace {

TEST(SocketServer, StartOnAPortInUseFailsWithTheSystemText) {
  TestServer first(2);
  ASSERT_TRUE(first.Started());

  HP_TcpServerListener listener = Create_HP_TcpServerListener();
  HP_TcpServer second = Create_HP_TcpServer(listener);
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(HP_Server_GetLastErrorDesc(second), "");
  EXPECT_FALSE(HP_Server_Start(second, "127.0.0.1", first.Port()));
  EXPECT_STREQ(HP_Server_GetLastErrorDesc(second), std::strerror(EADDRINUSE));
  EXPECT_STREQ(HP_Server_GetLastErrorDesc(second), "Address already in use");
  EXPECT_FALSE(HP_Server_Stop(second));
  // The first server is untouched and still answers.
  Client client(first.Port());
  ASSERT_TRUE(client.SendAll("still here"));
  EXPECT_EQ(client.ReadExactly(10, 2000), "still here");
  Destroy_HP_TcpServer(second);
  Destroy_HP_TcpServerListener(listener);
}

TEST(SocketServer, ReportsListenAndRemoteAddresses) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  char text[16];
  int length = sizeof text;
  uint16_t port = 0;
  ASSERT_TRUE(HP_Server_GetListenAddress(server.Handle(), text, &length, &port));
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(length, 9);
  EXPECT_EQ(port, server.Port());

  Client client(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_CONNID id = server.AcceptedIds().front();
  std::memset(text, 'x', sizeof text);
  length = sizeof text;
  port = 0;
  ASSERT_TRUE(HP_Server_GetRemoteAddress(server.Handle(), id, text, &length, &port));
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(length, 9);
  EXPECT_EQ(port, client.LocalPort());
  // A buffer without room for the terminator is refused and told the size.
  length = 9;
  EXPECT_FALSE(HP_Server_GetRemoteAddress(server.Handle(), id, text, &length, &port));
  EXPECT_EQ(length, 10);
  length = sizeof text;
  EXPECT_FALSE(HP_Server_GetRemoteAddress(server.Handle(), id + 1000, text, &length, &port));
}

TEST(SocketServer, ListensOnEveryIPv4AddressWhenAsked) {
  HP_TcpServerListener listener = Create_HP_TcpServerListener();
  HP_TcpServer server = Create_HP_TcpServer(listener);
  ASSERT_TRUE(HP_Server_Start(server, "0.0.0.0", 0));
  char text[16];
  int length = sizeof text;
  uint16_t port = 0;
  ASSERT_TRUE(HP_Server_GetListenAddress(server, text, &length, &port));
  EXPECT_STREQ(text, "0.0.0.0");
  EXPECT_NE(port, 0);
  EXPECT_FALSE(HP_Server_Start(server, "0.0.0.0", 0));  // already running
  EXPECT_TRUE(HP_Server_Stop(server));
  Destroy_HP_TcpServer(server);
  Destroy_HP_TcpServerListener(listener);
}

TEST(SocketServer, SilenceSweepClosesIdleConnectionsOnly) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client idle(server.Port());
  Client active(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(2, 5000));
  const auto start = Clock::now();
  std::atomic<bool> idleClosed{false};
  std::atomic<int64_t> idleClosedAfterMs{0};
  std::thread watcher([&] {
    if (idle.WaitClosed(5000)) {
      idleClosedAfterMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      idleClosed = true;
    }
  });
  // The sweeper's rhythm, faster: every 100 ms close what was silent 500 ms.
  bool activeAlive = true;
  for (int tick = 0; tick < 15; ++tick) {
    HP_Server_DisconnectSilenceConnections(server.Handle(), 500, 0);
    const std::string message = "tick " + std::to_string(tick);
    activeAlive = activeAlive && active.SendAll(message) && active.ReadExactly(message.size(), 1000) == message;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  watcher.join();
  EXPECT_TRUE(activeAlive);
  EXPECT_TRUE(idleClosed);
  EXPECT_GE(idleClosedAfterMs.load(), 450);
  EXPECT_LE(idleClosedAfterMs.load(), 1200);
  EXPECT_EQ(HP_Server_GetConnectionCount(server.Handle()), 1u);
}

TEST(SocketServer, StopClosesEveryConnectionThenShutsDown) {
  auto server = std::make_unique<TestServer>(2);
  ASSERT_TRUE(server->Started());
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 5; ++i) clients.push_back(std::make_unique<Client>(server->Port()));
  ASSERT_TRUE(server->WaitForAccepted(5, 5000));
  EXPECT_EQ(HP_Server_GetConnectionCount(server->Handle()), 5u);
  ASSERT_TRUE(HP_Server_Stop(server->Handle()));
  EXPECT_EQ(server->ClosedCount(), 5u);
  EXPECT_EQ(server->Shutdowns(), 1);
  EXPECT_EQ(HP_Server_GetConnectionCount(server->Handle()), 0u);
  for (auto& client : clients) EXPECT_TRUE(client->WaitClosed(2000));
  EXPECT_FALSE(HP_Server_Stop(server->Handle()));
  // A stopped server can listen again.
  ASSERT_TRUE(HP_Server_Start(server->Handle(), "127.0.0.1", 0));
  char text[16];
  int length = sizeof text;
  uint16_t port = 0;
  ASSERT_TRUE(HP_Server_GetListenAddress(server->Handle(), text, &length, &port));
  Client again(port);
  ASSERT_TRUE(again.SendAll("again"));
  EXPECT_EQ(again.ReadExactly(5, 2000), "again");
}

TEST(SocketServer, AcceptedSocketsAreNotInheritedByChildProcesses) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  const HP_SOCKET socket = server.Records().begin()->second.socket;
  ASSERT_NE(socket, 0u);
  const int flags = ::fcntl(static_cast<int>(socket), F_GETFD);
  ASSERT_GE(flags, 0);
  EXPECT_NE(flags & FD_CLOEXEC, 0);
}

TEST(SocketServer, OutOfDescriptorsInAcceptBacksOffAndRecovers) {
  TestServer server(2);
  ASSERT_TRUE(server.Started());
  // The clients' sockets exist first; then every free descriptor is taken,
  // so that the server's accept fails with EMFILE.
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<int> fillers;
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const rlimit saved = limit;
  limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 4096);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(server.Port()));
    ASSERT_TRUE(clients.back()->Connected());
  }
  // The connections are in the backlog or accepted already; exhaust the
  // table and connect one more, which the server cannot take now.
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(probe, 0);
  for (;;) {
    const int filler = ::dup(probe);
    if (filler < 0) break;
    fillers.push_back(filler);
  }
  ASSERT_FALSE(fillers.empty());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server.Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  rusage before{};
  ::getrusage(RUSAGE_SELF, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  rusage after{};
  ::getrusage(RUSAGE_SELF, &after);
  const auto cpuMs = [](const rusage& usage) {
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
  };
  const size_t acceptedWhileFull = server.AcceptedIds().size();
  const std::string errorWhileFull = HP_Server_GetLastErrorDesc(server.Handle());
  for (int filler : fillers) ::close(filler);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  // No busy retry while the table was full.
  EXPECT_LT(cpuMs(after) - cpuMs(before), 150.0);
  EXPECT_LE(acceptedWhileFull, 3u);
  EXPECT_EQ(errorWhileFull, std::strerror(EMFILE));
  // Once descriptors are free again, the waiting connection is taken.
  EXPECT_TRUE(server.WaitForAccepted(4, 3000));
  const char message[] = "back";
  ASSERT_EQ(::send(probe, message, 4, MSG_NOSIGNAL), 4);
  char echoed[4] = {};
  timeval wait{3, 0};
  ::setsockopt(probe, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  EXPECT_EQ(::recv(probe, echoed, sizeof echoed, MSG_WAITALL), 4);
  EXPECT_EQ(std::string(echoed, 4), "back");
  ::close(probe);
}

// Client descriptors live in a child process: client and server sides then
// each need one descriptor per connection from their own table, which keeps
// the test within an ordinary descriptor limit. The child only makes system
// calls into memory prepared before the fork.
TEST(SocketServer, HoldsTenThousandIdleConnections) {
  constexpr int kConnections = 10000;
  if (!RaiseDescriptorLimit(kConnections + 256)) {
    GTEST_SKIP() << "RLIMIT_NOFILE cannot be raised to " << kConnections + 256 << " in this process";
  }
  TestServer server(4);
  ASSERT_TRUE(server.Started());
  server.KeepReceived(false);
  {
    // The pool's first allocations happen before the baseline.
    Client warm(server.Port());
    ASSERT_TRUE(server.WaitForAccepted(1, 5000));
  }
  ASSERT_TRUE(server.WaitForClosed(1, 5000));
  const uint64_t before = ResidentBytes();

  int status[2];
  int control[2];
  ASSERT_EQ(::pipe2(status, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(control, O_CLOEXEC), 0);
  std::vector<int> descriptors(kConnections, -1);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(server.Port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(status[0]);
    ::close(control[1]);
    rlimit limit{kConnections + 256, kConnections + 256};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    char verdict = 'C';
    for (int i = 0; i < kConnections && verdict == 'C'; ++i) {
      descriptors[i] = ::socket(AF_INET, SOCK_STREAM, 0);
      if (descriptors[i] < 0 || ::connect(descriptors[i], reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        verdict = 'F';
    }
    (void)!::write(status[1], &verdict, 1);
    char go = 0;
    if (::read(control[0], &go, 1) == 1 && go == 'E') {
      // Some of them, first to last, still echo.
      verdict = 'Y';
      for (int i : {0, kConnections / 2, kConnections - 1}) {
        timeval wait{5, 0};
        ::setsockopt(descriptors[i], SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char echoed[5];
        size_t got = 0;
        if (::send(descriptors[i], "alive", 5, MSG_NOSIGNAL) != 5) verdict = 'N';
        while (verdict == 'Y' && got < 5) {
          const ssize_t n = ::recv(descriptors[i], echoed + got, 5 - got, 0);
          if (n <= 0) break;
          got += static_cast<size_t>(n);
        }
        if (got != 5 || std::memcmp(echoed, "alive", 5) != 0) verdict = 'N';
      }
      (void)!::write(status[1], &verdict, 1);
      (void)!::read(control[0], &go, 1);  // until the parent lets go
    }
    ::_exit(0);
  }
  ::close(status[1]);
  ::close(control[0]);
  auto readVerdict = [&](int timeoutMs) {
    pollfd entry{status[0], POLLIN, 0};
    char verdict = 0;
    if (::poll(&entry, 1, timeoutMs) == 1 && ::read(status[0], &verdict, 1) == 1) return verdict;
    return '?';
  };
  const char connected = readVerdict(120000);
  bool allCounted = false;
  uint64_t after = 0;
  if (connected == 'C') {
    allCounted = WaitUntil([&] { return HP_Server_GetConnectionCount(server.Handle()) == kConnections; }, 60000);
    after = ResidentBytes();
  }
  const char go = 'E';
  (void)!::write(control[1], &go, 1);
  const char echoed = connected == 'C' ? readVerdict(30000) : '?';
  ::close(control[1]);
  ::close(status[0]);
  int childStatus = 0;
  ::waitpid(child, &childStatus, 0);

  ASSERT_EQ(connected, 'C');
  ASSERT_TRUE(allCounted) << HP_Server_GetConnectionCount(server.Handle());
  EXPECT_EQ(echoed, 'Y');
  // The test's own records (a map node and a short string per connection)
  // are counted too, so this is an upper bound of the library's share.
  const double perConnection = static_cast<double>(after - before) / kConnections;
  std::printf("resident memory per idle connection: %.0f bytes\n", perConnection);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  EXPECT_LT(perConnection, 16384);
#else
  EXPECT_LT(perConnection, 2048);
#endif
  EXPECT_TRUE(WaitUntil([&] { return HP_Server_GetConnectionCount(server.Handle()) == 0; }, 60000));
  EXPECT_EQ(server.ClosedCount(), static_cast<size_t>(kConnections) + 1);
}

}  // namespace
}  // namespace sockettest
