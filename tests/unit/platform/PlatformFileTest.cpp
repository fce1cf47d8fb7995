// The platform's file calls that static delivery leans on: one open that
// tells what a path is, a second handle that outlives the first, and the
// in-kernel copy from a file to a socket with its end-of-file and
// broken-pipe outcomes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "tests/support/TempDirectory.h"
#include "platform/File.h"
#include "platform/System.h"

namespace zevra {
namespace {

using testfiles::TempDirectory;

TEST(OpenWithFacts, TellsWhatThePathIsFromOneOpen) {
  TempDirectory dir;
  const std::string file = dir.Write("a.txt", "12345");
  const std::string folder = dir.MakeDirectory("sub");
  const std::string fifo = dir.Path("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

  platform::FileFacts facts;
  platform::File opened = platform::File::OpenWithFacts(file, facts);
  EXPECT_TRUE(opened.IsOpen());
  EXPECT_TRUE(facts.exists && facts.isRegular && !facts.isDirectory);
  EXPECT_EQ(facts.size, 5);
  EXPECT_EQ(facts.lastWriteTime, platform::QueryFile(file).lastWriteTime);
  char bytes[8] = {};
  EXPECT_EQ(opened.ReadAt(bytes, sizeof bytes, 1), 4);
  EXPECT_EQ(std::string(bytes), "2345");

  opened = platform::File::OpenWithFacts(folder, facts);
  EXPECT_TRUE(facts.exists && facts.isDirectory && !facts.isRegular);

  // A FIFO without a writer: opened at once, never waited on.
  opened = platform::File::OpenWithFacts(fifo, facts);
  EXPECT_TRUE(facts.exists && !facts.isRegular && !facts.isDirectory);

  opened = platform::File::OpenWithFacts(dir.Path("missing.txt"), facts);
  EXPECT_FALSE(opened.IsOpen());
  EXPECT_FALSE(facts.exists);
  EXPECT_EQ(platform::LastErrorCode(), ENOENT);
  opened = platform::File::OpenWithFacts(file + "/below", facts);
  EXPECT_FALSE(facts.exists);
  EXPECT_EQ(platform::LastErrorCode(), ENOTDIR);
}

TEST(DuplicateFile, SecondHandleOutlivesTheFirst) {
  TempDirectory dir;
  const std::string path = dir.Write("d.bin", "duplicate");
  platform::File copy;
  {
    platform::File original = platform::File::OpenRead(path);
    ASSERT_TRUE(original.IsOpen());
    copy = platform::DuplicateFile(original.Handle());
  }
  ASSERT_TRUE(copy.IsOpen());
  EXPECT_EQ(platform::FactsOf(copy).size, 9);
  char bytes[4] = {};
  EXPECT_EQ(copy.ReadAt(bytes, 3, 6), 3);
  EXPECT_EQ(std::string(bytes), "ate");
  EXPECT_FALSE(platform::DuplicateFile(platform::kNoFile).IsOpen());
}

// Runs on a thread of its own: the call blocks SIGPIPE in its thread, and
// the test binary's main thread keeps its mask for the tests after it.
void SendFileToSocketChecks() {
  sigset_t before;
  pthread_sigmask(SIG_SETMASK, nullptr, &before);
  ASSERT_EQ(sigismember(&before, SIGPIPE), 0);
  TempDirectory dir;
  std::string content;
  for (int i = 0; i < 100000; ++i) content += static_cast<char>('a' + i % 23);
  const std::string path = dir.Write("s.bin", content);
  platform::File file = platform::File::OpenRead(path);
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
  ASSERT_EQ(fcntl(pair[0], F_SETFL, O_NONBLOCK), 0);

  size_t sent = 0;
  EXPECT_EQ(platform::SendFileToSocket(pair[0], file.Handle(), 777, 1000, sent), platform::SendFileStatus::kSent);
  EXPECT_EQ(sent, 1000u);
  std::string received(1000, '\0');
  ASSERT_EQ(recv(pair[1], received.data(), received.size(), MSG_WAITALL), 1000);
  EXPECT_EQ(received, content.substr(777, 1000));
  // The file's own position did not move.
  char first = 0;
  EXPECT_EQ(file.Read(&first, 1), 1);
  EXPECT_EQ(first, 'a');

  EXPECT_EQ(platform::SendFileToSocket(pair[0], file.Handle(), 100000, 10, sent), platform::SendFileStatus::kEndOfFile);
  EXPECT_EQ(sent, 0u);

  // Nobody reads: the socket fills and says so instead of blocking.
  platform::SendFileStatus status = platform::SendFileStatus::kSent;
  for (int round = 0; round < 1000 && status == platform::SendFileStatus::kSent; ++round) {
    status = platform::SendFileToSocket(pair[0], file.Handle(), 0, content.size(), sent);
  }
  EXPECT_EQ(status, platform::SendFileStatus::kWouldBlock);

  // The reader gone: a failure, and the SIGPIPE it raises cannot end the
  // process, as it is blocked in this thread now.
  close(pair[1]);
  EXPECT_EQ(platform::SendFileToSocket(pair[0], file.Handle(), 0, 10, sent), platform::SendFileStatus::kFailed);
  EXPECT_EQ(platform::LastErrorCode(), EPIPE);
  sigset_t mask;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 1);
  close(pair[0]);
}

TEST(SendFileToSocket, CopiesTheRangeAndReportsTheEnds) { std::thread(SendFileToSocketChecks).join(); }

}  // namespace
}  // namespace zevra
