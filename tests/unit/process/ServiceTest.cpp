#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Service.h"
#include "platform/posix/ExitStatus.h"
#include "platform/posix/ServiceText.h"
#include "server/process/Service.h"

namespace zevra {
namespace {

TEST(ExitCodeHex, EvenNumberOfUpperCaseDigits) {
  EXPECT_EQ(ExitCodeHex(0xC0000005u), "C0000005");
  EXPECT_EQ(ExitCodeHex(10005), "2715");
  EXPECT_EQ(ExitCodeHex(1), "01");
  EXPECT_EQ(ExitCodeHex(0), "00");
  EXPECT_EQ(ExitCodeHex(137), "89");
  EXPECT_EQ(ExitCodeHex(0xABC), "0ABC");
  EXPECT_EQ(ExitCodeHex(0xFFFFFFFFu), "FFFFFFFF");
}

// The daemon's number for a worker's end: the low byte a POSIX parent
// sees maps back to 10000-10009, and a signal N counts 128 + N.
uint32_t WorkerExitCode(bool signaled, int code) {
  return platform::ExitReasonOfStatus(signaled, code).StatusNumber();
}

TEST(WorkerExitCode, LowBytesMapBackAndSignalsCount128Up) {
  EXPECT_EQ(WorkerExitCode(false, 16), 10000u);
  EXPECT_EQ(WorkerExitCode(false, 23), 10007u);
  EXPECT_EQ(WorkerExitCode(false, 25), 10009u);
  EXPECT_EQ(WorkerExitCode(false, 1), 1u);
  EXPECT_EQ(WorkerExitCode(false, 26), 26u);
  EXPECT_EQ(WorkerExitCode(true, 9), 137u);
  EXPECT_EQ(WorkerExitCode(true, 11), 139u);
  EXPECT_FALSE(platform::ExitReasonOfStatus(false, 16).EndedBySystem());
  EXPECT_TRUE(platform::ExitReasonOfStatus(true, 9).EndedBySystem());
}

platform::ServiceConfig SampleConfig(const std::string& executable) {
  platform::ServiceConfig c;
  c.name = "Zevra";
  c.displayName = "泽瓦个人网站服务器";
  c.description = "泽瓦个人网站服务器工作进程。";
  c.executable = executable;
  c.arguments = "/daemon";
  c.account = "zevra";
  return c;
}

std::string RunAndCapture(const std::string& command, int& status) {
  std::string output;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) {
    status = -1;
    return output;
  }
  char buffer[512];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) output.append(buffer, n);
  status = pclose(p);
  return output;
}

TEST(SystemdUnit, NamesTheDaemonAndPassesVerification) {
  const std::string unit = platform::SystemdUnitText(SampleConfig("/bin/sleep"));
  EXPECT_NE(unit.find("Description=泽瓦个人网站服务器 - 泽瓦个人网站服务器工作进程。\n"), std::string::npos);
  EXPECT_NE(unit.find("\nExecStart=/bin/sleep /daemon\n"), std::string::npos);
  EXPECT_NE(unit.find("\nType=notify\n"), std::string::npos);
  EXPECT_NE(unit.find("\nKillMode=mixed\n"), std::string::npos);
  EXPECT_NE(unit.find("\nAmbientCapabilities=CAP_NET_BIND_SERVICE\n"), std::string::npos);
  // A connection per descriptor: systemd's soft default of 1024 is too few.
  EXPECT_NE(unit.find("\nLimitNOFILE=65536\n"), std::string::npos);
  EXPECT_NE(unit.find("\nWantedBy=multi-user.target\n"), std::string::npos);
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") != 0) GTEST_SKIP() << "no systemd-analyze";
  char dir[] = "/tmp/zevra_unit_XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/Zevra.service";
  std::ofstream(path) << unit;
  int status = 0;
  const std::string output = RunAndCapture("systemd-analyze verify " + path, status);
  std::remove(path.c_str());
  rmdir(dir);
  EXPECT_EQ(status, 0) << output;
  // systemd ignores what it cannot parse with a message and still succeeds.
  EXPECT_EQ(output, "");
}

TEST(SystemdUnit, QuotesAPathWithBlanks) {
  const std::string unit = platform::SystemdUnitText(SampleConfig("/opt/my server/Zevra"));
  EXPECT_NE(unit.find("\nExecStart=\"/opt/my server/Zevra\" /daemon\n"), std::string::npos) << unit;
}

TEST(InitScript, HasTheLsbHeaderAndIsValidShell) {
  const std::string script = platform::InitScriptText(SampleConfig("/opt/it's/Zevra"));
  EXPECT_EQ(script.rfind("#!/bin/sh\n### BEGIN INIT INFO\n# Provides:          Zevra\n", 0), 0u);
  EXPECT_NE(script.find("# Short-Description: 泽瓦个人网站服务器\n"), std::string::npos);
  EXPECT_NE(script.find("# Description:       泽瓦个人网站服务器工作进程。\n"), std::string::npos);
  EXPECT_NE(script.find("DAEMON='/opt/it'\\''s/Zevra'\n"), std::string::npos);
  char path[] = "/tmp/zevra_init_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  FILE* f = fdopen(fd, "w");
  fputs(script.c_str(), f);
  fclose(f);
  int status = 0;
  const std::string output = RunAndCapture(std::string("sh -n ") + path, status);
  std::remove(path);
  EXPECT_EQ(status, 0) << output;
}

}  // namespace
}  // namespace zevra
