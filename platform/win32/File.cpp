// Files through the wide Win32 calls. Every handle is opened with full
// sharing (read, write, delete): the logs are appended by two processes,
// and a file being served may be replaced or removed meanwhile, as on POSIX.
#include "platform/File.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/win32/Wide.h"

namespace zevra::platform {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

File OpenWith(const std::string& path, DWORD access, DWORD disposition, DWORD flags = FILE_ATTRIBUTE_NORMAL) {
  HANDLE h = ::CreateFileW(Utf8ToWide(path).c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
  return File(h);  // INVALID_HANDLE_VALUE is kNoFile
}

int64_t Join(DWORD high, DWORD low) {
  return static_cast<int64_t>((static_cast<uint64_t>(high) << 32) | low);
}

FileFacts FactsFromAttributes(DWORD attributes, DWORD sizeHigh, DWORD sizeLow, const FILETIME& written) {
  FileFacts facts;
  facts.exists = true;
  facts.attributes = attributes;
  facts.isDirectory = IsPlainDirectoryAttributes(attributes);
  facts.isRegular = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
  facts.size = Join(sizeHigh, sizeLow);
  facts.lastWriteTime = UnixSecondsOfFileTime(written);
  return facts;
}

// The facts of an open handle. A device (CON, NUL, a pipe) exists but is
// neither a file nor a folder.
FileFacts FactsOfHandle(HANDLE h) {
  if (::GetFileType(h) != FILE_TYPE_DISK) {
    FileFacts facts;
    facts.exists = true;
    return facts;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return FileFacts{};
  return FactsFromAttributes(info.dwFileAttributes, info.nFileSizeHigh, info.nFileSizeLow, info.ftLastWriteTime);
}

}  // namespace

File File::OpenRead(const std::string& path) { return OpenWith(path, GENERIC_READ, OPEN_EXISTING); }

File File::OpenReadRegular(const std::string& path) {
  FileFacts facts;
  return OpenReadRegular(path, facts);
}

File File::OpenReadRegular(const std::string& path, FileFacts& facts) {
  facts = FileFacts{};
  File file = OpenWith(path, GENERIC_READ, OPEN_EXISTING);
  if (!file) return file;
  // "Regular" is a disk file: CON, NUL and pipes are refused as the POSIX
  // layer refuses devices and FIFOs.
  FileFacts found = FactsOfHandle(file.Handle());
  if (!found.exists || !found.isRegular) {
    file.Close();
    ::SetLastError(ERROR_ACCESS_DENIED);
    return file;
  }
  facts = found;
  return file;
}

File File::OpenWithFacts(const std::string& path, FileFacts& facts) {
  facts = FileFacts{};
  // FILE_FLAG_BACKUP_SEMANTICS: a folder opens too, and tells it is one.
  File file = OpenWith(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!file) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) facts = QueryFile(path);
    ::SetLastError(error);
    return file;
  }
  facts = FactsOfHandle(file.Handle());
  if (!facts.exists) {
    const DWORD error = ::GetLastError();
    file.Close();
    ::SetLastError(error);
  }
  return file;
}

File File::OpenAppend(const std::string& path) {
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end
  // of the file as one unit, whoever else appends.
  return OpenWith(path, FILE_APPEND_DATA | SYNCHRONIZE, OPEN_ALWAYS);
}

File File::CreateAlways(const std::string& path) {
  return OpenWith(path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

File File::CreateNew(const std::string& path) { return OpenWith(path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW); }

void File::Close() {
  if (handle_ != kNoFile) {
    const DWORD saved = ::GetLastError();
    ::CloseHandle(handle_);
    ::SetLastError(saved);
    handle_ = kNoFile;
  }
}

int64_t File::Read(void* buffer, size_t length) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(length, 0x40000000));
  if (::ReadFile(handle_, buffer, want, &got, nullptr)) return got;
  const DWORD error = ::GetLastError();
  // The end of a pipe is its end of file.
  if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
  return -1;
}

int64_t File::ReadAt(void* buffer, size_t length, int64_t offset) const {
  // A synchronous read with an offset in OVERLAPPED: it moves the file
  // pointer behind the bytes read, which File.h allows.
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<size_t>(length, 0x40000000));
  if (::ReadFile(handle_, buffer, want, &got, &at)) return got;
  if (::GetLastError() == ERROR_HANDLE_EOF) return 0;
  return -1;
}

bool File::WriteAll(const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD written = 0;
    const DWORD chunk = static_cast<DWORD>(std::min<size_t>(length, 0x40000000));
    if (!::WriteFile(handle_, p, chunk, &written, nullptr)) return false;
    if (written == 0) {
      ::SetLastError(ERROR_DISK_FULL);
      return false;
    }
    p += written;
    length -= written;
  }
  return true;
}

bool File::SeekToEnd() {
  LARGE_INTEGER zero = {};
  return ::SetFilePointerEx(handle_, zero, nullptr, FILE_END) != 0;
}

int64_t File::Size() const {
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(handle_, &size)) return -1;
  return size.QuadPart;
}

int64_t File::LastWriteTime() const {
  FILETIME written;
  if (!::GetFileTime(handle_, nullptr, nullptr, &written)) return -1;
  return UnixSecondsOfFileTime(written);
}

FileFacts FactsOf(const File& file) {
  if (!file.IsOpen()) return FileFacts{};
  return FactsOfHandle(file.Handle());
}

size_t SendFileLargestCall() { return 65536; }

SendFileStatus SendFileToSocket(intptr_t socket, NativeFile file, int64_t offset, size_t count, size_t& sent) {
  // ReadFile + send: bytes the socket does not take now are read again on
  // the next call, so nothing is held between calls.
  sent = 0;
  if (count == 0) return SendFileStatus::kSent;
  std::vector<char> buffer(std::min<size_t>(count, SendFileLargestCall()));
  File view(file);
  const int64_t got = view.ReadAt(buffer.data(), buffer.size(), offset);
  view.Release();  // the caller's handle, not ours to close
  if (got < 0) return SendFileStatus::kFailed;
  if (got == 0) return SendFileStatus::kEndOfFile;
  const int n = ::send(static_cast<SOCKET>(socket), buffer.data(), static_cast<int>(got), 0);
  if (n == SOCKET_ERROR) {
    const int error = ::WSAGetLastError();
    ::SetLastError(static_cast<DWORD>(error));
    return error == WSAEWOULDBLOCK ? SendFileStatus::kWouldBlock : SendFileStatus::kFailed;
  }
  sent = static_cast<size_t>(n);
  return SendFileStatus::kSent;
}

int64_t SendToSocketWithMoreToCome(intptr_t socket, const void* data, size_t length) {
  // Winsock has no MSG_MORE; Nagle's algorithm is what joins the pieces.
  const int n = ::send(static_cast<SOCKET>(socket), static_cast<const char*>(data),
                       static_cast<int>(std::min<size_t>(length, 0x40000000)), 0);
  if (n == SOCKET_ERROR) {
    ::SetLastError(static_cast<DWORD>(::WSAGetLastError()));
    return -1;
  }
  return n;
}

bool IsWouldBlock(int code) { return code == WSAEWOULDBLOCK; }

File DuplicateFile(NativeFile file) {
  if (file == kNoFile) return File();
  HANDLE copy = nullptr;
  HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, file, self, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) return File();
  return File(copy);
}

FileFacts QueryFile(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(Utf8ToWide(path).c_str(), GetFileExInfoStandard, &data)) return FileFacts{};
  return FactsFromAttributes(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
}

bool ReplaceFileWith(const std::string& from, const std::string& to) {
  return ::MoveFileExW(Utf8ToWide(from).c_str(), Utf8ToWide(to).c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool RemoveFile(const std::string& path) {
  // DeleteFileW only marks a file that is still open elsewhere (a copy
  // being sent, a log): its name stays, and cannot be created again, until
  // the last handle goes. Windows 10 1709 and later can take the name away
  // at once, as POSIX does; older systems, FAT volumes and Wine refuse
  // that, and the file is then marked as before.
  const std::wstring wide = Utf8ToWide(path);
  HANDLE h = ::CreateFileW(wide.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                           nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);  // not in mingw's headers
    constexpr DWORD kDeleteAtOnce = 0x1 | 0x2;  // FILE_DISPOSITION_FLAG_DELETE | _POSIX_SEMANTICS
    DWORD flags = kDeleteAtOnce;
    const bool removed = ::SetFileInformationByHandle(h, kFileDispositionInfoEx, &flags, sizeof flags) != 0;
    ::CloseHandle(h);
    if (removed) return true;
  }
  return ::DeleteFileW(wide.c_str()) != 0;
}

MappedView MappedView::Map(const File& file, int64_t offset, size_t length) {
  MappedView view;
  if (length == 0) {
    view.valid_ = true;
    return view;
  }
  // The mapping object may go at once: the view keeps what it maps. An
  // empty file cannot be mapped at all (error 1006).
  HANDLE mapping = ::CreateFileMappingW(file.Handle(), nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (mapping == nullptr) return view;
  void* p = ::MapViewOfFile(mapping, FILE_MAP_READ, static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32),
                            static_cast<DWORD>(offset), length);
  const DWORD error = ::GetLastError();
  ::CloseHandle(mapping);
  if (p == nullptr) {
    ::SetLastError(error);
    return view;
  }
  view.data_ = p;
  view.length_ = length;
  view.valid_ = true;
  return view;
}

void MappedView::Unmap() {
  if (data_ != nullptr) ::UnmapViewOfFile(data_);
  data_ = nullptr;
  length_ = 0;
  valid_ = false;
}

}  // namespace zevra::platform
