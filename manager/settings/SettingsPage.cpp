#include "manager/settings/SettingsPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <limits>

#include "common/FileReplace.h"
#include "common/Profile.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/Product.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MessageSeam.h"

namespace zevra::manager {
namespace {

using texts::kStatusNoRights;
using texts::kStatusNotInstalled;
using texts::kStatusRunning;
using texts::kStatusStopped;
constexpr const char* kDisplayTitle = kDisplayName;
constexpr const char* kWarningTitle = "警告";
constexpr const char* kAskRestart =
    "成功应用了最新设置。\r\n如果需要立即生效，你需要重新启动服务。\r\n现在就想重新启动服务，并生效设置吗？";
constexpr const char* kNoRightsTitle = "权限警告";
constexpr const char* kNoRights =
    "泽瓦个人网站服务器 所需要的权限不足，因此只能保存设置。\r\n请手动重新启动服务，或给予 泽瓦个人网站服务器 足够权限。";
constexpr const char* kStopTimeoutTitle = "停止失败";
constexpr const char* kStopTimeout = "泽瓦个人网站服务器 监测到服务未能在规定时间内停止。\r\n建议你手动查看服务状态。";
constexpr const char* kStartTimeoutTitle = "启动失败";
constexpr const char* kStartTimeout =
    "泽瓦个人网站服务器 监测到服务未能在规定时间内正常运行。\r\n建议你手动查看服务状态，或检查配置是否正确。";
constexpr const char* kInEffect = "最新设置已经生效。";
constexpr const char* kNotInEffect =
    "最新设置已经保存，但服务没有按时重新启动，设置尚未生效。\r\n请手动查看服务状态，并在服务重新启动后再确认设置。";
constexpr const char* kSavedNotInstalled = "最新设置已经保存。\r\n服务尚未安装，安装并启动服务后这些设置就会生效。";
constexpr const char* kWriteFailedTitle = "保存失败";
constexpr const char* kWriteFailed = "无法写入配置文件，设置没有保存。\r\n";  // + path, line break, OS detail
constexpr const char* kNotANumber = " 应该是一个不小于 0 的整数。";           // after the field's name
constexpr const char* kAdminRefused = "服务器管理员 不能包含换行符，且不能超过 127 个字符。";
constexpr const char* kApply = "应用";

struct FieldSpec {
  SettingId key;
  const char* consoleDefault;  // shown for a missing key, differs from the server's for four keys
  const char* label;           // the check box's text, or the field's name
};

// In the order the apply writes them.
constexpr FieldSpec kFields[SettingsPage::kFieldCount] = {
    {kSettingPort, "80", "端口"},
    {kSettingWorkerThreads, "8", "工作线程"},
    {kSettingConnections, "10240", "并发连接数"},
    {kSettingKeepAlive, "60000", "超时时间（毫秒）"},
    {kSettingWriteAccessLog, "True", "记录访问"},
    {kSettingEnableGZIP, "True", "压缩缓存，压缩比"},
    {kSettingGZIPCompressLevel, "3", "压缩比"},
    {kSettingGatewayTimeout, "30000", "网关超时（毫秒）"},
    {kSettingDebug, "True", "详细错误"},
    {kSettingBuffer, "40960", "流缓冲（字节）"},
    {kSettingServerAdmin, "webmaster@localhost", "服务器管理员"},
    {kSettingMaxConn, "1024", "最大连接数"},
    {kSettingDirectoryListing, "True", "目录列表"},
};

SettingKind KindOf(int field) { return kSettingKeys[kFields[field].key].kind; }

struct Limit {
  SettingsPage::Field field;
  bool (*fails)(int64_t value);
  const char* message;
  const char* replacement;
};

// Checked in this order, each on the value the previous rows left; a
// failed test corrects the field and the apply goes on.
constexpr Limit kLimits[] = {
    {SettingsPage::kConnections, [](int64_t v) { return v > 30000; }, "并发连接数不应该超过 30000。", "30000"},
    {SettingsPage::kBuffer, [](int64_t v) { return v > 81920; }, "流缓冲不应该超过 81920。", "40960"},
    {SettingsPage::kMaxConn, [](int64_t v) { return v > 30000; }, "最大连接数不应该超过 30000。", "30000"},
    {SettingsPage::kKeepAlive, [](int64_t v) { return v < 1000 && v != 0; },
     "启用超时时间则设置不可小于 1000 毫秒，若超时时间为 0 则关闭超时功能。", "5000"},
    {SettingsPage::kPort, [](int64_t v) { return v > 65534; }, "端口数应该在 1-65534 之间。", "65534"},
    {SettingsPage::kPort, [](int64_t v) { return v <= 0; }, "端口数应该在 1-65534 之间。", "1"},
};

// A number field holds decimal digits (blanks around them allowed) whose
// value fits the server's 32-bit integer. Anything else the server would
// read as some other number (its reading stops at the first non-digit).
bool ReadFieldNumber(const QString& text, int64_t& value) {
  const QString digits = text.trimmed();
  if (digits.isEmpty() || digits.size() > 10) return false;
  for (QChar c : digits) {
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
  }
  value = digits.toLongLong();
  return value <= std::numeric_limits<int32_t>::max();
}

using texts::Text;

}  // namespace

SettingsPage::SettingsPage(std::string configPath, SettingsService& service, QWidget* parent)
    : QWidget(parent), configPath_(std::move(configPath)), service_(service) {
  setObjectName(QStringLiteral("SettingsPage"));
  for (int i = 0; i < kFieldCount; ++i) {
    switch (KindOf(i)) {
      case SettingKind::kBoolean:
        widgets_[i] = new QCheckBox(Text(kFields[i].label), this);
        break;
      case SettingKind::kInteger:
      case SettingKind::kText:
        widgets_[i] = new QLineEdit(this);
        break;
    }
  }
  admin_ = static_cast<QLineEdit*>(widgets_[kServerAdmin]);
  apply_ = new QPushButton(Text(kApply), this);
  connect(apply_, &QPushButton::clicked, this, [this] { ApplySettings(); });

  auto* grid = new QGridLayout;
  auto place = [&](Field field, int row, int column) {
    grid->addWidget(new QLabel(Text(kFields[field].label) + QStringLiteral("："), this), row, column);
    grid->addWidget(widgets_[field], row, column + 1);
  };
  place(kPort, 0, 0);
  place(kWorkerThreads, 0, 2);
  place(kConnections, 1, 0);
  place(kMaxConn, 1, 2);
  place(kKeepAlive, 2, 0);
  place(kBuffer, 2, 2);
  place(kGatewayTimeout, 3, 0);
  place(kServerAdmin, 3, 2);
  widgets_[kGZIPCompressLevel]->setMaximumWidth(60);
  auto* compression = new QHBoxLayout;
  compression->addWidget(widgets_[kEnableGZIP]);
  compression->addWidget(widgets_[kGZIPCompressLevel]);
  compression->addStretch();
  grid->addLayout(compression, 4, 0, 1, 2);
  auto* switches = new QHBoxLayout;
  switches->addWidget(widgets_[kWriteAccessLog]);
  switches->addWidget(widgets_[kDebug]);
  switches->addWidget(widgets_[kDirectoryListing]);
  switches->addStretch();
  grid->addLayout(switches, 4, 2, 1, 2);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch();
  bottom->addWidget(apply_);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addStretch();
  layout->addLayout(bottom);

  schedule_ = [this](int milliseconds, std::function<void()> callback) {
    QTimer::singleShot(milliseconds, this, std::move(callback));
  };
}

SettingsPage::~SettingsPage() = default;

QLineEdit* SettingsPage::NumberField(Field field) const {
  return KindOf(field) == SettingKind::kInteger ? static_cast<QLineEdit*>(widgets_[field]) : nullptr;
}

QCheckBox* SettingsPage::CheckBox(Field field) const {
  return KindOf(field) == SettingKind::kBoolean ? static_cast<QCheckBox*>(widgets_[field]) : nullptr;
}

void SettingsPage::LoadSettings() {
  const ProfileFile file = ProfileFile::Load(configPath_);
  for (int i = 0; i < kFieldCount; ++i) {
    const SettingKey& key = kSettingKeys[kFields[i].key];
    const std::string value = file.Read(key.section, key.key, kFields[i].consoleDefault);
    switch (key.kind) {
      case SettingKind::kInteger:
        // As the server reads it: text that is not a number shows as 0.
        static_cast<QLineEdit*>(widgets_[i])->setText(QString::number(ReadInteger(value)));
        break;
      case SettingKind::kBoolean:
        static_cast<QCheckBox*>(widgets_[i])->setChecked(ReadBoolean(value));
        break;
      case SettingKind::kText:
        static_cast<QLineEdit*>(widgets_[i])->setText(QString::fromStdString(value));
        break;
    }
  }
}

bool SettingsPage::WriteSettings() {
  ProfileEditor editor = ProfileEditor::Load(configPath_);
  if (!editor.CanWrite(admin_->text().toStdString())) {
    ShowMessage(this, MessageIcon::kWarning, Text(kWarningTitle), Text(kAdminRefused));
    return false;
  }
  for (int i = 0; i < kFieldCount; ++i) {
    const SettingKey& key = kSettingKeys[kFields[i].key];
    std::string value;
    if (key.kind == SettingKind::kBoolean) {
      value = static_cast<QCheckBox*>(widgets_[i])->isChecked() ? kSettingTrue : kSettingFalse;
    } else {
      value = static_cast<QLineEdit*>(widgets_[i])->text().toStdString();
    }
    editor.Set(key.section, key.key, value);  // every value was checked above
  }
  int error = 0;
  if (!editor.Save(configPath_, error)) {
    ShowMessage(this, MessageIcon::kError, Text(kWriteFailedTitle),
                Text(kWriteFailed) + QString::fromStdString(configPath_ + "\r\n" + OsErrorDetail(error)));
    return false;
  }
  return true;
}

void SettingsPage::ApplySettings() {
  if (restarting_) return;  // the button is disabled; a second road in is refused too
  std::weak_ptr<int> alive = alive_;

  // Numbers first: a field the server would misread stops the apply.
  for (int i = 0; i < kFieldCount; ++i) {
    if (KindOf(i) != SettingKind::kInteger) continue;
    int64_t value = 0;
    QLineEdit* field = static_cast<QLineEdit*>(widgets_[i]);
    if (!ReadFieldNumber(field->text(), value)) {
      ShowMessage(this, MessageIcon::kWarning, Text(kWarningTitle), Text(kFields[i].label) + Text(kNotANumber));
      if (!alive.expired()) field->setFocus();
      return;
    }
    field->setText(QString::number(value));
  }
  for (const Limit& limit : kLimits) {
    QLineEdit* field = static_cast<QLineEdit*>(widgets_[limit.field]);
    if (!limit.fails(field->text().toLongLong())) continue;
    ShowMessage(this, MessageIcon::kWarning, Text(kWarningTitle), Text(limit.message));
    if (alive.expired()) return;
    field->setText(Text(limit.replacement));
  }

  if (!WriteSettings() || alive.expired()) return;
  if (service_.StatusText() == Text(kStatusNotInstalled)) {
    // No service, nothing to restart: it reads the file when it first starts.
    ShowMessage(this, MessageIcon::kInformation, Text(kDisplayTitle), Text(kSavedNotInstalled));
    return;
  }
  const auto answer = ShowMessage(this, MessageIcon::kWarning, Text(kDisplayTitle), Text(kAskRestart),
                                  QMessageBox::Yes | QMessageBox::No);
  if (alive.expired() || answer != QMessageBox::Yes) return;
  if (service_.IsRestricted() || service_.StatusText() == Text(kStatusNoRights)) {
    ShowMessage(this, MessageIcon::kError, Text(kNoRightsTitle), Text(kNoRights));
    return;
  }

  restarting_ = true;
  apply_->setEnabled(false);
  pollCounter_ = 0;
  stopReached_ = startReached_ = false;
  service_.StopService();
  if (alive.expired()) return;
  BeginWait(Wait::kStopped);
}

void SettingsPage::BeginWait(Wait wait) {
  const QString target = Text(wait == Wait::kStopped ? kStatusStopped : kStatusRunning);
  if (service_.StatusText() == target) return EndWait(wait, true);
  std::weak_ptr<int> alive = alive_;
  schedule_(kPollIntervalMs, [this, alive, wait] {
    if (!alive.expired()) Poll(wait);
  });
}

void SettingsPage::Poll(Wait wait) {
  const QString target = Text(wait == Wait::kStopped ? kStatusStopped : kStatusRunning);
  pollCounter_ += kPollStep;
  if (service_.StatusText() == target) return EndWait(wait, true);
  // The start wait goes on with what the stop wait left of the counter.
  if (pollCounter_ >= kPollLimit) return EndWait(wait, false);
  std::weak_ptr<int> alive = alive_;
  schedule_(kPollIntervalMs, [this, alive, wait] {
    if (!alive.expired()) Poll(wait);
  });
}

void SettingsPage::EndWait(Wait wait, bool reached) {
  std::weak_ptr<int> alive = alive_;
  if (wait == Wait::kStopped) {
    stopReached_ = reached;
    if (!reached) ShowMessage(this, MessageIcon::kWarning, Text(kStopTimeoutTitle), Text(kStopTimeout));
    if (alive.expired()) return;
    service_.StartService();
    if (alive.expired()) return;
    BeginWait(Wait::kRunning);
    return;
  }
  startReached_ = reached;
  if (!reached) ShowMessage(this, MessageIcon::kWarning, Text(kStartTimeoutTitle), Text(kStartTimeout));
  if (alive.expired()) return;
  FinishRestart();
}

void SettingsPage::FinishRestart() {
  restarting_ = false;
  apply_->setEnabled(true);
  if (stopReached_ && startReached_) {
    ShowMessage(this, MessageIcon::kInformation, Text(kDisplayTitle), Text(kInEffect));
  } else {
    ShowMessage(this, MessageIcon::kWarning, Text(kDisplayTitle), Text(kNotInEffect));
  }
}

}  // namespace zevra::manager
