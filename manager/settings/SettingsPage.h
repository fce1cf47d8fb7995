// The settings page of the main window: the values of Config/Zevra.ini,
// read once at start with the console's own defaults, checked and written
// back by ApplySettings, which then offers to restart the service so that
// the server reads them.
//
// The restart waits for the status label without blocking the window: each
// poll is a timer callback, the apply button is disabled while they run,
// and a page destroyed mid-wait ends the wait (no callback reaches it).
#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace zevra::manager {

// What the restart needs from the service control of the main window.
class SettingsService {
 public:
  virtual ~SettingsService() = default;
  // The status label: "正在运行", "已经停止", "找不到服务", "没有权限" ...
  virtual QString StatusText() const = 0;
  virtual void StopService() = 0;
  virtual void StartService() = 0;
  // The console runs without the rights to control the service.
  virtual bool IsRestricted() const = 0;
};

// Runs a callback after a number of milliseconds on the window thread. The
// program uses a timer; tests run the callbacks on a clock of their own.
using PollScheduler = std::function<void(int milliseconds, std::function<void()> callback)>;

class SettingsPage : public QWidget {
 public:
  // The fields of the page, in the order the apply writes their keys.
  enum Field {
    kPort,
    kWorkerThreads,
    kConnections,
    kKeepAlive,
    kWriteAccessLog,
    kEnableGZIP,
    kGZIPCompressLevel,
    kGatewayTimeout,
    kDebug,
    kBuffer,
    kServerAdmin,
    kMaxConn,
    kDirectoryListing,
    kFieldCount,
  };
  static constexpr int kPollIntervalMs = 500;
  // One counter for both waits, 1000 a poll: 30 polls of 500 ms in all.
  static constexpr int kPollStep = 1000;
  static constexpr int kPollLimit = 30000;

  SettingsPage(std::string configPath, SettingsService& service, QWidget* parent = nullptr);
  ~SettingsPage() override;

  void SetPollScheduler(PollScheduler scheduler) { schedule_ = std::move(scheduler); }

  // Fills the fields from the file (missing keys take the console's
  // defaults); called once at start.
  void LoadSettings();
  // The 应用 button.
  void ApplySettings();
  bool IsRestarting() const { return restarting_; }

  QLineEdit* NumberField(Field field) const;  // nullptr for check boxes and the administrator
  QCheckBox* CheckBox(Field field) const;
  QLineEdit* AdminField() const { return admin_; }
  QPushButton* ApplyButton() const { return apply_; }

 private:
  enum class Wait { kStopped, kRunning };
  bool WriteSettings();
  void BeginWait(Wait wait);
  void Poll(Wait wait);
  void EndWait(Wait wait, bool reached);
  void FinishRestart();

  std::string configPath_;
  SettingsService& service_;
  PollScheduler schedule_;
  QWidget* widgets_[kFieldCount] = {};
  QLineEdit* admin_ = nullptr;
  QPushButton* apply_ = nullptr;
  bool restarting_ = false;
  int pollCounter_ = 0;
  bool stopReached_ = false;
  bool startReached_ = false;
  // Lives as long as the page; callbacks hold it weakly to know whether
  // the page still exists.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace zevra::manager
