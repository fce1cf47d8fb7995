// One console per desktop user. The lock is a QLockFile named after the
// version, in the desktop user's runtime directory /run/user/<uid>/; an
// elevated copy uses the uid of the desktop user it was started for, so a
// root copy and a user copy collide. A crashed holder leaves a stale file
// that the next start takes over (its pid no longer runs).
#pragma once

#include <QLockFile>
#include <QString>
#include <cstdint>
#include <memory>

namespace zevra::manager {

// /run/user/<uid>/ZevraManager-0.2.9.lock. Where the runtime directory does
// not exist (no login manager made it), the temporary directory holds
// ZevraManager-<uid>-0.2.9.lock instead; the console creates no /run/user
// directory itself, since that one belongs to the login manager.
QString InstanceLockPath(uint32_t desktopUid, const QString& runtimeRoot = QStringLiteral("/run/user"));

class InstanceLock {
 public:
  explicit InstanceLock(const QString& path);
  // True when this process now holds the lock (at once, never waiting).
  bool Acquire();
  void Release();
  bool Held() const { return held_; }
  const QString& Path() const { return path_; }

 private:
  QString path_;
  std::unique_ptr<QLockFile> file_;
  bool held_ = false;
};

}  // namespace zevra::manager
