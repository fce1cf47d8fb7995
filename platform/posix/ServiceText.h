// The files the POSIX service managers read for a service: a systemd unit
// or a SysV init script. Apart from the service functions so that tests can
// check the text without installing anything.
#pragma once

#include <string>

#include "platform/Service.h"

namespace zevra::platform {

std::string SystemdUnitText(const ServiceConfig& config);
std::string InitScriptText(const ServiceConfig& config);

}  // namespace zevra::platform
