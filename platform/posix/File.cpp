#include "platform/File.h"

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/Attributes.h"

namespace zevra::platform {
namespace {

File OpenWith(const std::string& path, int flags) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  return File(fd);
}

FileFacts FactsFromStat(const struct stat& st) {
  FileFacts facts;
  facts.exists = true;
  facts.isDirectory = S_ISDIR(st.st_mode);
  facts.isRegular = S_ISREG(st.st_mode);
  facts.attributes = AttributesFromMode(st.st_mode);
  facts.size = st.st_size;
  facts.lastWriteTime = st.st_mtim.tv_sec;
  return facts;
}

}  // namespace

File File::OpenRead(const std::string& path) { return OpenWith(path, O_RDONLY); }
File File::OpenReadRegular(const std::string& path) {
  FileFacts facts;
  return OpenReadRegular(path, facts);
}

File File::OpenReadRegular(const std::string& path, FileFacts& facts) {
  // O_NONBLOCK so that opening a FIFO without a writer returns at once. It
  // means nothing for reads of a regular file, so it is left set.
  facts = FileFacts{};
  File file = OpenWith(path, O_RDONLY | O_NONBLOCK);
  if (!file) return file;
  struct stat st;
  if (::fstat(file.Handle(), &st) != 0 || !S_ISREG(st.st_mode)) {
    file.Close();
    errno = EACCES;
    return file;
  }
  facts = FactsFromStat(st);
  return file;
}
File File::OpenWithFacts(const std::string& path, FileFacts& facts) {
  facts = FileFacts{};
  File file = OpenWith(path, O_RDONLY | O_NONBLOCK);
  if (!file) {
    const int error = errno;
    if (error != ENOENT && error != ENOTDIR) {
      struct stat st;
      if (::stat(path.c_str(), &st) == 0) facts = FactsFromStat(st);
    }
    errno = error;
    return file;
  }
  struct stat st;
  if (::fstat(file.Handle(), &st) != 0) {
    const int error = errno;
    file.Close();
    errno = error;
    return file;
  }
  facts = FactsFromStat(st);
  return file;
}

File File::OpenAppend(const std::string& path) {
  return OpenWith(path, O_WRONLY | O_CREAT | O_APPEND);
}
File File::CreateAlways(const std::string& path) {
  return OpenWith(path, O_RDWR | O_CREAT | O_TRUNC);
}
File File::CreateNew(const std::string& path) {
  return OpenWith(path, O_RDWR | O_CREAT | O_EXCL);
}

void File::Close() {
  if (handle_ != kNoFile) {
    int saved = errno;
    ::close(handle_);
    errno = saved;
    handle_ = kNoFile;
  }
}

int64_t File::Read(void* buffer, size_t length) {
  ssize_t n;
  do {
    n = ::read(handle_, buffer, length);
  } while (n < 0 && errno == EINTR);
  return n;
}

int64_t File::ReadAt(void* buffer, size_t length, int64_t offset) const {
  ssize_t n;
  do {
    n = ::pread(handle_, buffer, length, offset);
  } while (n < 0 && errno == EINTR);
  return n;
}

bool File::WriteAll(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(handle_, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool File::SeekToEnd() { return ::lseek(handle_, 0, SEEK_END) >= 0; }

int64_t File::Size() const {
  struct stat st;
  if (::fstat(handle_, &st) != 0) return -1;
  return st.st_size;
}

int64_t File::LastWriteTime() const {
  struct stat st;
  if (::fstat(handle_, &st) != 0) return -1;
  return st.st_mtim.tv_sec;
}

int64_t SendToSocketWithMoreToCome(intptr_t socket, const void* data, size_t length) {
  for (;;) {
    const ssize_t n = ::send(static_cast<int>(socket), data, length, MSG_MORE | MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool IsWouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK; }

File DuplicateFile(NativeFile file) {
  if (file == kNoFile) return File();
  return File(::fcntl(file, F_DUPFD_CLOEXEC, 0));
}

FileFacts FactsOf(const File& file) {
  struct stat st;
  if (!file.IsOpen() || ::fstat(file.Handle(), &st) != 0) return FileFacts{};
  return FactsFromStat(st);
}

size_t SendFileLargestCall() { return 0x7ffff000; }

SendFileStatus SendFileToSocket(intptr_t socket, NativeFile file, int64_t offset, size_t count, size_t& sent) {
  sent = 0;
  off_t position = static_cast<off_t>(offset);
  // A peer that has gone makes sendfile raise SIGPIPE; it has no flag
  // against that as send has. The signal is blocked for good in the
  // calling thread the first time (a guard per call would cost four system
  // calls per answer); raised again, it stays pending and blocked there,
  // and a child started from the thread begins with a clean mask and no
  // pending signals anyway.
  thread_local bool pipeBlocked = false;
  if (!pipeBlocked) {
    sigset_t pipeSet;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pipeBlocked = pthread_sigmask(SIG_BLOCK, &pipeSet, nullptr) == 0;
  }
  for (;;) {
    const ssize_t n = ::sendfile(static_cast<int>(socket), file, &position, count);
    if (n > 0) {
      sent = static_cast<size_t>(n);
      return SendFileStatus::kSent;
    }
    if (n == 0) return count == 0 ? SendFileStatus::kSent : SendFileStatus::kEndOfFile;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return SendFileStatus::kWouldBlock;
    return SendFileStatus::kFailed;
  }
}

FileFacts QueryFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileFacts{};
  return FactsFromStat(st);
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

MappedView MappedView::Map(const File& file, int64_t offset, size_t length) {
  MappedView view;
  if (length == 0) {
    view.valid_ = true;
    return view;
  }
  void* p = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, file.Handle(), offset);
  if (p == MAP_FAILED) return view;
  view.data_ = p;
  view.length_ = length;
  view.valid_ = true;
  return view;
}

void MappedView::Unmap() {
  if (data_ != nullptr) {
    ::munmap(data_, length_);
  }
  data_ = nullptr;
  length_ = 0;
  valid_ = false;
}

}  // namespace zevra::platform
