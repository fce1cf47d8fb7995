// The rights the process runs with, and whose desktop it belongs to.
#pragma once

#include <cstdint>

namespace zevra::platform {

// True when the process runs with full rights (effective user root on
// POSIX, an elevated token on Windows).
bool RunsElevated();
// The id of the user who started the process (the real user).
uint32_t CurrentUserId();

}  // namespace zevra::platform
