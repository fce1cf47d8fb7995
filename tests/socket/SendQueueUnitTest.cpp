// The send queue on its own, without sockets: order of bytes and file
// regions, what each count means, and what stays allocated.
#include <gtest/gtest.h>

#include <string>

#include "platform/File.h"
#include "platform/System.h"
#include "socket/SendQueue.h"

namespace {

using zevra::platform::File;
using zevra::socket::SendQueue;

class SendQueueUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ::testing::TempDir() + "sendqueue-" + std::to_string(zevra::platform::CurrentProcessId());
    File file = File::CreateAlways(path_);
    ASSERT_TRUE(file);
    ASSERT_TRUE(file.WriteAll("0123456789", 10));
  }
  void TearDown() override { zevra::platform::RemoveFile(path_); }

  File Region() { return File::OpenRead(path_); }
  void Append(SendQueue& queue, const std::string& bytes) {
    queue.Append(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Drains the queue the way the writer does, front to back, `step` bytes
  // at a time; file bytes are read from the region's own handle.
  static std::string Drain(SendQueue& queue, size_t step) {
    std::string out;
    for (int guard = 0; guard < 10000 && queue.Pending() > 0; ++guard) {
      if (queue.FrontLength() > 0) {
        const size_t take = std::min(step, queue.FrontLength());
        out.append(reinterpret_cast<const char*>(queue.Data()), take);
        queue.Consume(take);
      } else if (SendQueue::FileRegion* region = queue.FrontFile()) {
        const size_t take = std::min<size_t>(step, static_cast<size_t>(region->length));
        std::string bytes(take, '\0');
        if (region->file.ReadAt(bytes.data(), take, region->offset) != static_cast<int64_t>(take)) break;
        out += bytes;
        queue.ConsumeFile(take);
      } else {
        break;
      }
    }
    return out;
  }

  std::string path_;
};

TEST_F(SendQueueUnit, BytesAndRegionsLeaveInTheOrderTheyWereQueued) {
  for (size_t step : {1u, 3u, 64u}) {
    SendQueue queue;
    Append(queue, "head-");
    queue.AppendFile(Region(), 2, 5);  // "23456"
    Append(queue, "-mid-");
    Append(queue, "more-");
    queue.AppendFile(Region(), 0, 3);  // "012"
    queue.AppendFile(Region(), 8, 2);  // "89"
    Append(queue, "-tail");
    EXPECT_EQ(queue.Pending(), 5u + 5 + 10 + 3 + 2 + 5);
    EXPECT_EQ(queue.MemoryPending(), 5u + 10 + 5);
    EXPECT_EQ(queue.FileCount(), 3u);
    EXPECT_EQ(Drain(queue, step), "head-23456-mid-more-01289-tail") << "step " << step;
    EXPECT_EQ(queue.Pending(), 0u);
    EXPECT_EQ(queue.MemoryPending(), 0u);
    EXPECT_EQ(queue.FileCount(), 0u);
  }
}

TEST_F(SendQueueUnit, EmptyRegionsAndClosedFilesAreNotQueued) {
  SendQueue queue;
  queue.AppendFile(Region(), 4, 0);
  queue.AppendFile(File(), 0, 4);
  EXPECT_EQ(queue.FileCount(), 0u);
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(queue.FrontFile(), nullptr);
  Append(queue, "x");
  EXPECT_EQ(Drain(queue, 8), "x");
}

TEST_F(SendQueueUnit, ConsumeOfTheWrongKindChangesNothing) {
  SendQueue queue;
  Append(queue, "ab");
  queue.AppendFile(Region(), 0, 2);
  queue.ConsumeFile(2);  // bytes are at the front
  EXPECT_EQ(queue.Pending(), 4u);
  queue.Consume(2);
  ASSERT_NE(queue.FrontFile(), nullptr);
  queue.Consume(5);  // a region is at the front
  EXPECT_EQ(queue.Pending(), 2u);
  EXPECT_EQ(Drain(queue, 1), "01");
}

TEST_F(SendQueueUnit, ClearForgetsEverythingAndReleasesTheRegionsFiles) {
  SendQueue queue;
  Append(queue, std::string(200000, 'q'));
  queue.AppendFile(Region(), 0, 10);
  Append(queue, "after");
  queue.Clear();
  EXPECT_EQ(queue.Pending(), 0u);
  EXPECT_EQ(queue.MemoryPending(), 0u);
  EXPECT_EQ(queue.FileCount(), 0u);
  EXPECT_EQ(queue.FrontFile(), nullptr);
  // Usable again at once, with nothing of before left in it.
  Append(queue, "new");
  EXPECT_EQ(Drain(queue, 2), "new");
}

}  // namespace
