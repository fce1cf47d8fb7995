// Where the other console areas plug into the start-up. Each hook is
// optional; an empty one is skipped, so the window runs before the areas
// exist. The program fills them in main.cpp: an area <area> that ships the
// header manager/<area>/<Area>Hooks.h declaring
//
//     void Install<Area>Hooks(zevra::manager::ConsoleHooks& hooks);
//
// (InstallSkinHooks, InstallSettingsHooks, InstallHostsHooks,
// InstallUpdateHooks) is connected by main.cpp as soon as the header and its
// library target exist. Areas find what they need on the window:
// MainWindow::SetHostsPage / SetSettingsPage put their page into its tab,
// HostMenuAction gives the 虚拟主机 menu's entries, StatusText / StartService
// / StopService / IsRestricted serve the settings page's restart, and
// ShowMessage (MessageSeam.h) is the one road for message boxes.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace zevra::manager {

class MainWindow;

struct ConsoleHooks {
  // Start-up step 1: decorate the main window (the drop shadow).
  std::function<void(QWidget& window)> decorate;
  // Step 11: read the settings file at configPath with the console's
  // defaults and fill the settings page.
  std::function<void(MainWindow& window, const QString& configPath)> loadSettings;
  // Step 12: load the virtual-host list from the program directory's Hosts.
  std::function<void(MainWindow& window, const QString& programDirectory)> loadHosts;
  // Step 13: start the update check in the background.
  std::function<void(MainWindow& window)> startUpdateCheck;
};

}  // namespace zevra::manager
