#include "server/core/ServerLink.h"

namespace zevra {
namespace {
ServerLink* g_link = nullptr;
}

ServerLink& Link() { return *g_link; }
void SetLink(ServerLink* link) { g_link = link; }
ServerLink* LinkIfSet() { return g_link; }

}  // namespace zevra
