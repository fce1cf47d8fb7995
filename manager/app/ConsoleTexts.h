// Every text the console shows, in one table, as the system's own texts:
// "\r\n" stands for one line break (ScreenText turns it into the break a
// Qt widget shows). Tests compare against these same constants, so a text
// is changed here or nowhere.
#pragma once

#include <QString>

#include "common/Product.h"

namespace zevra::manager::texts {

// Title area and captions; '#' in a caption is replaced at start-up.
inline constexpr const char* kTitleLabel = "泽瓦个人网站服务器 Ver.";  // + version number
inline constexpr const char* kAdminPrefix = "管理员：";
inline constexpr const char* kMainWindowCaption = "#";        // -> display name
inline constexpr const char* kVersionCaption = "#";           // -> version text, under the title
inline constexpr const char* kLogBoxInitial = "#";            // -> service description
inline constexpr const char* kAboutWindowCaption = "关于 #";  // -> display name
inline constexpr const char* kAboutNameCaption = "#";         // -> display name
inline constexpr const char* kAboutVersionCaption = "主程序版本：#";  // -> version text
inline constexpr const char* kAboutNotice = "Zevra 个人网站服务器的管理控制台。";

// Buttons, tabs and menus.
inline constexpr const char* kInstallButton = "安装";
inline constexpr const char* kUninstallButton = "卸载";
inline constexpr const char* kStartButton = "启动";
inline constexpr const char* kStopButton = "停止";
inline constexpr const char* kRefreshButton = "刷新";
inline constexpr const char* kHostsTab = "虚拟主机";
inline constexpr const char* kSettingsTab = "服务器设置";
inline constexpr const char* kFileMenu = "文件(&F)";
inline constexpr const char* kStartMenu = "启动服务(&S)...";
inline constexpr const char* kStopMenu = "停止服务(&T)...";
inline constexpr const char* kQuitMenu = "退出(&Q)...";
inline constexpr const char* kHostsMenu = "虚拟主机(&V)";
inline constexpr const char* kNewSiteMenu = "新建网站...(&N)";
inline constexpr const char* kEditSiteMenu = "编辑网站...(&E)";
inline constexpr const char* kDeleteSiteMenu = "删除网站...(&D)";
inline constexpr const char* kRefreshHostsMenu = "刷新(&R)";
inline constexpr const char* kHelpMenu = "帮助(&H)";
inline constexpr const char* kWebsiteMenu = "软件网站(&W)";
inline constexpr const char* kAboutMenu = "关于(&A)...";
inline constexpr const char* kWebsiteAddress = "http://www.zevra.example/";

// Status label (the settings page reads the first four).
inline constexpr const char* kStatusRunning = "正在运行";
inline constexpr const char* kStatusStopped = "已经停止";
inline constexpr const char* kStatusNotInstalled = "找不到服务";
inline constexpr const char* kStatusNoRights = "没有权限";
inline constexpr const char* kStatusRefreshing = "正在刷新...";
inline constexpr const char* kStatusStarting = "正在启动...";
inline constexpr const char* kStatusStartFailed = "启动失败...";
inline constexpr const char* kStatusStopping = "正在停止...";
inline constexpr const char* kStatusInstalling = "正在安装...";
inline constexpr const char* kStatusUninstalling = "正在卸载...";

// Log lines, each with its leading line break.
inline constexpr const char* kLogRunning = "\r\nZevra 正在运行";
inline constexpr const char* kLogStopped = "\r\nZevra 服务已停止";
inline constexpr const char* kLogNotInstalled = "\r\nZevra 服务未安装";
inline constexpr const char* kLogStarting = "\r\n正在启动服务...";
inline constexpr const char* kLogStartFailed = "\r\n服务启动失败！";
inline constexpr const char* kLogStopping = "\r\n正在停止服务...";
inline constexpr const char* kLogInstalling = "\r\n正在安装服务...";
inline constexpr const char* kLogUninstalling = "\r\n正在卸载服务...";

// Message boxes.
inline constexpr const char* kAlreadyRunning = "泽瓦个人网站服务器 已经在运行当中。\r\n无需重复运行。";
inline constexpr const char* kElevationRefused =
    "用户账户控制权限申请失败，请在 UAC 对话框中允许本程序。\r\n"
    "现在将在受限模式下运行，你只能编辑服务器设置和修改虚拟主机配置。";
inline constexpr const char* kErrorTitle = "泽瓦个人网站服务器 - Error";
inline constexpr const char* kOsErrorTitle = "泽瓦个人网站服务器 - OS Error : ";
inline constexpr const char* kInstallSent = "服务安装指令已经成功发送。";
inline constexpr const char* kUninstallSent = "服务卸载指令已经成功发送。";
inline constexpr const char* kInstallFailed = "服务安装失败（Zevra 退出代码 10003），详见 error.log。";
inline constexpr const char* kUninstallFailed = "服务卸载失败（Zevra 退出代码 10004），详见 error.log。";
inline constexpr const char* kWebsiteAsAdmin = "管理员身份下不打开浏览器，请在浏览器中访问：\r\n";  // + address

// Status bar and tray.
inline constexpr const char* kMemoryPrefix = "系统内存：";
inline constexpr const char* kMemoryUsedUnit = " MB/";
inline constexpr const char* kMemoryLoad = " MB，使用率：";
inline constexpr const char* kMemoryPercent = "%";
inline constexpr const char* kTrayTip = "泽瓦个人网站服务器\r\n服务名称：泽瓦个人网站服务器";

inline QString Text(const char* text) { return QString::fromUtf8(text); }

// A system text as a widget shows it: "\r\n" is one line break.
inline QString ScreenText(const QString& text) {
  QString screen = text;
  screen.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return screen;
}
inline QString ScreenText(const char* text) { return ScreenText(Text(text)); }

// A caption template with every '#' replaced.
inline QString FillCaption(const char* templateText, const QString& value) {
  QString caption = Text(templateText);
  caption.replace(QLatin1Char('#'), value);
  return caption;
}

}  // namespace zevra::manager::texts
