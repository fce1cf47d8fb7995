// Connects the host list to the console's main window: its tab, and the
// entries of the 虚拟主机 menu.
#pragma once

namespace zevra::manager {

struct ConsoleHooks;

void InstallHostsHooks(ConsoleHooks& hooks);

}  // namespace zevra::manager
