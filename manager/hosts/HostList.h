// The host list's rows and the checks of the host dialog, apart from the
// widgets: which rows Hosts/ gives (the same files the server loads) and
// whether a typed host may be written.
#pragma once

#include <QString>
#include <string>
#include <vector>

namespace zevra::manager {

namespace hosttexts {
inline constexpr const char* kNoHostsRow = "无任何虚拟主机";
inline constexpr const char* kBrokenRow = "域名配置错误。";
}  // namespace hosttexts

struct HostRow {
  enum class Kind {
    kHost,         // a well-formed host file
    kPlaceholder,  // Hosts/ holds no file: what the server serves then
    kBroken,       // a file that cannot be read as a host
  };
  Kind kind = Kind::kHost;
  QString columns[6];  // domain and the five fields
  std::string path;    // the host file (empty for the placeholder)
};

// The rows for programDirectory/Hosts, in the file system's order: the
// placeholder alone when there is no file; an empty (or unreadable) file
// gives a broken row and the listing goes on; a file with fewer than five
// fields gives a broken row and ends the listing.
std::vector<HostRow> LoadHostRows(const std::string& programDirectory);

// The six fields of the host dialog.
struct HostForm {
  QString domain;
  QString documentRoot;
  QString defaultDocument;
  QString executePermission;
  QString cgiExtension;
  QString cgiProgram;
};

enum class HostCheck {
  kAccepted,
  kInvalidData,        // "存在无效的数据。"
  kBadPermission,      // neither Static nor ExecCGI
  kCgiFieldsMissing,   // ExecCGI without extension or program
};

// The save's checks in their order. On the way it changes the form as the
// dialog's fields change: one trailing path separator goes from the
// document root and the CGI program, and a static host's CGI values become
// "None". Besides the missing values, it refuses a domain that cannot be a
// host file the server matches, a ";", CR, LF or NUL in any value written
// (the server would split the line into other fields), a document root that
// was only a separator, and a default document without a dot (the server
// refuses such a record).
HostCheck CheckHostForm(HostForm& form);

// The line written for an accepted form: five values joined by ";".
std::string HostFileContent(const HostForm& form);

// The server matches host names exactly while browsers send them in lower
// case: a domain with capitals is accepted but worth a warning.
bool HasUpperCaseLetters(const QString& domain);

}  // namespace zevra::manager
