// The server's service as the console drives it. The window talks only to
// this interface; the program uses PlatformServiceBackend, tests script a
// fake of their own.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zevra::manager {

// The service states as the console knows them: 0 not installed (or not to
// be opened), 1 stopped, 4 running; 2 and 3 are the start and stop pending
// states, which change nothing but the tray image.
enum ServiceStateValue : int {
  kServiceNotInstalled = 0,
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};

class ServiceBackend {
 public:
  virtual ~ServiceBackend() = default;
  virtual int QueryState() = 0;
  // The description the server registered; empty when there is none.
  virtual QString Description() = 0;
  virtual bool Start() = 0;
  // Sends the stop and returns at once.
  virtual bool RequestStop() = 0;
  // The service's processes now (its main process and that one's children).
  virtual std::vector<uint32_t> ServiceProcesses() = 0;
  // Ends pid by force, but only while it runs this program directory's
  // server; false when it does not or is gone.
  virtual bool EndServiceProcess(uint32_t pid) = 0;
  // Starts the server program with one argument (/install or /remove)
  // without waiting for it. On failure returns false with the system's text
  // in error. Otherwise ended is called later, on the window thread, with
  // the server's exit code (10003 for a failed install).
  virtual bool StartInstaller(const QString& argument, QString& error, std::function<void(uint32_t code)> ended) = 0;
  // Waits without processing window messages: the console's waits freeze
  // the window on purpose, as the service operations always have.
  virtual void Pause(int milliseconds) = 0;
};

class PlatformServiceBackend : public ServiceBackend {
 public:
  // serviceName: the server's service; tests name one of their own.
  explicit PlatformServiceBackend(const QString& programDirectory, const QString& serviceName = QString());
  int QueryState() override;
  QString Description() override;
  bool Start() override;
  bool RequestStop() override;
  std::vector<uint32_t> ServiceProcesses() override;
  bool EndServiceProcess(uint32_t pid) override;
  bool StartInstaller(const QString& argument, QString& error, std::function<void(uint32_t code)> ended) override;
  void Pause(int milliseconds) override;

  // The server program this console controls.
  QString ServerProgram() const;

 private:
  QString programDirectory_;
  std::string serviceName_;
};

}  // namespace zevra::manager
