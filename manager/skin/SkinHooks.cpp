#include "manager/skin/SkinHooks.h"

#include <QWidget>

#include "manager/app/ConsoleHooks.h"
#include "manager/skin/Shadow.h"

namespace zevra::manager {

void InstallSkinHooks(ConsoleHooks& hooks) {
  hooks.decorate = [](QWidget& window) { SetWindowShadow(&window, Qt::black, 3, true); };
}

}  // namespace zevra::manager
