// The console's side of the service manager on POSIX: the description read
// back unchanged, the states (pending ones included) of an init-script
// service, a stop that does not wait, and a forced end that only reaches
// the program it is meant for. The cases that write /etc/init.d and /run
// need root and skip without it.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "common/Product.h"
#include "platform/ProcessControl.h"
#include "platform/Service.h"

namespace zevra {
namespace {

platform::ServiceConfig Config(const std::string& name, const std::string& description) {
  platform::ServiceConfig c;
  c.name = name;
  c.displayName = kDisplayName;
  c.description = description;
  c.executable = "/opt/zevra/Zevra";
  c.arguments = "/daemon";
  c.account = "zevra";
  return c;
}

// The lines of a text that start with prefix, prefix removed.
std::vector<std::string> LinesAfter(const std::string& text, const std::string& prefix) {
  std::vector<std::string> found;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0) found.push_back(text.substr(at + prefix.size(), end - at - prefix.size()));
    at = end + 1;
  }
  return found;
}

TEST(ServiceDescription, StandsAloneOnALineInUnitAndScript) {
  const std::string description = "泽瓦个人网站服务器工作进程。 - with ; and = inside";
  for (const std::string& text : {platform::SystemdUnitText(Config("Zevra", description)),
                                  platform::InitScriptText(Config("Zevra", description))}) {
    EXPECT_EQ(LinesAfter(text, "# Description:       "), std::vector<std::string>{description}) << text;
  }
}

// A throw-away init-script service, removed with its marker and pid file.
class ScriptService {
 public:
  explicit ScriptService(const std::string& body)
      : name_("ZevraConsoleTest" + std::to_string(::getpid())), script_("/etc/init.d/" + name_) {
    std::ofstream(script_) << body;
    ::chmod(script_.c_str(), 0755);
  }
  ~ScriptService() {
    std::remove(script_.c_str());
    std::remove(StopMarker().c_str());
  }
  const std::string& Name() const { return name_; }
  std::string StopMarker() const { return "/run/" + name_ + ".stopping"; }

 private:
  std::string name_;
  std::string script_;
};

#define REQUIRE_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: writes /etc/init.d and /run"

TEST(ServiceState, InitScriptStatesAndTheStopInProgress) {
  REQUIRE_ROOT();
  const std::string missing = "ZevraConsoleNoSuchService";
  EXPECT_EQ(platform::QuerySystemServiceState(missing), platform::ServiceState::kNotInstalled);
  std::string description;
  EXPECT_FALSE(platform::QuerySystemServiceDescription(missing, description));
  EXPECT_TRUE(platform::SystemServiceProcessIds(missing).empty());
  EXPECT_FALSE(platform::RequestSystemServiceStop(missing));

  // status answers 0 while /run/<name>.up exists: running, else stopped;
  // stop marks itself as under way for two seconds, as the real script does.
  const std::string base = "/run/ZevraConsoleTest" + std::to_string(::getpid());
  const std::string up = base + ".up";
  ScriptService service("#!/bin/sh\n# Description:       泽瓦 描述\ncase \"$1\" in\n  status) [ -e " + up +
                        " ] ;;\n  stop) echo $$ > " + base + ".stopping; sleep 2; rm -f " + base +
                        ".stopping ;;\nesac\n");
  EXPECT_EQ(platform::QuerySystemServiceState(service.Name()), platform::ServiceState::kStopped);
  std::ofstream(up) << "";
  EXPECT_EQ(platform::QuerySystemServiceState(service.Name()), platform::ServiceState::kRunning);
  ASSERT_TRUE(platform::QuerySystemServiceDescription(service.Name(), description));
  EXPECT_EQ(description, "泽瓦 描述");

  // The stop returns at once and shows as pending while the script runs.
  const auto before = std::chrono::steady_clock::now();
  ASSERT_TRUE(platform::RequestSystemServiceStop(service.Name()));
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1500));
  bool pending = false;
  for (int i = 0; i < 40 && !pending; ++i) {
    pending = platform::QuerySystemServiceState(service.Name()) == platform::ServiceState::kStopPending;
    if (!pending) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  EXPECT_TRUE(pending);
  bool over = false;
  for (int i = 0; i < 100 && !over; ++i) {
    over = platform::QuerySystemServiceState(service.Name()) == platform::ServiceState::kRunning;
    if (!over) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(over);

  // A marker left behind by a stop that was killed does not count.
  std::ofstream(service.StopMarker()) << "999999999";
  EXPECT_EQ(platform::QuerySystemServiceState(service.Name()), platform::ServiceState::kRunning);
  std::remove(up.c_str());
}

TEST(EndProgramRunning, OnlyThePromisedProgram) {
  const uint32_t pid = platform::StartProgram({"/bin/sleep", "30"});
  ASSERT_NE(pid, 0u);
  EXPECT_FALSE(platform::EndProgramRunning(pid, "/bin/true"));
  EXPECT_FALSE(platform::EndProgramRunning(pid, ""));
  EXPECT_FALSE(platform::EndProgramRunning(0, "/bin/sleep"));
  EXPECT_EQ(::kill(static_cast<pid_t>(pid), 0), 0);  // still there
  // A link to the program counts as the program.
  EXPECT_TRUE(platform::EndProgramRunning(pid, "/bin/sleep"));
  platform::ProgramExit end;
  ASSERT_TRUE(platform::WaitProgramEnd(pid, end));
  platform::ReleaseProgram(pid);
  EXPECT_TRUE(end.signaled);
  EXPECT_EQ(end.code, SIGKILL);
}

TEST(ServerExitCode, MapsTheLowByteBack) {
  EXPECT_EQ(ServerExitCode(false, 16), 10000u);
  EXPECT_EQ(ServerExitCode(false, 19), 10003u);
  EXPECT_EQ(ServerExitCode(false, 20), 10004u);
  EXPECT_EQ(ServerExitCode(false, 0), 0u);
  EXPECT_EQ(ServerExitCode(true, 9), 137u);
}

}  // namespace
}  // namespace zevra
