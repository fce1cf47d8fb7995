// The service control manager is not wired up on Windows yet (it comes
// with the process work). Every call fails with "not implemented", so
// /install, /remove and /daemon report a failure instead of pretending.
#include "platform/Service.h"

#include <windows.h>

namespace zevra::platform {
namespace {

bool NotYet() {
  ::SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
  return false;
}

}  // namespace

bool CreateSystemService(const ServiceConfig&) { return NotYet(); }
std::string LastServiceProblem() { return std::string(); }
bool DeleteSystemService(const std::string&) { return NotYet(); }
bool SystemServiceExists(const std::string&) { return NotYet(); }
bool OpenSystemService(const std::string&) { return NotYet(); }
bool StartSystemService(const std::string&) { return NotYet(); }
bool StopSystemService(const std::string&) { return NotYet(); }
ServiceState QuerySystemServiceState(const std::string&) { return ServiceState::kNotInstalled; }
bool QuerySystemServiceDescription(const std::string&, std::string&) { return NotYet(); }
bool RequestSystemServiceStop(const std::string&) { return NotYet(); }
std::vector<uint32_t> SystemServiceProcessIds(const std::string&) { return {}; }
bool EndProgramRunning(uint32_t, const std::string&) { return NotYet(); }

bool RunServiceControlDispatcher(const std::string&, ServiceMainFunction) { return NotYet(); }
bool RegisterServiceControlHandler(const std::string&, ServiceControlHandler) { return NotYet(); }
void ReportServiceStatus(const ServiceStatus&) {}

}  // namespace zevra::platform
