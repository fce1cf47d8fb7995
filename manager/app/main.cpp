// ZevraManager: the management console of the Zevra server.
#include <QApplication>
#include <QGuiApplication>
#include <QSessionManager>
#include <memory>

#include "manager/app/ConsoleHooks.h"
#include "manager/app/MainWindow.h"
#include "manager/app/ServiceBackend.h"
#include "manager/app/Startup.h"
#include "platform/Account.h"
#include "platform/System.h"

// The other areas connect themselves once they ship their hook header.
#if __has_include("manager/skin/SkinHooks.h") && defined(ZEVRA_HAVE_SKIN)
#include "manager/skin/SkinHooks.h"
#define ZEVRA_SKIN_HOOKS 1
#endif
#if __has_include("manager/settings/SettingsHooks.h") && defined(ZEVRA_HAVE_SETTINGS)
#include "manager/settings/SettingsHooks.h"
#define ZEVRA_SETTINGS_HOOKS 1
#endif
#if __has_include("manager/hosts/HostsHooks.h") && defined(ZEVRA_HAVE_HOSTS)
#include "manager/hosts/HostsHooks.h"
#define ZEVRA_HOSTS_HOOKS 1
#endif
#if __has_include("manager/update/UpdateHooks.h") && defined(ZEVRA_HAVE_UPDATE)
#include "manager/update/UpdateHooks.h"
#define ZEVRA_UPDATE_HOOKS 1
#endif

namespace {

// The desktop user: for a copy started through pkexec or sudo, the user
// who asked for it, so that it shares that user's lock.
uint32_t DesktopUserId() {
  for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
    bool ok = false;
    const uint32_t uid = qEnvironmentVariable(name).toUInt(&ok);
    if (ok) return uid;
  }
  return zevra::platform::CurrentUserId();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(true);
  using namespace zevra::manager;

  const QString programDirectory = QString::fromStdString(zevra::platform::ProgramDirectory());
  PlatformServiceBackend service(programDirectory);
  PkexecElevator elevator;
  ConsoleEnvironment environment;
  environment.programDirectory = programDirectory;
  environment.arguments = app.arguments();
  environment.arguments[0] = QString::fromStdString(zevra::platform::ProgramPath());
  environment.desktopUid = DesktopUserId();
  environment.service = &service;
  environment.elevator = &elevator;
#ifdef ZEVRA_SKIN_HOOKS
  InstallSkinHooks(environment.hooks);
#endif
#ifdef ZEVRA_SETTINGS_HOOKS
  InstallSettingsHooks(environment.hooks);
#endif
#ifdef ZEVRA_HOSTS_HOOKS
  InstallHostsHooks(environment.hooks);
#endif
#ifdef ZEVRA_UPDATE_HOOKS
  InstallUpdateHooks(environment.hooks);
#endif

  std::unique_ptr<InstanceLock> lock;
  StartupResult started = StartConsole(environment, lock);
  if (!started.window) return started.exitCode;
  MainWindow* window = started.window.get();
  // Log-off or shutdown: the tray icon goes and the about box closes; the
  // session then takes its normal course.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, window,
                   [window](QSessionManager&) { window->OnSessionEnding(); });
  return app.exec();
}
