// ZEVRA_GUI_MAIN, the console's main window, and the service control that
// drives its buttons, status label, log box and tray icon. Every operation
// runs on the window thread; the status label is the record of the last
// state shown, and the label test keeps the log from growing while nothing
// changes.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

class QAction;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;

namespace zevra::manager {

class ServiceBackend;

// ZEVRA_GUI_ABOUT: the about box with the version caption.
class AboutDialog : public QDialog {
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

enum class HostMenuAction { kNew, kEdit, kDelete, kRefresh };

class MainWindow : public QMainWindow {
 public:
  static constexpr int kStatusIntervalMs = 1000;
  // The memory text changes slowly; every two seconds is enough and keeps
  // the window's own load low.
  static constexpr int kMemoryIntervalMs = 2000;

  explicit MainWindow(ServiceBackend& service, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Service control.
  int QueryServiceState();
  void RefreshServiceState();
  void RefreshAction();  // the 刷新 button
  void StartService();
  void StopService();
  void InstallService();
  void UninstallService();

  // Start-up steps.
  void ApplyCaptions(const QString& description);  // step 4
  void MarkElevated();                              // the title's prefix
  void EnterRestrictedMode();
  bool IsRestricted() const { return restricted_; }
  void SetMemorySource(std::function<QString()> source);
  void ShowMemoryStatus();
  void StartTimers();
  // Puts the tray icon up where the desktop has a tray; false where not.
  bool ShowTrayIcon();
  // Log-off or shutdown: the tray icon goes and the about box closes.
  void OnSessionEnding();
  void SetElevated(bool elevated) { elevated_ = elevated; }

  // What the other console areas use.
  QString StatusText() const;
  QTabWidget* Tabs() const { return tabs_; }
  void SetHostsPage(QWidget* page);
  void SetSettingsPage(QWidget* page);
  QAction* HostAction(HostMenuAction which) const;

  // For tests and the areas: the window's parts by role.
  QLabel* TitleLabel() const { return titleLabel_; }
  QLabel* VersionLabel() const { return versionLabel_; }
  QLabel* StatusLabel() const { return statusLabel_; }
  QLabel* MemoryPart() const { return memoryPart_; }
  QLabel* StatePart() const { return statePart_; }
  QPlainTextEdit* LogBox() const { return logBox_; }
  QPushButton* InstallButton() const { return installButton_; }
  QPushButton* UninstallButton() const { return uninstallButton_; }
  QPushButton* StartButton() const { return startButton_; }
  QPushButton* StopButton() const { return stopButton_; }
  QPushButton* RefreshButton() const { return refreshButton_; }
  QAction* StartMenuEntry() const { return startAction_; }
  QAction* StopMenuEntry() const { return stopAction_; }
  QTimer* StatusTimer() const { return statusTimer_; }
  QTimer* MemoryTimer() const { return memoryTimer_; }
  QSystemTrayIcon* TrayIcon() const { return tray_; }
  bool TrayShowsRunning() const { return trayRunning_; }
  AboutDialog* OpenAbout();
  AboutDialog* About() const { return about_; }

 private:
  void BuildWidgets();
  void BuildMenus();
  void SetStatus(const QString& text);
  void AppendLog(const char* line);
  void SetTrayRunning(bool running);
  void EnableServiceControls(bool install, bool uninstall, bool start, bool stop);
  void EndRemainingServiceProcesses(std::vector<uint32_t>& known);
  void RunInstaller(const char* argument, const char* label, const char* logLine, const char* sent,
                    const char* failed, uint32_t failedCode, bool showDescription);
  void OpenWebsite();
  void ReplaceTab(int index, QWidget* page, const char* title);

  ServiceBackend& service_;
  bool restricted_ = false;
  bool elevated_ = false;
  bool trayRunning_ = false;
  std::function<QString()> memorySource_;
  QString descriptionShown_;

  QLabel* titleLabel_ = nullptr;
  QLabel* versionLabel_ = nullptr;
  QLabel* statusLabel_ = nullptr;
  QLabel* memoryPart_ = nullptr;
  QLabel* statePart_ = nullptr;
  QPlainTextEdit* logBox_ = nullptr;
  QTabWidget* tabs_ = nullptr;
  QPushButton* installButton_ = nullptr;
  QPushButton* uninstallButton_ = nullptr;
  QPushButton* startButton_ = nullptr;
  QPushButton* stopButton_ = nullptr;
  QPushButton* refreshButton_ = nullptr;
  QAction* startAction_ = nullptr;
  QAction* stopAction_ = nullptr;
  QAction* hostActions_[4] = {};
  QTimer* statusTimer_ = nullptr;
  QTimer* memoryTimer_ = nullptr;
  QSystemTrayIcon* tray_ = nullptr;
  QIcon runningIcon_;
  QIcon idleIcon_;
  QPointer<AboutDialog> about_;
};

}  // namespace zevra::manager
