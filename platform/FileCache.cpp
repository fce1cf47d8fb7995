// The part of the file cache that is the same on every OS: one fresh look
// at a path.
#include "platform/FileCache.h"

#include "platform/System.h"

namespace zevra::platform {

FileCacheRef LookAtFile(const std::string& path, int64_t smallFile) {
  auto entry = std::make_shared<FileCacheEntry>();
  entry->path = path;
  entry->file = File::OpenWithFacts(path, entry->facts);
  entry->openError = entry->file ? 0 : LastErrorCode();
  if (!entry->file) return entry;
  if (!entry->facts.isRegular) {
    // A folder or a device is only looked at, never read: no descriptor kept.
    entry->file.Close();
    return entry;
  }
  if (entry->facts.size <= smallFile) {
    std::string bytes(static_cast<size_t>(entry->facts.size), '\0');
    int64_t got = 0;
    while (got < entry->facts.size) {
      const int64_t n = entry->file.ReadAt(bytes.data() + got, static_cast<size_t>(entry->facts.size - got), got);
      if (n <= 0) break;
      got += n;
    }
    // A file that shrank while it was read keeps no bytes: the reader of the
    // entry goes to the file and finds out for itself.
    if (got == entry->facts.size) {
      entry->bytes = std::move(bytes);
      entry->hasBytes = true;
    }
  }
  return entry;
}

}  // namespace zevra::platform
