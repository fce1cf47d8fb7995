#include "socket/ConnectionTable.h"

#include "socket/Connection.h"

namespace zevra::socket {

void ConnectionTable::Add(const ConnectionPtr& connection) {
  Shard& shard = ShardOf(connection->id);
  {
    std::lock_guard lock(shard.mutex);
    shard.connections.emplace(connection->id, connection);
  }
  count_.fetch_add(1);
}

void ConnectionTable::Remove(HP_CONNID id) {
  Shard& shard = ShardOf(id);
  ConnectionPtr last;  // released outside the shard's lock
  {
    std::lock_guard lock(shard.mutex);
    auto found = shard.connections.find(id);
    if (found == shard.connections.end()) return;
    last = std::move(found->second);
    shard.connections.erase(found);
  }
  if (count_.fetch_sub(1) == 1) {
    std::lock_guard lock(emptyMutex_);
    empty_.notify_all();
  }
}

ConnectionPtr ConnectionTable::Find(HP_CONNID id) {
  Shard& shard = ShardOf(id);
  std::lock_guard lock(shard.mutex);
  auto found = shard.connections.find(id);
  return found == shard.connections.end() ? nullptr : found->second;
}

void ConnectionTable::WaitEmpty() {
  std::unique_lock lock(emptyMutex_);
  empty_.wait(lock, [this] { return count_.load() == 0; });
}

}  // namespace zevra::socket
