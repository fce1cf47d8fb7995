#include "platform/Directory.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "platform/posix/Attributes.h"

namespace zevra::platform {

struct DirectoryReader::Handle {
  DIR* dir = nullptr;
};

void DirectoryReader::HandleCloser::operator()(Handle* handle) const {
  if (handle->dir != nullptr) {
    int saved = errno;
    ::closedir(handle->dir);
    errno = saved;
  }
  delete handle;
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept = default;
DirectoryReader& DirectoryReader::operator=(DirectoryReader&& other) noexcept = default;
DirectoryReader::~DirectoryReader() = default;

DirectoryReader DirectoryReader::Open(const std::string& path) {
  DirectoryReader reader;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return reader;
  reader.handle_.reset(new Handle{dir});
  return reader;
}

bool DirectoryReader::Next(DirectoryEntry& entry) {
  if (!handle_) return false;
  for (;;) {
    errno = 0;
    struct dirent* d = ::readdir(handle_->dir);
    if (d == nullptr) return false;
    if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
    entry = DirectoryEntry{};
    entry.name = d->d_name;
    struct stat st;
    // Links are followed: a listing shows, and a request gets, the target.
    if (::fstatat(::dirfd(handle_->dir), d->d_name, &st, 0) == 0) {
      entry.isDirectory = S_ISDIR(st.st_mode);
      entry.isRegular = S_ISREG(st.st_mode);
      entry.attributes = AttributesFromMode(st.st_mode);
      entry.size = st.st_size;
      entry.lastWriteTime = st.st_mtim.tv_sec;
    }
    return true;
  }
}

}  // namespace zevra::platform
