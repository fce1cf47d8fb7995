// The virtual-host files in Hosts/: one file per host name, its content one
// line of five fields joined by ";". The server reads them at start-up; the
// console writes them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zevra {

// Relative to the program directory.
inline constexpr const char* kHostsDirectory = "Hosts";
// An entry of Hosts/ is a host file when its attribute word shares a bit
// with read-only, hidden, system or archive: a file whose archive bit was
// cleared (only "normal" left) is skipped, and so are folders without any
// of these bits.
inline constexpr uint32_t kHostFileAttributeMask = 0x27;
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

}  // namespace zevra
