// Connects the settings page to the console's main window: its tab, the
// reading at start and the window's service control for the restart.
#pragma once

namespace zevra::manager {

struct ConsoleHooks;

void InstallSettingsHooks(ConsoleHooks& hooks);

}  // namespace zevra::manager
