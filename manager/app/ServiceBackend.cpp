#include "manager/app/ServiceBackend.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <thread>

#include "common/Product.h"
#include "platform/ProcessControl.h"
#include "platform/Service.h"
#include "platform/System.h"

namespace zevra::manager {

PlatformServiceBackend::PlatformServiceBackend(const QString& programDirectory, const QString& serviceName)
    : programDirectory_(programDirectory),
      serviceName_(serviceName.isEmpty() ? std::string(kServiceName) : serviceName.toStdString()) {}

QString PlatformServiceBackend::ServerProgram() const {
#ifdef Q_OS_WIN
  return programDirectory_ + QStringLiteral("\\Zevra.exe");
#else
  return programDirectory_ + QStringLiteral("/Zevra");
#endif
}

int PlatformServiceBackend::QueryState() {
  switch (platform::QuerySystemServiceState(serviceName_)) {
    case platform::ServiceState::kNotInstalled: return kServiceNotInstalled;
    case platform::ServiceState::kStopped: return kServiceStopped;
    case platform::ServiceState::kStartPending: return kServiceStartPending;
    case platform::ServiceState::kStopPending: return kServiceStopPending;
    case platform::ServiceState::kRunning: return kServiceRunning;
  }
  return kServiceNotInstalled;
}

QString PlatformServiceBackend::Description() {
  std::string description;
  if (!platform::QuerySystemServiceDescription(serviceName_, description)) return QString();
  return QString::fromStdString(description);
}

bool PlatformServiceBackend::Start() { return platform::StartSystemService(serviceName_); }

bool PlatformServiceBackend::RequestStop() { return platform::RequestSystemServiceStop(serviceName_); }

std::vector<uint32_t> PlatformServiceBackend::ServiceProcesses() {
  return platform::SystemServiceProcessIds(serviceName_);
}

bool PlatformServiceBackend::EndServiceProcess(uint32_t pid) {
  return platform::EndProgramRunning(pid, ServerProgram().toStdString());
}

bool PlatformServiceBackend::StartInstaller(const QString& argument, QString& error,
                                            std::function<void(uint32_t code)> ended) {
  const uint32_t pid = platform::StartProgram({ServerProgram().toStdString(), argument.toStdString()});
  if (pid == 0) {
    error = QString::fromStdString(platform::SystemErrorText(platform::LastErrorCode())).trimmed();
    return false;
  }
  // The console does not wait for the installer, but it reaps it and learns
  // how it ended; the answer goes back to the window thread.
  QPointer<QCoreApplication> app(QCoreApplication::instance());
  std::thread([pid, app, ended = std::move(ended)] {
    platform::ProgramExit end;
    const bool waited = platform::WaitProgramEnd(pid, end);
    platform::ReleaseProgram(pid);
    const uint32_t code = waited ? ServerExitCode(end.signaled, end.code) : 0;
    if (app) QMetaObject::invokeMethod(app, [ended, code] { ended(code); }, Qt::QueuedConnection);
  }).detach();
  return true;
}

void PlatformServiceBackend::Pause(int milliseconds) { QThread::msleep(static_cast<unsigned long>(milliseconds)); }

}  // namespace zevra::manager
