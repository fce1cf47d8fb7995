// Interim service functions: until the service manager binding lands in
// this file, installing and removing fail with "not supported" and the
// daemon role ends at once, saying so in the error log.
#include "server/process/Service.h"

#include "platform/System.h"
#include "server/response/Logs.h"

namespace zevra {

bool InstallService() {
  platform::SetLastErrorCode(platform::UnsupportedErrorCode());
  return false;
}

bool RemoveService() {
  platform::SetLastErrorCode(platform::UnsupportedErrorCode());
  return false;
}

void RunServiceDispatcher() {
  AppendErrorLog("[ Core ] Unable to run as a service: " +
                 platform::SystemErrorText(platform::UnsupportedErrorCode()));
}

}  // namespace zevra
