#include "manager/hosts/HostList.h"

#include "common/HostFile.h"
#include "platform/System.h"

namespace zevra::manager {
namespace {

QString FromUtf8(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

HostRow BrokenRow(const HostFileName& file) {
  HostRow row;
  row.kind = HostRow::Kind::kBroken;
  row.columns[0] = QString::fromUtf8(hosttexts::kBrokenRow);
  row.path = file.path;
  return row;
}

bool IsBlankOrEmpty(const QString& text) { return text.trimmed().isEmpty(); }

bool HoldsFieldBreaker(const QString& text) {
  return text.contains(QLatin1Char(';')) || text.contains(QLatin1Char('\r')) || text.contains(QLatin1Char('\n')) ||
         text.contains(QChar(0));
}

// Windows takes either separator; on POSIX only '/' is one, but a '\'
// typed out of habit is no part of a directory name either.
void DropOneTrailingSeparator(QString& text) {
  if (text.endsWith(QLatin1Char('\\')) || text.endsWith(QLatin1Char(platform::kPathSeparator))) text.chop(1);
}

}  // namespace

std::vector<HostRow> LoadHostRows(const std::string& programDirectory) {
  std::vector<HostRow> rows;
  const std::vector<HostFileName> files = ListHostFiles(programDirectory);
  if (files.empty()) {
    HostRow row;
    row.kind = HostRow::Kind::kPlaceholder;
    row.columns[0] = QString::fromUtf8(hosttexts::kNoHostsRow);
    row.columns[1] = QString::fromStdString(programDirectory + platform::kPathSeparator + kFallbackRoot);
    row.columns[2] = QString::fromUtf8(kFallbackDefaultDocument);
    row.columns[3] = QString::fromUtf8(kPermissionStatic);
    row.columns[4] = row.columns[5] = QString::fromUtf8(kHostFieldNone);
    rows.push_back(row);
    return rows;
  }
  std::string content;
  for (const HostFileName& file : files) {
    if (rows.size() >= kMaxHostFiles) break;  // the server loads no more than this
    ReadHostFile(file.path, content);
    if (content.empty()) {
      rows.push_back(BrokenRow(file));
      continue;
    }
    std::string_view fields[kHostFieldCount];
    if (SplitHostFields(content, fields) < kHostFieldCount) {
      rows.push_back(BrokenRow(file));
      break;
    }
    HostRow row;
    row.columns[0] = FromUtf8(file.name);
    for (size_t i = 0; i < kHostFieldCount; ++i) row.columns[i + 1] = FromUtf8(fields[i]);
    row.path = file.path;
    rows.push_back(row);
  }
  return rows;
}

HostCheck CheckHostForm(HostForm& form) {
  if (IsBlankOrEmpty(form.domain) || IsBlankOrEmpty(form.documentRoot) || IsBlankOrEmpty(form.defaultDocument) ||
      IsBlankOrEmpty(form.executePermission)) {
    return HostCheck::kInvalidData;
  }
  if (!IsAcceptableHostName(form.domain.toStdString())) return HostCheck::kInvalidData;
  DropOneTrailingSeparator(form.documentRoot);
  DropOneTrailingSeparator(form.cgiProgram);
  if (IsBlankOrEmpty(form.documentRoot)) return HostCheck::kInvalidData;

  const QString permission = form.executePermission.toLower();
  if (permission == QLatin1String("execcgi")) {
    if (IsBlankOrEmpty(form.cgiExtension) || IsBlankOrEmpty(form.cgiProgram)) return HostCheck::kCgiFieldsMissing;
  } else if (permission == QLatin1String("static")) {
    form.cgiExtension = form.cgiProgram = QString::fromUtf8(kHostFieldNone);
  } else {
    return HostCheck::kBadPermission;
  }

  for (const QString* field : {&form.documentRoot, &form.defaultDocument, &form.executePermission,
                               &form.cgiExtension, &form.cgiProgram}) {
    if (HoldsFieldBreaker(*field)) return HostCheck::kInvalidData;
  }
  if (!IsAcceptableDefaultDocument(form.defaultDocument.toStdString())) return HostCheck::kInvalidData;
  return HostCheck::kAccepted;
}

std::string HostFileContent(const HostForm& form) {
  const std::string fields[kHostFieldCount] = {form.documentRoot.toStdString(), form.defaultDocument.toStdString(),
                                               form.executePermission.toStdString(),
                                               form.cgiExtension.toStdString(), form.cgiProgram.toStdString()};
  return JoinHostFields(fields);
}

bool HasUpperCaseLetters(const QString& domain) { return domain != domain.toLower(); }

}  // namespace zevra::manager
