#include "manager/hosts/HostDialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "common/HostFile.h"
#include "manager/app/ConsoleTexts.h"
#include "manager/app/MessageSeam.h"
#include "platform/System.h"

namespace zevra::manager {
namespace {

constexpr const char* kAddTitle = "虚拟主机管理：添加主机";
constexpr const char* kEditTitle = "虚拟主机管理：编辑模式";
constexpr const char* kErrorTitle = "错误";
constexpr const char* kSavedTitle = "编辑虚拟主机";
constexpr const char* kSaveFailedTitle = "保存失败";
constexpr const char* kWarningTitle = "警告";
constexpr const char* kInvalidData = "存在无效的数据。";
constexpr const char* kBadPermission = "请输入有效的执行权限，这里的值应该为 \"Static\" 或 \"ExecCGI\"。";
constexpr const char* kCgiFieldsMissing = "当执行权限为 ExecCGI 时，CGI 文件映射 和 CGI 程序地址 不能为空。";
constexpr const char* kWriteFailed = "创建配置文件失败！";
constexpr const char* kEdited = "成功地进行了编辑操作。要使这些操作立即生效，你需要重新启动服务。";
constexpr const char* kAddedSuffix = " 已经成功注册为虚拟主机。\r\n要使这些操作立即生效，你需要重新启动服务。";
constexpr const char* kUpperCaseDomain =
    "域名中含有大写字母。服务器按域名的原样区分大小写进行匹配，而浏览器发送的域名通常是小写的，"
    "这个站点可能无法被访问到。";

struct FieldText {
  const char* label;
  const char* hint;
};

// The hints name examples of this platform's paths.
const FieldText* FieldTexts() {
  static const FieldText windows[6] = {
      {"绑定域名：", "不带 \"http\"，如 www.example.com"},
      {"站点目录：", "如：D:\\wwwroot，末尾不带 \"\\\""},
      {"默认文档：", "如：index.html 或 index.php 或 index.cgi"},
      {"执行权限：", "PHP/CGI 站点填写 \"ExecCGI\"，否则为 \"Static\""},
      {"CGI 文件映射：", "如：\".php\"、“.py”，不是 CGI 站点请留空"},
      {"CGI 程序地址：", "如：\"F:\\PHP\\php-cgi.exe\"，不是 CGI 站点请留空"},
  };
  static const FieldText posix[6] = {
      {"绑定域名：", "不带 \"http\"，如 www.example.com"},
      {"站点目录：", "如：/srv/www，末尾不带 \"/\""},
      {"默认文档：", "如：index.html 或 index.php 或 index.cgi"},
      {"执行权限：", "PHP/CGI 站点填写 \"ExecCGI\"，否则为 \"Static\""},
      {"CGI 文件映射：", "如：\".php\"、“.py”，不是 CGI 站点请留空"},
      {"CGI 程序地址：", "如：\"/usr/bin/php-cgi %s\"，不是 CGI 站点请留空"},
  };
  return platform::kPathSeparator == '\\' ? windows : posix;
}

const char* ScriptHint() {
  return platform::kPathSeparator == '\\'
             ? "Python 等脚本引擎请在 CGI 程序地址 后添加 %s，如：D:\\Python\\python.exe %s"
             : "Python 等脚本引擎请在 CGI 程序地址 后添加 %s，如：/usr/bin/python3 %s";
}

using texts::Text;

}  // namespace

HostDialog::HostDialog(Mode mode, std::string programDirectory, QWidget* parent)
    : QDialog(parent), mode_(mode), programDirectory_(std::move(programDirectory)) {
  setObjectName(QStringLiteral("ZEVRA_GUI_A_E_VHOST"));
  setWindowTitle(Text(mode == Mode::kAdd ? kAddTitle : kEditTitle));
  setModal(true);

  auto* grid = new QGridLayout(this);
  const FieldText* texts = FieldTexts();
  for (int i = 0; i < 6; ++i) {
    fields_[i] = new QLineEdit(this);
    fields_[i]->setMinimumWidth(260);
    auto* hint = new QLabel(Text(texts[i].hint), this);
    hint->setStyleSheet(QStringLiteral("color: #666666;"));
    grid->addWidget(new QLabel(Text(texts[i].label), this), i, 0);
    grid->addWidget(fields_[i], i, 1);
    grid->addWidget(hint, i, 2);
  }
  auto* scriptHint = new QLabel(Text(ScriptHint()), this);
  scriptHint->setStyleSheet(QStringLiteral("color: #666666;"));
  grid->addWidget(scriptHint, 6, 0, 1, 3);
  // The domain is the file's name: an edit rewrites the host it was opened
  // for, and another name is a new host (add it, then delete the old one).
  fields_[0]->setReadOnly(mode == Mode::kEdit);

  auto* buttons = new QDialogButtonBox(this);
  confirm_ = buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
  buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
  grid->addWidget(buttons, 7, 0, 1, 3);
  connect(confirm_, &QPushButton::clicked, this, [this] { SaveHost(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void HostDialog::SetForm(const HostForm& form) {
  const QString* values[6] = {&form.domain,           &form.documentRoot, &form.defaultDocument,
                              &form.executePermission, &form.cgiExtension, &form.cgiProgram};
  for (int i = 0; i < 6; ++i) fields_[i]->setText(*values[i]);
}

HostForm HostDialog::Form() const {
  return HostForm{fields_[0]->text(), fields_[1]->text(), fields_[2]->text(),
                  fields_[3]->text(), fields_[4]->text(), fields_[5]->text()};
}

void HostDialog::SaveHost() {
  HostForm form = Form();
  const HostCheck check = CheckHostForm(form);
  // The fields show what the checks changed (the trailing separator, the
  // "None" of a static host), as they will be written.
  SetForm(form);
  switch (check) {
    case HostCheck::kAccepted:
      break;
    case HostCheck::kInvalidData:
      ShowMessage(this, MessageIcon::kError, Text(kErrorTitle), Text(kInvalidData));
      return;
    case HostCheck::kBadPermission:
      ShowMessage(this, MessageIcon::kError, Text(kErrorTitle), Text(kBadPermission));
      return;
    case HostCheck::kCgiFieldsMissing:
      ShowMessage(this, MessageIcon::kError, Text(kErrorTitle), Text(kCgiFieldsMissing));
      return;
  }
  if (HasUpperCaseLetters(form.domain)) {
    ShowMessage(this, MessageIcon::kWarning, Text(kWarningTitle), Text(kUpperCaseDomain));
  }
  int error = 0;
  if (!WriteHostFile(programDirectory_, form.domain.toStdString(), HostFileContent(form), error)) {
    ShowMessage(this, MessageIcon::kError, Text(kSaveFailedTitle), Text(kWriteFailed));
    reject();
    return;
  }
  if (mode_ == Mode::kEdit) {
    ShowMessage(this, MessageIcon::kInformation, Text(kSavedTitle), Text(kEdited));
  } else {
    ShowMessage(this, MessageIcon::kInformation, Text(kSavedTitle), form.domain + Text(kAddedSuffix));
  }
  accept();
}

}  // namespace zevra::manager
