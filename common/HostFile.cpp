// The host files: enumeration, reading and the record split that the server
// and the console share, and the console's writing of them.
#include "common/HostFile.h"

#include <algorithm>

#include "common/FileReplace.h"
#include "common/Text.h"
#include "platform/CodePage.h"
#include "platform/Directory.h"
#include "platform/File.h"
#include "platform/Path.h"
#include "platform/System.h"

namespace zevra {
namespace {

std::string HostsDirectoryOf(const std::string& programDirectory) {
  return programDirectory + platform::kPathSeparator + kHostsDirectory;
}

// A save that is interrupted leaves this behind; it starts with a dot and
// holds "..", so no host name the console accepts can collide with it.
constexpr const char* kHostTempName = "..zevra-host.tmp";

}  // namespace

std::vector<HostFileName> ListHostFiles(const std::string& programDirectory) {
  std::vector<HostFileName> files;
  const std::string directory = HostsDirectoryOf(programDirectory);
  platform::DirectoryReader reader = platform::DirectoryReader::Open(directory);
  if (!reader.IsOpen()) return files;
  platform::DirectoryEntry entry;
  while (reader.Next(entry)) {
    if ((entry.attributes & kHostFileAttributeMask) == 0) continue;
    // Entry names are internal text already (UTF-8 from the wide names on
    // Windows), as the listing takes them.
    files.push_back(HostFileName{entry.name, directory + platform::kPathSeparator + entry.name});
  }
  return files;
}

HostFileReadStatus ReadHostFile(const std::string& path, std::string& content) {
  content.clear();
  platform::File file = platform::File::OpenReadRegular(path);
  if (!file) return HostFileReadStatus::kUnreadable;
  const int64_t size = file.Size();
  if (size < 0) return HostFileReadStatus::kUnreadable;
  if (size > kMaxHostFileBytes) return HostFileReadStatus::kTooLarge;
  std::string bytes(static_cast<size_t>(size), '\0');
  int64_t got = 0;
  while (got < size) {
    int64_t n = file.Read(bytes.data() + got, static_cast<size_t>(size - got));
    if (n <= 0) break;
    got += n;
  }
  bytes.resize(static_cast<size_t>(got));
  // An editor's final line end is not part of the last field.
  while (!bytes.empty() && (bytes.back() == '\n' || bytes.back() == '\r')) bytes.pop_back();
  content = platform::CodePageToUtf8(bytes);
  return HostFileReadStatus::kRead;
}

size_t SplitHostFields(std::string_view content, std::string_view (&fields)[kHostFieldCount]) {
  // Five fields at most are looked at, so the split stops there instead of
  // building a piece per stray separator.
  size_t count = 0;
  size_t start = 0;
  while (count < kHostFieldCount && start < content.size()) {
    size_t at = content.find(';', start);
    if (at == std::string_view::npos) {
      fields[count++] = content.substr(start);
      break;
    }
    fields[count++] = content.substr(start, at - start);
    start = at + 1;
  }
  return count;
}

bool IsAcceptableDefaultDocument(std::string_view document) {
  // At least two pieces when split at "." (an empty last piece does not
  // count: "index." is refused, "index.html" and "a..b" are not). Counted
  // without splitting: every request's host record goes through here.
  const auto dots = std::count(document.begin(), document.end(), '.');
  return dots >= 2 || (dots == 1 && document.back() != '.');
}

bool ParseHostRecord(std::string_view content, HostRecord& record) {
  std::string_view fields[kHostFieldCount];
  if (SplitHostFields(content, fields) < kHostFieldCount) return false;
  if (!IsAcceptableDefaultDocument(fields[kHostDefaultDocument])) return false;
  record.documentRoot = fields[kHostDocumentRoot];
  record.defaultDocument = fields[kHostDefaultDocument];
  record.executePermission = fields[kHostExecutePermission];
  record.cgiExtension = fields[kHostCgiExtension];
  record.cgiProgram = fields[kHostCgiProgram];
  return true;
}

bool IsAcceptableHostName(std::string_view name) {
  if (name.empty() || name.front() == ' ' || name.back() == ' ' || name.front() == '\t' || name.back() == '\t') {
    return false;
  }
  if (name.find("..") != std::string_view::npos || name == ".") return false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) return false;
    switch (c) {
      case '/': case '\\': case ':': case '<': case '>': case '"': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
  // The name as the file system gets it: UTF-8 like every name inside (the
  // wide form on Windows). In its code-page form a double-byte character
  // could end in the byte of '\' (0x5C in GBK) and pass for a separator.
  return platform::IsAcceptablePathSegment(name);
}

std::string HostFilePath(const std::string& programDirectory, std::string_view name) {
  // ListHostFiles gives the names back as they are here.
  return HostsDirectoryOf(programDirectory) + platform::kPathSeparator + std::string(name);
}

std::string JoinHostFields(const std::string (&fields)[kHostFieldCount]) {
  std::string line;
  for (size_t i = 0; i < kHostFieldCount; ++i) {
    if (i > 0) line += kHostFieldSeparator;
    line += fields[i];
  }
  return line;
}

bool WriteHostFile(const std::string& programDirectory, std::string_view name, std::string_view content,
                   int& errorCode) {
  const std::string temp = HostsDirectoryOf(programDirectory) + platform::kPathSeparator + kHostTempName;
  return ReplaceFileContent(HostFilePath(programDirectory, name), temp, platform::Utf8ToCodePage(content),
                            errorCode);
}

bool RemoveHostFile(const std::string& path, int& errorCode) {
  if (platform::RemoveFile(path)) return true;
  errorCode = platform::LastErrorCode();
  return false;
}

}  // namespace zevra
