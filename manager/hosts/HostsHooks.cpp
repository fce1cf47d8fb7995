#include "manager/hosts/HostsHooks.h"

#include <QAction>
#include <QTabWidget>

#include "manager/app/ConsoleHooks.h"
#include "manager/app/MainWindow.h"
#include "manager/hosts/HostListPage.h"

namespace zevra::manager {

void InstallHostsHooks(ConsoleHooks& hooks) {
  hooks.loadHosts = [](MainWindow& window, const QString& programDirectory) {
    auto* page = new HostListPage(programDirectory.toStdString());
    window.SetHostsPage(page);
    // The host list is the page a user comes for first.
    window.Tabs()->setCurrentWidget(page);
    const std::pair<HostMenuAction, void (HostListPage::*)()> entries[] = {
        {HostMenuAction::kNew, &HostListPage::AddHost},
        {HostMenuAction::kEdit, &HostListPage::EditHost},
        {HostMenuAction::kDelete, &HostListPage::DeleteHost},
        {HostMenuAction::kRefresh, &HostListPage::LoadHostList},
    };
    for (const auto& [which, slot] : entries) {
      if (QAction* action = window.HostAction(which)) {
        QObject::connect(action, &QAction::triggered, page, [page, slot = slot] { (page->*slot)(); });
      }
    }
    page->LoadHostList();
  };
}

}  // namespace zevra::manager
