// The connection table: every connection from its accept to its OnClose,
// by id, in shards so that lookups from many threads rarely meet.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "socket/HPSocket.h"

namespace zevra::socket {

struct Connection;
using ConnectionPtr = std::shared_ptr<Connection>;

class ConnectionTable {
 public:
  void Add(const ConnectionPtr& connection);
  void Remove(HP_CONNID id);
  // The connection of the id, or null.
  ConnectionPtr Find(HP_CONNID id);
  uint32_t Count() const { return count_.load(std::memory_order_relaxed); }
  // The connections for which `pick` (called under a shard's lock, so it
  // must only look) says yes.
  template <typename Pick>
  std::vector<ConnectionPtr> Select(Pick pick) {
    std::vector<ConnectionPtr> chosen;
    for (auto& shard : shards_) {
      std::lock_guard lock(shard.mutex);
      for (auto& entry : shard.connections) {
        if (pick(*entry.second)) chosen.push_back(entry.second);
      }
    }
    return chosen;
  }
  // Calls `visit` for every connection, under its shard's lock: it must
  // only look (and may keep the pointer).
  template <typename Visit>
  void ForEach(Visit visit) {
    for (auto& shard : shards_) {
      std::lock_guard lock(shard.mutex);
      for (auto& entry : shard.connections) visit(entry.second);
    }
  }
  // Waits until the last connection has been removed.
  void WaitEmpty();

 private:
  struct alignas(64) Shard {
    std::mutex mutex;
    std::unordered_map<HP_CONNID, ConnectionPtr> connections;
  };
  static constexpr size_t kShardCount = 32;
  Shard& ShardOf(HP_CONNID id) { return shards_[id % kShardCount]; }

  std::array<Shard, kShardCount> shards_;
  std::atomic<uint32_t> count_{0};
  std::mutex emptyMutex_;
  std::condition_variable empty_;
};

}  // namespace zevra::socket
