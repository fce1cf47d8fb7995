// What the host and settings editor tests share: message boxes that are
// recorded and answered instead of shown, a program directory of their own,
// and a way to act without root's rights when the tests run as root.
#pragma once

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "manager/app/MessageSeam.h"

namespace zevra::manager::testing {

class RecordingBoxes : public MessageBoxes {
 public:
  RecordingBoxes() { SetMessageBoxes(this); }
  ~RecordingBoxes() override { SetMessageBoxes(nullptr); }

  QMessageBox::StandardButton Show(QWidget*, const MessageRequest& request) override {
    shown.push_back(request);
    if (onShow) onShow(request);
    if (request.buttons & QMessageBox::Yes) return answerYes ? QMessageBox::Yes : QMessageBox::No;
    return QMessageBox::Ok;
  }
  QStringList Texts() const {
    QStringList texts;
    for (const MessageRequest& r : shown) texts << r.text;
    return texts;
  }
  QString LastText() const { return shown.empty() ? QString() : shown.back().text; }

  std::vector<MessageRequest> shown;
  bool answerYes = true;
  std::function<void(const MessageRequest&)> onShow;
};

// A program directory below /tmp that every user may enter, so that a test
// can look at it with another user's rights.
class ProgramDirectory {
 public:
  ProgramDirectory() {
    ::chmod(dir_.path().toLocal8Bit().constData(), 0755);
    QDir(dir_.path()).mkpath(QStringLiteral("Hosts"));
    QDir(dir_.path()).mkpath(QStringLiteral("Config"));
  }
  std::string Path() const { return dir_.path().toStdString(); }
  QString File(const QString& relative) const { return dir_.path() + QLatin1Char('/') + relative; }
  void Write(const QString& relative, const QByteArray& bytes) const {
    QFile f(File(relative));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(bytes);
  }
  QByteArray Read(const QString& relative) const {
    QFile f(File(relative));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
  }
  bool Exists(const QString& relative) const { return QFile::exists(File(relative)); }

 private:
  QTemporaryDir dir_;
};

// Runs the scope with the rights of an ordinary user (nobody) when the test
// runs as root, for whom no permission bit would refuse a write.
class WithoutRootRights {
 public:
  WithoutRootRights() : wasRoot_(::geteuid() == 0) {
    if (wasRoot_) dropped_ = ::seteuid(65534) == 0;
  }
  ~WithoutRootRights() {
    if (dropped_) (void)::seteuid(0);
  }
  bool Ok() const { return !wasRoot_ || dropped_; }

 private:
  bool wasRoot_;
  bool dropped_ = false;
};

}  // namespace zevra::manager::testing
