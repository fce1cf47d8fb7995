// Requests per second of the socket library: an echo server on the library,
// driven over loopback by one client thread that keeps one request in
// flight per connection (1 and 64 connections).
//
//   zevra_socket_bench [seconds] [request bytes] [worker threads] [inline|hop]
//
// Two server variants run one after the other: "inline" answers inside
// OnReceive on the thread that read the request (what the library does for
// the server), "hop" hands every request to a separate thread pool first,
// which is what a design with callbacks on threads of their own would pay.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "socket/HPSocket.h"

namespace {

using Clock = std::chrono::steady_clock;

HP_TcpServer g_server = nullptr;
std::atomic<bool> g_hop{false};

// The hop variant's hand-off: a queue and a pool of threads that send.
struct Job {
  HP_CONNID id;
  std::string bytes;
};
std::mutex g_jobsMutex;
std::condition_variable g_jobsReady;
std::deque<Job> g_jobs;
bool g_jobsDone = false;

void HopWorker() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(g_jobsMutex);
      g_jobsReady.wait(lock, [] { return g_jobsDone || !g_jobs.empty(); });
      if (g_jobs.empty()) return;
      job = std::move(g_jobs.front());
      g_jobs.pop_front();
    }
    HP_Server_Send(g_server, job.id, reinterpret_cast<const uint8_t*>(job.bytes.data()), static_cast<int>(job.bytes.size()));
  }
}

En_HP_HandleResult HP_CALL OnReceive(HP_CONNID id, const uint8_t* data, int length) {
  if (!g_hop) {
    HP_Server_Send(g_server, id, data, length);
    return HR_OK;
  }
  {
    std::lock_guard lock(g_jobsMutex);
    g_jobs.push_back(Job{id, std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(length))});
  }
  g_jobsReady.notify_one();
  return HR_OK;
}

int Connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

// One request in flight per connection; returns completed requests/s. The
// client waits with epoll, so that its own cost stays flat with 64
// connections.
double Drive(uint16_t port, int connections, double seconds, size_t requestBytes) {
  std::vector<int> fds;
  for (int i = 0; i < connections; ++i) fds.push_back(Connect(port));
  const std::string request(requestBytes, 'q');
  std::vector<size_t> received(fds.size(), 0);
  const int poller = ::epoll_create1(EPOLL_CLOEXEC);
  for (size_t i = 0; i < fds.size(); ++i) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = i;
    ::epoll_ctl(poller, EPOLL_CTL_ADD, fds[i], &event);
    if (::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) std::exit(1);
  }
  char buffer[65536];
  epoll_event events[64];
  uint64_t completed = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const int ready = ::epoll_wait(poller, events, 64, 1000);
    if (ready <= 0) break;
    for (int e = 0; e < ready; ++e) {
      const size_t i = events[e].data.u64;
      const ssize_t got = ::recv(fds[i], buffer, sizeof buffer, 0);
      if (got <= 0) std::exit(1);
      received[i] += static_cast<size_t>(got);
      if (received[i] >= request.size()) {
        received[i] -= request.size();
        ++completed;
        ::send(fds[i], request.data(), request.size(), MSG_NOSIGNAL);
      }
    }
  }
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  ::close(poller);
  for (int fd : fds) ::close(fd);
  return static_cast<double>(completed) / elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  const size_t requestBytes = argc > 2 ? static_cast<size_t>(std::atoi(argv[2])) : 128;
  const uint32_t workers = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 8;
  const std::string only = argc > 4 ? argv[4] : "";

  HP_TcpServerListener listener = Create_HP_TcpServerListener();
  HP_Set_FN_Server_OnReceive(listener, &OnReceive);
  g_server = Create_HP_TcpServer(listener);
  HP_Server_SetWorkerThreadCount(g_server, workers);
  if (!HP_Server_Start(g_server, "127.0.0.1", 0)) {
    std::fprintf(stderr, "start: %s\n", HP_Server_GetLastErrorDesc(g_server));
    return 1;
  }
  char address[16];
  int length = sizeof address;
  uint16_t port = 0;
  HP_Server_GetListenAddress(g_server, address, &length, &port);

  std::printf("echo of %zu-byte requests, %u worker threads, %.1f s per run\n", requestBytes, workers, seconds);
  for (bool hop : {false, true}) {
    if (!only.empty() && only != (hop ? "hop" : "inline")) continue;
    g_hop = hop;
    std::vector<std::thread> pool;
    if (hop) {
      g_jobsDone = false;
      for (uint32_t i = 0; i < workers; ++i) pool.emplace_back(HopWorker);
    }
    for (int connections : {1, 64}) {
      const double rate = Drive(port, connections, seconds, requestBytes);
      std::printf("%-6s %2d connection%s %10.0f requests/s  %6.2f us/request\n", hop ? "hop" : "inline", connections,
                  connections == 1 ? " " : "s", rate, 1e6 / rate);
      std::fflush(stdout);
    }
    if (hop) {
      {
        std::lock_guard lock(g_jobsMutex);
        g_jobsDone = true;
      }
      g_jobsReady.notify_all();
      for (auto& thread : pool) thread.join();
    }
  }
  HP_Server_Stop(g_server);
  Destroy_HP_TcpServer(g_server);
  Destroy_HP_TcpServerListener(listener);
  return 0;
}
