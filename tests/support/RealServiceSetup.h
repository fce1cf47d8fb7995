// What the console's tests against the real service share: whether the
// service may be installed here, a program directory laid out from the
// built server that the service account can reach, and an end for whatever
// still runs that copy of the program afterwards.
#pragma once

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <csignal>
#include <unistd.h>

namespace zevra::testing {

inline bool WriteFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

inline quint16 FreeLoopbackPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  return probe.serverPort();
}

// Ends whatever still runs the given program (only processes a test started
// can run a program in its own temporary directory).
inline void EndProgramsOf(const QString& executable) {
  for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
    bool ok = false;
    const qint64 pid = entry.toLongLong(&ok);
    if (ok && QFileInfo(QStringLiteral("/proc/%1/exe").arg(pid)).symLinkTarget() == executable) {
      ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
  }
}

// Why the real service "Zevra" cannot be installed through its init script
// here; empty when it can.
inline QString RealServiceSkipReason() {
  if (::geteuid() != 0) return QStringLiteral("needs root: installs the real service");
  if (QFileInfo(QStringLiteral("/run/systemd/system")).isDir()) {
    return QStringLiteral("systemd runs here; this uses the init script");
  }
  const QString built = qEnvironmentVariable("ZEVRA_DIR");
  if (built.isEmpty() || !QFile::exists(built + QStringLiteral("/Zevra"))) {
    return QStringLiteral("ZEVRA_DIR names no built Zevra");
  }
  if (QFile::exists(QStringLiteral("/etc/init.d/Zevra"))) return QStringLiteral("a service Zevra is installed already");
  return QString();
}

// The built program (ZEVRA_DIR) copied into directory, with the server's
// folders and any extra ones; the directory opened to the service account.
inline bool LayOutServiceProgram(const QString& directory, const QStringList& extraFolders = {}) {
  QFile::setPermissions(directory, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                       QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
  const QString built = qEnvironmentVariable("ZEVRA_DIR");
  for (const char* file : {"Zevra", "libZevra.Socket.so", "libgzip.so"}) {
    if (!QFile::copy(built + QLatin1Char('/') + QLatin1String(file), directory + QLatin1Char('/') + QLatin1String(file))) {
      return false;
    }
  }
  QStringList folders = {"Config", "Hosts", "WebRoot", "WebLogs", "WebTemp", "WebCache"};
  folders += extraFolders;
  for (const QString& folder : folders) {
    if (!QDir(directory).mkpath(folder)) return false;
  }
  return true;
}

}  // namespace zevra::testing
