// The host editor against a real Hosts/ folder: what the dialog writes and
// refuses, the list as the server would load it, and the list's actions.
#include <QLineEdit>
#include <QMenu>
#include <QTreeWidget>
#include <QtTest>

#include "ConsoleTestSupport.h"
#include "common/HostFile.h"
#include "manager/hosts/HostDialog.h"
#include "manager/hosts/HostListPage.h"
#include "server/dispatch/HostTable.h"

using namespace zevra;
using namespace zevra::manager;
using namespace zevra::manager::testing;

namespace {

const QString kInvalid = QStringLiteral("存在无效的数据。");

HostForm Form(const char* domain, const char* root, const char* document, const char* permission,
              const char* extension = "", const char* program = "") {
  return HostForm{QString::fromUtf8(domain),     QString::fromUtf8(root),      QString::fromUtf8(document),
                  QString::fromUtf8(permission), QString::fromUtf8(extension), QString::fromUtf8(program)};
}

// Saves form in a dialog of the given mode; gives the dialog's result
// (0 while it stays open).
int Save(const ProgramDirectory& dir, const HostForm& form, HostDialog::Mode mode = HostDialog::Mode::kAdd) {
  HostDialog dialog(mode, dir.Path());
  dialog.SetForm(form);
  dialog.setResult(0);
  dialog.SaveHost();
  return dialog.result();
}

QStringList RowNames(const HostListPage& page) {
  QStringList names;
  for (const HostRow& row : page.Rows()) names << row.columns[0];
  return names;
}

void Select(HostListPage& page, int row) {
  QTreeWidgetItem* item = page.List()->topLevelItem(row);
  page.List()->setCurrentItem(item);
  item->setSelected(true);
}

}  // namespace

class HostEditorTest : public QObject {
  Q_OBJECT

 private slots:
  void WritesTheFileAsTheServerReadsIt() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    // Static with CGI values typed: both become None; the one trailing
    // separator goes.
    QCOMPARE(Save(dir, Form("a.test", "/srv/a/", "index.html", "Static", ".php", "/usr/bin/php-cgi %s")),
             int(QDialog::Accepted));
    QCOMPARE(dir.Read("Hosts/a.test"), QByteArray("/srv/a;index.html;Static;None;None"));
    QCOMPARE(boxes.LastText(), QStringLiteral("a.test 已经成功注册为虚拟主机。\r\n要使这些操作立即生效，你需要重新启动服务。"));
    QCOMPARE(boxes.shown.back().title, QStringLiteral("编辑虚拟主机"));
    // EXECCGI passes and is written as typed; blanks inside the values stay.
    QCOMPARE(Save(dir, Form("b.test", "/srv/b", "index.php", "EXECCGI", ".php", "/usr/bin/php-cgi %s/")),
             int(QDialog::Accepted));
    QCOMPARE(dir.Read("Hosts/b.test"), QByteArray("/srv/b;index.php;EXECCGI;.php;/usr/bin/php-cgi %s"));
    // Edit mode rewrites the file with its own message.
    QCOMPARE(Save(dir, Form("b.test", "/srv/b2", "main.php", "ExecCGI", ".php", "/usr/bin/php-cgi %s"),
                  HostDialog::Mode::kEdit),
             int(QDialog::Accepted));
    QCOMPARE(dir.Read("Hosts/b.test"), QByteArray("/srv/b2;main.php;ExecCGI;.php;/usr/bin/php-cgi %s"));
    QCOMPARE(boxes.LastText(), QStringLiteral("成功地进行了编辑操作。要使这些操作立即生效，你需要重新启动服务。"));
    // What was written is what the server takes.
    HostRecord record;
    const std::string written = dir.Read("Hosts/b.test").toStdString();
    QVERIFY(ParseHostRecord(written, record));
    QCOMPARE(QString::fromStdString(std::string(record.documentRoot)), QStringLiteral("/srv/b2"));
  }

  void RefusalsLeaveTheDialogOpenAndTheFileAlone_data() {
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("root");
    QTest::addColumn<QString>("document");
    QTest::addColumn<QString>("permission");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("message");
    const QString cgi = QStringLiteral("当执行权限为 ExecCGI 时，CGI 文件映射 和 CGI 程序地址 不能为空。");
    const QString perm = QStringLiteral("请输入有效的执行权限，这里的值应该为 \"Static\" 或 \"ExecCGI\"。");
    auto row = [](const char* name, const char* d, const char* r, const char* doc, const char* p, const char* e,
                  const char* g, const QString& m) {
      QTest::newRow(name) << QString::fromUtf8(d) << QString::fromUtf8(r) << QString::fromUtf8(doc)
                          << QString::fromUtf8(p) << QString::fromUtf8(e) << QString::fromUtf8(g) << m;
    };
    row("blank domain", "  ", "/srv", "index.html", "Static", "", "", kInvalid);
    row("blank root", "a.test", " ", "index.html", "Static", "", "", kInvalid);
    row("blank permission", "a.test", "/srv", "index.html", " ", "", "", kInvalid);
    row("separator in domain", "../etc/x", "/srv", "index.html", "Static", "", "", kInvalid);
    row("dot-dot domain", "..", "/srv", "index.html", "Static", "", "", kInvalid);
    row("backslash domain", "a\\b", "/srv", "index.html", "Static", "", "", kInvalid);
    row("port in domain", "a.test:8080", "/srv", "index.html", "Static", "", "", kInvalid);
    row("blanks around domain", " a.test", "/srv", "index.html", "Static", "", "", kInvalid);
    row("semicolon in root", "a.test", "/srv;x", "index.html", "Static", "", "", kInvalid);
    row("line break in program", "a.test", "/srv", "index.php", "ExecCGI", ".php", "php\nx", kInvalid);
    row("semicolon in extension", "a.test", "/srv", "index.php", "ExecCGI", ".php;", "php", kInvalid);
    row("document without dot", "a.test", "/srv", "index", "Static", "", "", kInvalid);
    row("root only a separator", "a.test", "/", "index.html", "Static", "", "", kInvalid);
    row("unknown permission", "a.test", "/srv", "index.html", "CGI", "", "", perm);
    row("cgi without program", "a.test", "/srv", "index.php", "execcgi", ".php", "  ", cgi);
    row("cgi without extension", "a.test", "/srv", "index.php", "ExecCGI", "", "php-cgi", cgi);
  }
  void RefusalsLeaveTheDialogOpenAndTheFileAlone() {
    QFETCH(QString, domain);
    QFETCH(QString, root);
    QFETCH(QString, document);
    QFETCH(QString, permission);
    QFETCH(QString, extension);
    QFETCH(QString, program);
    QFETCH(QString, message);
    ProgramDirectory dir;
    RecordingBoxes boxes;
    dir.Write(QStringLiteral("Hosts/a.test"), "/old;index.html;Static;None;None");
    QCOMPARE(Save(dir, HostForm{domain, root, document, permission, extension, program}), 0);
    QCOMPARE(boxes.shown.size(), size_t(1));
    QCOMPARE(boxes.shown[0].text, message);
    QCOMPARE(boxes.shown[0].title, QStringLiteral("错误"));
    QVERIFY(boxes.shown[0].icon == MessageIcon::kError);
    QCOMPARE(dir.Read("Hosts/a.test"), QByteArray("/old;index.html;Static;None;None"));
    QCOMPARE(QDir(dir.File("Hosts")).entryList(QDir::Files | QDir::Hidden).size(), 1);
    QVERIFY(!QFile::exists(QStringLiteral("/etc/x")));
  }

  void UpperCaseDomainIsWrittenAfterAWarning() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    QCOMPARE(Save(dir, Form("Www.Example.test", "/srv", "index.html", "Static")), int(QDialog::Accepted));
    QCOMPARE(boxes.shown.size(), size_t(2));
    QVERIFY(boxes.shown[0].icon == MessageIcon::kWarning);
    QVERIFY(dir.Exists("Hosts/Www.Example.test"));
  }

  void AFailedWriteKeepsTheOldHost() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    dir.Write(QStringLiteral("Hosts/a.test"), "/old;index.html;Static;None;None");
    ::chmod(dir.File("Hosts").toLocal8Bit().constData(), 0555);
    int result = 0;
    {
      WithoutRootRights user;
      QVERIFY(user.Ok());
      result = Save(dir, Form("a.test", "/new", "index.html", "Static"), HostDialog::Mode::kEdit);
    }
    ::chmod(dir.File("Hosts").toLocal8Bit().constData(), 0755);
    QCOMPARE(result, int(QDialog::Rejected));  // the dialog closes
    QCOMPARE(boxes.LastText(), QStringLiteral("创建配置文件失败！"));
    QCOMPARE(boxes.shown.back().title, QStringLiteral("保存失败"));
    QVERIFY(boxes.shown.back().icon == MessageIcon::kError);
    QCOMPARE(dir.Read("Hosts/a.test"), QByteArray("/old;index.html;Static;None;None"));
  }

  void ListShowsWhatTheServerLoads() {
    ProgramDirectory dir;
    dir.Write("Hosts/crlf.test", "/srv/c;index.html;ExecCGI;.cgi;/usr/bin/perl %s\r\n");
    dir.Write("Hosts/plain.test", "/srv/p;index.html;Static;None;None;");
    dir.Write("Hosts/nodot.test", "/srv/n;index;Static;None;None");
    dir.Write("Hosts/large.test", QByteArray(kMaxHostFileBytes + 1, 'x'));
    dir.Write("Hosts/empty.test", "");
    QDir(dir.File("Hosts")).mkpath("folder.test");
    std::vector<HostRow> rows = LoadHostRows(dir.Path());
    LoadHostFiles(dir.Path());
    QCOMPARE(rows.size(), Hosts().Count());  // the folder is not listed by either
    for (const HostRow& row : rows) {
      if (row.kind == HostRow::Kind::kBroken) {
        // Unreadable, too large or empty: the server has no record either.
        const std::string name = row.path.substr(row.path.rfind('/') + 1);
        QVERIFY2(SelectHost(name).outcome == HostOutcome::kNotConfigured, name.c_str());
        continue;
      }
      QVERIFY(row.kind == HostRow::Kind::kHost);
      std::string_view fields[kHostFieldCount];
      QCOMPARE(SplitHostFields(Hosts().Lookup(row.columns[0].toStdString()), fields), kHostFieldCount);
      for (size_t i = 0; i < kHostFieldCount; ++i) {
        QCOMPARE(row.columns[i + 1], QString::fromStdString(std::string(fields[i])));
      }
    }
    QStringList names;
    for (const HostRow& row : rows) names << row.columns[0];
    QVERIFY(names.contains("crlf.test") && names.contains("plain.test") && names.contains("nodot.test"));
    QCOMPARE(names.count(QStringLiteral("域名配置错误。")), 2);  // large and empty
  }

  void AFourFieldFileStopsTheListing() {
    ProgramDirectory dir;
    dir.Write("Hosts/four.test", "a;b;c;d;");
    for (int i = 0; i < 5; ++i) dir.Write(QStringLiteral("Hosts/h%1.test").arg(i), "/srv;index.html;Static;None;None");
    std::vector<HostRow> rows = LoadHostRows(dir.Path());
    // Whatever the file system's order, the listing ends at the broken file.
    std::vector<HostFileName> files = ListHostFiles(dir.Path());
    size_t stop = 0;
    while (files[stop].name != "four.test") ++stop;
    QCOMPARE(rows.size(), stop + 1);
    QVERIFY(rows.back().kind == HostRow::Kind::kBroken);
    QCOMPARE(rows.back().columns[0], QStringLiteral("域名配置错误。"));
    LoadHostFiles(dir.Path());
    QVERIFY(SelectHost("four.test").outcome == HostOutcome::kBadRecord);
  }

  void ListActionsAndThePlaceholder() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    HostListPage page(dir.Path());
    page.LoadHostList();
    QCOMPARE(RowNames(page), QStringList{"无任何虚拟主机"});
    QCOMPARE(page.Rows()[0].columns[1], QString::fromStdString(dir.Path() + "/WebRoot"));
    page.EditHost();
    QCOMPARE(boxes.LastText(), QStringLiteral("请选择一个站点再进行操作。"));
    Select(page, 0);
    page.EditHost();
    QCOMPARE(boxes.LastText(), QStringLiteral("当前没有任何虚拟主机。"));
    page.DeleteHost();
    QCOMPARE(boxes.LastText(), QStringLiteral("当前没有任何虚拟主机。"));

    // Add through the dialog as a user would.
    page.SetDialogRunner([](HostDialog& dialog) {
      dialog.DomainField()->setText("site.test");
      dialog.Field(1)->setText("/srv/site");
      dialog.Field(2)->setText("index.html");
      dialog.Field(3)->setText("Static");
      dialog.SaveHost();
      return dialog.result();
    });
    page.AddHost();
    QCOMPARE(RowNames(page), QStringList{"site.test"});

    // Edit mode: the dialog gets the row, with its domain fixed.
    Select(page, 0);
    QString title, shownRoot;
    bool domainFixed = false;
    page.SetDialogRunner([&](HostDialog& dialog) {
      title = dialog.windowTitle();
      domainFixed = dialog.DomainField()->isReadOnly();
      shownRoot = dialog.Field(1)->text();
      dialog.Field(1)->setText("/srv/other");
      dialog.SaveHost();
      return dialog.result();
    });
    page.EditHost();
    QCOMPARE(title, QStringLiteral("虚拟主机管理：编辑模式"));
    QVERIFY(domainFixed);
    QCOMPARE(shownRoot, QStringLiteral("/srv/site"));
    QCOMPARE(dir.Read("Hosts/site.test"), QByteArray("/srv/other;index.html;Static;None;None"));

    // Delete: No keeps it, Yes removes it and the placeholder comes back.
    Select(page, 0);
    boxes.answerYes = false;
    page.DeleteHost();
    QCOMPARE(boxes.LastText(), QStringLiteral("你确定要删除虚拟主机：site.test 吗？"));
    QVERIFY(boxes.shown.back().icon == MessageIcon::kWarning);
    QVERIFY(dir.Exists("Hosts/site.test"));
    boxes.answerYes = true;
    Select(page, 0);
    page.DeleteHost();
    QVERIFY(!dir.Exists("Hosts/site.test"));
    QCOMPARE(boxes.LastText(), QStringLiteral("删除操作已经成功执行。要使这些操作立即生效，你需要重新启动服务。"));
    QCOMPARE(RowNames(page), QStringList{"无任何虚拟主机"});
  }

  void BrokenFilesCanBeDeletedButNotEdited() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    dir.Write("Hosts/broken.test", "");
    HostListPage page(dir.Path());
    page.LoadHostList();
    QCOMPARE(RowNames(page), QStringList{"域名配置错误。"});
    Select(page, 0);
    page.EditHost();
    QCOMPARE(boxes.LastText(), QStringLiteral("域名配置错误。请尝试删除这个无效的配置。"));
    std::unique_ptr<QMenu> menu(page.BuildContextMenu());
    QList<QAction*> entries = menu->actions();
    QVERIFY(entries[0]->isEnabled());
    QVERIFY(!entries[1]->isEnabled());
    QVERIFY(entries[2]->isEnabled());
    page.DeleteHost();
    QCOMPARE(boxes.shown[boxes.shown.size() - 2].text, QStringLiteral("你确定要删除虚拟主机：broken.test 吗？"));
    QVERIFY(!dir.Exists("Hosts/broken.test"));
    QCOMPARE(RowNames(page), QStringList{"无任何虚拟主机"});

    // Nothing selected: only the new entry.
    page.List()->clearSelection();
    page.List()->setCurrentItem(nullptr);
    menu.reset(page.BuildContextMenu());
    entries = menu->actions();
    QVERIFY(entries[0]->isEnabled() && !entries[1]->isEnabled() && !entries[2]->isEnabled());
  }

  void AFailedDeleteSaysSo() {
    ProgramDirectory dir;
    RecordingBoxes boxes;
    dir.Write("Hosts/keep.test", "/srv;index.html;Static;None;None");
    HostListPage page(dir.Path());
    page.LoadHostList();
    Select(page, 0);
    ::chmod(dir.File("Hosts").toLocal8Bit().constData(), 0555);
    {
      WithoutRootRights user;
      QVERIFY(user.Ok());
      page.DeleteHost();
    }
    ::chmod(dir.File("Hosts").toLocal8Bit().constData(), 0755);
    QVERIFY(dir.Exists("Hosts/keep.test"));
    QCOMPARE(boxes.shown.back().title, QStringLiteral("删除失败"));
    QVERIFY(boxes.LastText().startsWith(QStringLiteral("删除虚拟主机配置文件失败！\r\nOS信息 : (13) ")));
    QCOMPARE(RowNames(page), QStringList{"keep.test"});
  }
};

QTEST_MAIN(HostEditorTest)
#include "HostEditorTest.moc"
