// How the skin joins the console's start-up: the main window's decoration.
#pragma once

namespace zevra::manager {

struct ConsoleHooks;

// Start-up's first step gets the main window its black three-pixel shadow.
void InstallSkinHooks(ConsoleHooks& hooks);

}  // namespace zevra::manager
