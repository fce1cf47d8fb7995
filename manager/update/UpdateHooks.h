// How the update check joins the console's start-up: the main window gets a
// row for the latest version, the notice and the two links under its own
// version caption, the menu entry "软件网站(&W)" opens the update page, and
// the check starts.
#pragma once

namespace zevra::manager {

struct ConsoleHooks;
class MainWindow;
class UpdateController;

void InstallUpdateHooks(ConsoleHooks& hooks);

// What the start-up hook does, for a window of its own; the controller
// belongs to the window.
UpdateController* AttachUpdateCheck(MainWindow& window);

}  // namespace zevra::manager
