#include "manager/settings/SettingsHooks.h"

#include "manager/app/ConsoleHooks.h"
#include "manager/app/MainWindow.h"
#include "manager/settings/SettingsPage.h"

namespace zevra::manager {
namespace {

// The restart goes through the window's own start and stop actions and
// waits for its status label.
class WindowService : public SettingsService {
 public:
  explicit WindowService(MainWindow& window) : window_(window) {}
  QString StatusText() const override { return window_.StatusText(); }
  void StopService() override { window_.StopService(); }
  void StartService() override { window_.StartService(); }
  bool IsRestricted() const override { return window_.IsRestricted(); }

 private:
  MainWindow& window_;
};

}  // namespace

void InstallSettingsHooks(ConsoleHooks& hooks) {
  hooks.loadSettings = [](MainWindow& window, const QString& configPath) {
    auto* service = new WindowService(window);
    auto* page = new SettingsPage(configPath.toStdString(), *service);
    QObject::connect(page, &QObject::destroyed, [service] { delete service; });
    window.SetSettingsPage(page);
    page->LoadSettings();
  };
}

}  // namespace zevra::manager
