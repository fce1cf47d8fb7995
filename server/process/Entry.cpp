#include "server/process/Entry.h"

#include <string>

#include "platform/Service.h"
#include "platform/System.h"
#include "common/Product.h"
#include "server/process/CommandLine.h"
#include "server/dispatch/HostTable.h"
#include "server/process/Service.h"
#include "server/process/Settings.h"
#include "server/process/Worker.h"
#include "server/response/Logs.h"
#include "server/core/Runtime.h"

namespace zevra {
namespace {

[[noreturn]] void FailInstaller(const char* what, int exitCode) {
  const int error = platform::LastErrorCode();
  std::string message = std::string(what) + platform::SystemErrorText(error);
  // A reason of its own (the path the service account cannot reach) says
  // more than the advice about privileges.
  const std::string problem = platform::LastServiceProblem();
  message += problem.empty() ? "\r\nMake sure you have administrator privileges." : "\r\n" + problem;
  platform::WriteStdout(message);
  AppendErrorLog(message);
  platform::TerminateSelf(exitCode);
}

}  // namespace

void RunServer(int argc, char** argv) {
  platform::SetTerminalTitle(kDisplayName);
  g_startup.windowsDirectory = platform::SystemDirectory();
  const std::string command = RecognizeCommand(platform::CommandLineText(argc, argv));
  g_startup.computerName = platform::HostComputerName();
  g_startup.allocationGranularity = platform::AllocationGranularity();
  if (g_startup.allocationGranularity == 0) {
    platform::WriteStdout("Unable to access MMAP parameter.");
    platform::TerminateSelf(kExitNoGranularity);
  }
  g_startup.programDirectory = platform::ProgramDirectory();
  g_startup.programFileName = platform::ProgramFileName();

  // Every role reads its settings and opens its logs before it looks at its
  // command, so even /v leaves an error.log behind.
  LoadServerSettings();
  LoadHostFiles();

  if (command == "/install") {
    if (!InstallService()) FailInstaller("Unable to install service. ", kExitInstallFailed);
    platform::WriteStdout("Service installed.");
    platform::TerminateSelf(kExitNormal);
  }
  if (command == "/remove") {
    if (!RemoveService()) FailInstaller("Unable to remove service. ", kExitRemoveFailed);
    platform::WriteStdout("Service removed.");
    platform::TerminateSelf(kExitNormal);
  }
  if (command == "/daemon") {
    AppendErrorLog(std::string("[ Core ] ") + kVersionText + " , " + g_startup.computerName);
    RunServiceDispatcher();
    platform::TerminateSelf(kExitNormal);
  }
  if (command == "/worker") {
    StartWorker();
    platform::WaitForever();
  }
  if (command == "/v") {
    platform::WriteStdout(kVersionText);
    platform::TerminateSelf(kExitNormal);
  }
  platform::WriteStdout(BuildUsageText(g_startup.computerName, g_startup.programFileName, BuildBlock()));
  platform::TerminateSelf(kExitNormal);
}

}  // namespace zevra
