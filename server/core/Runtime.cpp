#include "server/core/Runtime.h"

namespace zevra {

StartupValues g_startup;
ServerSettings g_settings;

}  // namespace zevra
