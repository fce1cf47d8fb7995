// Stand-ins for the console's seams: message boxes that record and answer,
// a service whose states a test scripts, and an elevator that runs what the
// test says instead of pkexec.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

#include "manager/app/MessageSeam.h"
#include "manager/app/ServiceBackend.h"
#include "manager/app/Startup.h"

namespace zevra::manager::testing {

class RecordingMessages : public MessageBoxes {
 public:
  RecordingMessages() { SetMessageBoxes(this); }
  ~RecordingMessages() override { SetMessageBoxes(nullptr); }
  QMessageBox::StandardButton Show(QWidget*, const MessageRequest& request) override {
    shown.append(request);
    if (onShow) onShow(request);
    return answer;
  }
  QList<MessageRequest> shown;
  QMessageBox::StandardButton answer = QMessageBox::Ok;
  std::function<void(const MessageRequest&)> onShow;
};

// Every call is written to events in order ("query", "start", "stop",
// "pause", "end:<pid>", "installer:<arg>"), so a test can check sequences.
class ScriptedService : public ServiceBackend {
 public:
  int QueryState() override {
    events << QStringLiteral("query");
    return state;
  }
  QString Description() override { return description; }
  bool Start() override {
    events << QStringLiteral("start");
    if (onStart) onStart();
    return true;
  }
  bool RequestStop() override {
    events << QStringLiteral("stop");
    return true;
  }
  std::vector<uint32_t> ServiceProcesses() override {
    events << QStringLiteral("processes");
    return processes;
  }
  bool EndServiceProcess(uint32_t pid) override {
    events << QStringLiteral("end:%1").arg(pid);
    return true;
  }
  bool StartInstaller(const QString& argument, QString& error, std::function<void(uint32_t)> ended) override {
    events << QStringLiteral("installer:") + argument;
    if (!installerError.isEmpty()) {
      error = installerError;
      return false;
    }
    installerEnded = std::move(ended);
    return true;
  }
  void Pause(int milliseconds) override {
    events << QStringLiteral("pause");
    paused += milliseconds;
    if (onPause) onPause();
  }

  int Count(const QString& event) const { return static_cast<int>(events.count(event)); }

  int state = kServiceNotInstalled;
  QString description;
  std::vector<uint32_t> processes;
  QString installerError;
  std::function<void(uint32_t)> installerEnded;
  std::function<void()> onStart;
  std::function<void()> onPause;
  int paused = 0;
  QStringList events;
};

class StubElevator : public Elevator {
 public:
  bool IsElevated() override { return elevated; }
  QStringList RelaunchCommand(const QStringList& consoleCommand) override {
    asked = consoleCommand;
    if (onRelaunch) onRelaunch();
    return command + (passConsoleCommand ? consoleCommand : QStringList());
  }
  bool elevated = false;
  QStringList command;
  bool passConsoleCommand = false;
  QStringList asked;
  std::function<void()> onRelaunch;
};

}  // namespace zevra::manager::testing
