#include "manager/update/UpdateHooks.h"

#include <QAction>
#include <QBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QStatusBar>

#include "manager/app/ConsoleHooks.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MainWindow.h"
#include "manager/app/MessageSeam.h"
#include "manager/update/UpdateCheck.h"

namespace zevra::manager {
namespace {

constexpr char kLatestCaption[] = "最新版本：";
constexpr char kCheckingText[] = "正在检查……";
constexpr char kUpToDateNotice[] = "当前已是最新版本。";
constexpr char kWindowLinkText[] = "<a href=\"update\">查看更新</a>";
constexpr char kPageLinkText[] = "<a href=\"page\">项目网站</a>";

QLabel* NewLabel(const char* text, const char* name, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setObjectName(QLatin1String(name));
  return label;
}

// The row goes right under the window's own version caption; a window laid
// out otherwise gets it in its status bar.
UpdateLabels AttachUpdateRow(MainWindow& window) {
  QLabel* anchor = window.VersionLabel();
  QWidget* parent = anchor != nullptr ? anchor->parentWidget() : nullptr;
  auto* row = new QWidget(parent != nullptr ? parent : &window);
  row->setObjectName(QStringLiteral("updateRow"));
  auto* layout = new QHBoxLayout(row);
  layout->setContentsMargins(0, 0, 0, 0);
  UpdateLabels labels;
  layout->addWidget(NewLabel(kLatestCaption, "latestCaption", row));
  labels.version = NewLabel(kCheckingText, "latestVersionLabel", row);
  labels.notice = NewLabel(kUpToDateNotice, "updateNotice", row);
  labels.windowLink = NewLabel(kWindowLinkText, "updateWindowLink", row);
  labels.pageLink = NewLabel(kPageLinkText, "updatePageLink", row);
  for (QLabel* label : {labels.version, labels.notice, labels.windowLink, labels.pageLink}) layout->addWidget(label);
  layout->addStretch();
  auto* box = parent != nullptr ? qobject_cast<QBoxLayout*>(parent->layout()) : nullptr;
  if (box != nullptr && box->indexOf(anchor) >= 0)
    box->insertWidget(box->indexOf(anchor) + 1, row);
  else
    window.statusBar()->addWidget(row);
  return labels;
}

}  // namespace

UpdateController* AttachUpdateCheck(MainWindow& window) {
  UpdateSeams seams = DefaultUpdateSeams();
  QPointer<MainWindow> owner(&window);
  seams.refusedElevated = [owner](const QUrl& url) {
    if (owner)
      ShowMessage(owner, MessageIcon::kInformation, QString::fromUtf8(kDisplayName),
                  texts::ScreenText(texts::Text(texts::kWebsiteAsAdmin) + url.toString()));
  };
  auto* controller = new UpdateController(AttachUpdateRow(window), DefaultUpdateOptions(), seams, &window);
  // The menu's website entry is the update page.
  for (QAction* action : window.findChildren<QAction*>()) {
    if (action->text() != texts::Text(texts::kWebsiteMenu)) continue;
    QObject::disconnect(action, &QAction::triggered, &window, nullptr);
    QObject::connect(action, &QAction::triggered, controller, &UpdateController::OpenUpdatePage);
  }
  return controller;
}

void InstallUpdateHooks(ConsoleHooks& hooks) {
  hooks.startUpdateCheck = [](MainWindow& window) { AttachUpdateCheck(window)->CheckForUpdate(); };
}

}  // namespace zevra::manager
