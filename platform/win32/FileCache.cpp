// The file cache on Windows, for now without change notifications: nothing
// is kept and every look-up reads the facts afresh, which is always exact.
// ReadDirectoryChangesW behind the same interface is the way to keep
// entries here.
#include "platform/FileCache.h"

namespace zevra::platform {

struct FileCache::State {
  FileCacheLimits limits;
};

FileCache::FileCache(FileCacheLimits limits) : state_(std::make_unique<State>()) { state_->limits = limits; }
FileCache::~FileCache() = default;
bool FileCache::Active() const { return false; }
FileCacheRef FileCache::Open(const std::string& path) { return LookAtFile(path, state_->limits.smallFile); }
size_t FileCache::Count() const { return 0; }
int64_t FileCache::Bytes() const { return 0; }
uint64_t FileCache::Overflows() const { return 0; }
void FileCache::Clear() {}

FileCache& SharedFileCache() {
  static FileCache cache;
  return cache;
}

}  // namespace zevra::platform
