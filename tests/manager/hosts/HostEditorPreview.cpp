// Shows the host list of a program directory and, over it, the host dialog
// in edit mode for its first host, so that a person (or a screenshot under
// Xvfb) can look at both: host_editor_preview <program directory> [add|refuse]
// ("refuse" types a domain that climbs out of Hosts/ and confirms, so the
// refusal's message box shows).
#include <QApplication>
#include <QLineEdit>
#include <QTimer>
#include <QTreeWidget>

#include "manager/hosts/HostDialog.h"
#include "manager/hosts/HostListPage.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  using namespace zevra::manager;
  const std::string directory = argc > 1 ? argv[1] : ".";
  HostListPage page(directory);
  page.resize(900, 320);
  page.LoadHostList();
  page.show();
  const bool add = argc > 2 && std::string(argv[2]) == "add";
  HostDialog dialog(add ? HostDialog::Mode::kAdd : HostDialog::Mode::kEdit, directory, &page);
  if (!add && !page.Rows().empty()) {
    const HostRow& row = page.Rows().front();
    dialog.SetForm(HostForm{row.columns[0], row.columns[1], row.columns[2], row.columns[3], row.columns[4],
                            row.columns[5]});
  }
  dialog.move(40, 360);
  dialog.show();
  if (argc > 2 && std::string(argv[2]) == "refuse") {
    dialog.SetForm(HostForm{"../outside", "/srv/www", "index.html", "Static", "", ""});
    QTimer::singleShot(500, &dialog, [&dialog] { dialog.SaveHost(); });
  }
  return app.exec();
}
