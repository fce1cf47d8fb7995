// The virtual-host files in Hosts/: one file per host name, its content one
// line of five fields joined by ";". The server reads them at start-up; the
// console lists, writes and removes them. Both go through this one reader so
// that the console shows exactly what the server will load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zevra {

// Relative to the program directory.
inline constexpr const char* kHostsDirectory = "Hosts";
// The site served when Hosts/ holds no file at all.
inline constexpr const char* kFallbackRoot = "WebRoot";
inline constexpr const char* kFallbackDefaultDocument = "index.html";

inline constexpr const char* kHostFieldSeparator = ";";
inline constexpr size_t kHostFieldCount = 5;
enum HostField : size_t {
  kHostDocumentRoot = 0,     // absolute directory, no trailing separator
  kHostDefaultDocument = 1,  // must contain a dot
  kHostExecutePermission = 2,
  kHostCgiExtension = 3,     // with its leading dot, or "None"
  kHostCgiProgram = 4,       // command line with %s, or "None"
};

// Values of the execute-permission field; CGI runs only when the field,
// upper-cased, equals "EXECCGI".
inline constexpr const char* kPermissionExecCgi = "ExecCGI";
inline constexpr const char* kPermissionStatic = "Static";
inline constexpr const char* kPermissionExecCgiUpper = "EXECCGI";
// What the console writes into fields 4 and 5 of a static site.
inline constexpr const char* kHostFieldNone = "None";

// The host table's size. Probing for an absent name ends only at an empty
// slot, so one slot always stays free: at most kHostTableSlots - 1 files.
inline constexpr size_t kHostTableSlots = 2048;
inline constexpr size_t kMaxHostFiles = kHostTableSlots - 1;

// A host file is one short line; anything much larger is not one, and
// reading it whole would let one stray file take the worker's memory.
inline constexpr int64_t kMaxHostFileBytes = 64 * 1024;

// One file found in Hosts/.
struct HostFileName {
  std::string name;  // the host name, internal text (UTF-8)
  std::string path;  // the full path as the file system spells it
};

// The regular files of programDirectory/Hosts in the file system's own
// order. Subdirectories and other non-files are no host files. A missing
// or unreadable directory gives none.
std::vector<HostFileName> ListHostFiles(const std::string& programDirectory);

enum class HostFileReadStatus {
  kRead,
  kUnreadable,  // cannot be opened or is not a regular file
  kTooLarge,    // over kMaxHostFileBytes: not read at all
};
// Reads one host file as the console wrote it (code-page bytes) into the
// internal text, without an editor's final line ends. Whatever cannot be
// read gives empty content, which the server treats as "not configured".
HostFileReadStatus ReadHostFile(const std::string& path, std::string& content);

// The five fields of one host file. The views point into the content.
struct HostRecord {
  std::string_view documentRoot;
  std::string_view defaultDocument;
  std::string_view executePermission;
  std::string_view cgiExtension;
  std::string_view cgiProgram;
};

// Splits content at ";" into at most five fields (later ones are ignored)
// and gives how many there were. An empty piece after a final separator is
// no field, and empty content has none.
size_t SplitHostFields(std::string_view content, std::string_view (&fields)[kHostFieldCount]);

// The default document must split at "." into two pieces or more: it holds
// a dot that is not its last character, or more than one dot.
bool IsAcceptableDefaultDocument(std::string_view document);

// The record of one host file's content; false when it is malformed (fewer
// than five fields, or a default document the rule above refuses).
bool ParseHostRecord(std::string_view content, HostRecord& record);

// --- Writing, for the console ---

// Whether a host name can be a file name in Hosts/ that the server can
// match: not empty, no blanks around it, no path separator of any platform,
// no "..", no ':' (the server cuts the port off at the first colon, so such
// a name never matches), no control character, none of the characters that
// Windows refuses in a file name, and nothing the platform's file system
// would misread.
bool IsAcceptableHostName(std::string_view name);

// programDirectory/Hosts/name, converted to the file system's spelling.
std::string HostFilePath(const std::string& programDirectory, std::string_view name);

// The file's content: the five values joined by ";", no line end.
std::string JoinHostFields(const std::string (&fields)[kHostFieldCount]);

// Writes a host file in one atomic step: the content goes into a temporary
// file in Hosts/ which then replaces the old file, so a failed save leaves
// the old host as it was. The content is converted to the code page. On
// failure errorCode holds the system's error.
bool WriteHostFile(const std::string& programDirectory, std::string_view name, std::string_view content,
                   int& errorCode);

// Removes the host file at path (as ListHostFiles or HostFilePath gave it);
// on failure errorCode holds the system's error.
bool RemoveHostFile(const std::string& path, int& errorCode);

}  // namespace zevra
