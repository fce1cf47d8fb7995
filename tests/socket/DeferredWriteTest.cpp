// Deferred file writes: bytes a callback defers reach the file before the
// loop waits for its next event (so a client that got its answer finds the
// line at once), in the order each connection deferred them, and none is
// left behind when the server stops. Outside a callback nothing is kept.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SocketTestSupport.h"
#include "platform/File.h"

namespace sockettest {
namespace {

class DeferredFile {
 public:
  DeferredFile() {
    path_ = std::filesystem::temp_directory_path() /
            ("zevra-deferred-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".log");
    std::filesystem::remove(path_);
    file_ = zevra::platform::File::OpenAppend(path_.string());
  }
  ~DeferredFile() {
    file_.Close();
    std::filesystem::remove(path_);
  }
  intptr_t Handle() const { return zevra::platform::NativeFileToInteger(file_.Handle()); }
  std::string Text() const {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  std::filesystem::path path_;
  zevra::platform::File file_;
};

bool Defer(HP_TcpServer server, intptr_t file, const std::string& text) {
  return HP_Server_DeferFileWrite(server, file, reinterpret_cast<const uint8_t*>(text.data()),
                                  static_cast<int>(text.size())) != 0;
}

TEST(SocketDeferredWrite, LinesLandBeforeTheNextWaitInEachConnectionsOrder) {
  DeferredFile file;
  TestServer* serverRef = nullptr;
  std::atomic<int> refused{0};
  TestServer server(4, [&](HP_CONNID id, const uint8_t* data, int length) {
    // Every message is one line: deferred first, then echoed, as a server
    // logs an answer right after it queued it.
    const std::string message(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    if (!Defer(serverRef->Handle(), file.Handle(), message + "\n")) refused.fetch_add(1);
    return serverRef->Echo(id, data, length);
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  ASSERT_TRUE(file.Handle() >= 0);
  // Outside a callback the library keeps nothing: the caller writes.
  EXPECT_FALSE(Defer(server.Handle(), file.Handle(), "outside\n"));

  // One client, one message at a time: each line is there as soon as its
  // echo is back (a line that waited for a timer or a full buffer would not
  // be), within a bound far below any such timer.
  {
    Client client(server.Port());
    ASSERT_TRUE(client.Connected());
    for (int i = 0; i < 20; ++i) {
      std::string message = "solo-";
      message += std::to_string(100 + i);
      ASSERT_TRUE(client.SendAll(message));
      ASSERT_EQ(client.ReadExactly(message.size(), 5000), message);
      EXPECT_TRUE(WaitUntil([&] { return file.Text().find(message + "\n") != std::string::npos; }, 200))
          << message;
    }
  }

  // Several clients at once, many turns: every line whole, each client's in
  // its own order.
  constexpr int kClients = 6;
  constexpr int kRounds = 60;
  std::vector<std::thread> clients;
  std::atomic<int> failures{0};
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      Client client(server.Port());
      if (!client.Connected()) {
        failures.fetch_add(1);
        return;
      }
      for (int r = 0; r < kRounds; ++r) {
        std::string message = "c";
        message += std::to_string(c);
        message += '-';
        message += std::to_string(1000 + r);
        if (!client.SendAll(message) || client.ReadExactly(message.size(), 5000) != message) {
          failures.fetch_add(1);
          return;
        }
      }
    });
  }
  for (auto& t : clients) t.join();
  ASSERT_EQ(failures.load(), 0);
  EXPECT_EQ(refused.load(), 0);
  std::string text;
  ASSERT_TRUE(WaitUntil(
      [&] {
        text = file.Text();
        return text.size() == 20 * 9 + kClients * kRounds * 8;
      },
      2000))
      << text.size();
  std::vector<int> last(kClients, -1);
  std::istringstream lines(text);
  std::string line;
  int seen = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("solo-", 0) == 0) continue;
    ASSERT_EQ(line.size(), 7u) << line;
    const int c = line[1] - '0';
    const int r = std::stoi(line.substr(3)) - 1000;
    ASSERT_TRUE(c >= 0 && c < kClients) << line;
    EXPECT_EQ(r, last[c] + 1) << line;
    last[c] = r;
    ++seen;
  }
  EXPECT_EQ(seen, kClients * kRounds);
}

TEST(SocketDeferredWrite, StopWritesWhatACallbackDeferredLast) {
  DeferredFile file;
  TestServer* serverRef = nullptr;
  std::atomic<bool> deferred{false};
  TestServer server(2, [&](HP_CONNID, const uint8_t*, int length) {
    if (length == 0) return HR_OK;
    if (Defer(serverRef->Handle(), file.Handle(), "last words\n")) deferred.store(true);
    // Still inside the callback when the stop begins.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return HR_OK;
  });
  serverRef = &server;
  ASSERT_TRUE(server.Started());
  Client client(server.Port());
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.SendAll("x"));
  ASSERT_TRUE(WaitUntil([&] { return deferred.load(); }, 5000));
  ASSERT_TRUE(HP_Server_Stop(server.Handle()));
  EXPECT_EQ(file.Text(), "last words\n");
}

}  // namespace
}  // namespace sockettest
