#include "manager/app/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/Product.h"

namespace zevra::manager {

QString InstanceLockPath(uint32_t desktopUid, const QString& runtimeRoot) {
  const QString version = QString::fromUtf8(kVersionNumber);
  const QString runtime = runtimeRoot + QLatin1Char('/') + QString::number(desktopUid);
  if (QFileInfo(runtime).isDir()) return runtime + QStringLiteral("/ZevraManager-") + version + QStringLiteral(".lock");
  return QDir::tempPath() + QStringLiteral("/ZevraManager-") + QString::number(desktopUid) + QLatin1Char('-') +
         version + QStringLiteral(".lock");
}

InstanceLock::InstanceLock(const QString& path) : path_(path) {}

bool InstanceLock::Acquire() {
  if (held_) return true;
  file_ = std::make_unique<QLockFile>(path_);
  // Only a dead holder makes the lock stale, never its age: a console may
  // run for weeks.
  file_->setStaleLockTime(0);
  held_ = file_->tryLock(0);
  if (!held_) {
    file_.reset();
    return false;
  }
  // Everyone may open the file: a user copy must be able to take over the
  // lock of a root copy that crashed. While its holder lives, the holder's
  // own lock on the open file keeps it from being taken.
  QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::WriteGroup |
                                   QFile::ReadOther | QFile::WriteOther);
  return true;
}

void InstanceLock::Release() {
  if (file_) file_->unlock();
  file_.reset();
  held_ = false;
}

}  // namespace zevra::manager
