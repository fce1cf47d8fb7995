#include "platform/Directory.h"

#include <windows.h>

#include "platform/win32/Wide.h"

namespace zevra::platform {

struct DirectoryReader::Handle {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW pending;  // the entry FindFirstFileExW gave, not yet handed out
  bool hasPending = false;
};

void DirectoryReader::HandleCloser::operator()(Handle* handle) const {
  if (handle->find != INVALID_HANDLE_VALUE) {
    const DWORD saved = ::GetLastError();
    ::FindClose(handle->find);
    ::SetLastError(saved);
  }
  delete handle;
}

DirectoryReader::DirectoryReader(DirectoryReader&& other) noexcept = default;
DirectoryReader& DirectoryReader::operator=(DirectoryReader&& other) noexcept = default;
DirectoryReader::~DirectoryReader() = default;

DirectoryReader DirectoryReader::Open(const std::string& path) {
  DirectoryReader reader;
  std::wstring pattern = Utf8ToWide(path);
  if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
  pattern += L'*';
  auto handle = std::make_unique<Handle>();
  handle->find = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &handle->pending, FindExSearchNameMatch,
                                    nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (handle->find == INVALID_HANDLE_VALUE) {
    // An empty folder still has "." and ".."; a missing one fails here.
    return reader;
  }
  handle->hasPending = true;
  reader.handle_.reset(handle.release());
  return reader;
}

bool DirectoryReader::Next(DirectoryEntry& entry) {
  if (!handle_) return false;
  for (;;) {
    WIN32_FIND_DATAW& data = handle_->pending;
    if (!handle_->hasPending && !::FindNextFileW(handle_->find, &data)) return false;
    handle_->hasPending = false;
    const std::wstring_view name(data.cFileName);
    if (name == L"." || name == L"..") continue;
    // An entry no path can name cannot be opened, served or removed.
    if (!IsNameableFileName(name)) continue;
    entry = DirectoryEntry{};
    entry.name = FileNameToUtf8(name);
    entry.attributes = data.dwFileAttributes;
    entry.isDirectory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.isRegular = (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
    entry.size = static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    entry.lastWriteTime = UnixSecondsOfFileTime(data.ftLastWriteTime);
    return true;
  }
}

}  // namespace zevra::platform
