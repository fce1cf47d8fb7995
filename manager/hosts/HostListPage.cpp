#include "manager/hosts/HostListPage.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/FileReplace.h"
#include "common/HostFile.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MessageSeam.h"

namespace zevra::manager {
namespace {

constexpr const char* kListTitle = "虚拟主机管理";
constexpr const char* kSelectFirst = "请选择一个站点再进行操作。";
constexpr const char* kNoHosts = "当前没有任何虚拟主机。";
constexpr const char* kBrokenSelected = "域名配置错误。请尝试删除这个无效的配置。";
constexpr const char* kAskDeletePrefix = "你确定要删除虚拟主机：";
constexpr const char* kAskDeleteSuffix = " 吗？";
constexpr const char* kDeleted = "删除操作已经成功执行。要使这些操作立即生效，你需要重新启动服务。";
constexpr const char* kDeleteFailedTitle = "删除失败";
constexpr const char* kDeleteFailed = "删除虚拟主机配置文件失败！\r\n";  // + the system's error
constexpr const char* kColumns[6] = {"域名", "站点目录", "默认文档", "执行权限", "CGI 文件映射", "CGI 程序地址"};
constexpr const char* kNewEntry = "新建网站...(&N)";
constexpr const char* kEditEntry = "编辑网站...(&E)";
constexpr const char* kDeleteEntry = "删除网站...(&D)";
constexpr const char* kRefreshEntry = "刷新(&R)";

using texts::Text;

// The name a broken row stands for: its file's name.
QString FileNameOf(const HostRow& row) {
  const size_t slash = row.path.find_last_of("/\\");
  return QString::fromStdString(slash == std::string::npos ? row.path : row.path.substr(slash + 1));
}

}  // namespace

HostListPage::HostListPage(std::string programDirectory, QWidget* parent)
    : QWidget(parent), programDirectory_(std::move(programDirectory)) {
  setObjectName(QStringLiteral("HostListPage"));
  list_ = new QTreeWidget(this);
  list_->setColumnCount(6);
  QStringList headers;
  for (const char* c : kColumns) headers << Text(c);
  list_->setHeaderLabels(headers);
  list_->setRootIsDecorated(false);
  list_->setSelectionMode(QAbstractItemView::SingleSelection);
  list_->setContextMenuPolicy(Qt::CustomContextMenu);
  list_->header()->setStretchLastSection(true);
  connect(list_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    QMenu* menu = BuildContextMenu();
    menu->exec(list_->viewport()->mapToGlobal(at));
    delete menu;
  });
  connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { EditHost(); });

  addButton_ = new QPushButton(QStringLiteral("添加"), this);
  editButton_ = new QPushButton(QStringLiteral("编辑"), this);
  deleteButton_ = new QPushButton(QStringLiteral("删除"), this);
  connect(addButton_, &QPushButton::clicked, this, [this] { AddHost(); });
  connect(editButton_, &QPushButton::clicked, this, [this] { EditHost(); });
  connect(deleteButton_, &QPushButton::clicked, this, [this] { DeleteHost(); });

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(addButton_);
  buttons->addWidget(editButton_);
  buttons->addWidget(deleteButton_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(list_);
  layout->addLayout(buttons);

  runDialog_ = [](HostDialog& dialog) { return dialog.exec(); };
}

void HostListPage::LoadHostList() {
  list_->clear();
  rows_ = LoadHostRows(programDirectory_);
  for (size_t i = 0; i < rows_.size(); ++i) {
    const HostRow& row = rows_[i];
    QStringList columns;
    for (const QString& c : row.columns) columns << c;
    auto* item = new QTreeWidgetItem(columns);
    item->setData(0, Qt::UserRole, static_cast<qulonglong>(i));
    if (row.kind == HostRow::Kind::kBroken) {
      const QString tip = QStringLiteral("文件：") + QString::fromStdString(row.path);
      for (int c = 0; c < 6; ++c) item->setToolTip(c, tip);
    }
    list_->addTopLevelItem(item);
  }
  for (int c = 0; c < 5; ++c) list_->resizeColumnToContents(c);
}

const HostRow* HostListPage::SelectedRow() const {
  QTreeWidgetItem* item = list_->currentItem();
  if (item == nullptr || !item->isSelected()) return nullptr;
  const size_t index = item->data(0, Qt::UserRole).toULongLong();
  return index < rows_.size() ? &rows_[index] : nullptr;
}

void HostListPage::ShowListMessage(const char* text) {
  ShowMessage(this, MessageIcon::kInformation, Text(kListTitle), Text(text));
}

void HostListPage::AddHost() {
  HostDialog dialog(HostDialog::Mode::kAdd, programDirectory_, this);
  QPointer<HostListPage> self(this);
  runDialog_(dialog);
  if (self) LoadHostList();
}

void HostListPage::EditHost() {
  const HostRow* row = SelectedRow();
  if (row == nullptr) return ShowListMessage(kSelectFirst);
  if (row->kind == HostRow::Kind::kPlaceholder) return ShowListMessage(kNoHosts);
  if (row->kind == HostRow::Kind::kBroken) return ShowListMessage(kBrokenSelected);
  HostDialog dialog(HostDialog::Mode::kEdit, programDirectory_, this);
  dialog.SetForm(HostForm{row->columns[0], row->columns[1], row->columns[2], row->columns[3], row->columns[4],
                          row->columns[5]});
  QPointer<HostListPage> self(this);
  runDialog_(dialog);
  if (self) LoadHostList();
}

void HostListPage::DeleteHost() {
  const HostRow* row = SelectedRow();
  if (row == nullptr) return ShowListMessage(kSelectFirst);
  if (row->kind == HostRow::Kind::kPlaceholder) return ShowListMessage(kNoHosts);
  // A broken row is named by its file, which is what goes.
  const QString name = row->kind == HostRow::Kind::kBroken ? FileNameOf(*row) : row->columns[0];
  const std::string path = row->path;
  QPointer<HostListPage> self(this);
  const auto answer = ShowMessage(this, MessageIcon::kWarning, Text(kListTitle),
                                  Text(kAskDeletePrefix) + name + Text(kAskDeleteSuffix),
                                  QMessageBox::Yes | QMessageBox::No);
  if (!self || answer != QMessageBox::Yes) return;
  int error = 0;
  if (!RemoveHostFile(path, error)) {
    ShowMessage(this, MessageIcon::kError, Text(kDeleteFailedTitle),
                Text(kDeleteFailed) + QString::fromStdString(OsErrorDetail(error)));
  } else {
    ShowListMessage(kDeleted);
  }
  if (self) LoadHostList();
}

QMenu* HostListPage::BuildContextMenu() {
  auto* menu = new QMenu(this);
  const HostRow* row = SelectedRow();
  QAction* add = menu->addAction(Text(kNewEntry), this, [this] { AddHost(); });
  QAction* edit = menu->addAction(Text(kEditEntry), this, [this] { EditHost(); });
  QAction* remove = menu->addAction(Text(kDeleteEntry), this, [this] { DeleteHost(); });
  menu->addSeparator();
  menu->addAction(Text(kRefreshEntry), this, [this] { LoadHostList(); });
  add->setEnabled(true);
  // A broken file cannot be edited, only deleted.
  edit->setEnabled(row != nullptr && row->kind != HostRow::Kind::kBroken);
  remove->setEnabled(row != nullptr);
  return menu;
}

}  // namespace zevra::manager
