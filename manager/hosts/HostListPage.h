// The host list of the main window: one row per file in Hosts/, the add,
// edit and delete actions with their messages, and the list's context menu.
// Rows of broken files carry their file's path, so that such a file can be
// deleted from here.
#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "manager/hosts/HostDialog.h"
#include "manager/hosts/HostList.h"

class QMenu;
class QPushButton;
class QTreeWidget;

namespace zevra::manager {

class HostListPage : public QWidget {
 public:
  explicit HostListPage(std::string programDirectory, QWidget* parent = nullptr);

  // Reloads the list from Hosts/.
  void LoadHostList();
  void AddHost();
  void EditHost();
  void DeleteHost();

  // How the dialog runs: modally by default; tests fill and confirm it
  // instead. Gives QDialog::Accepted or Rejected.
  void SetDialogRunner(std::function<int(HostDialog&)> runner) { runDialog_ = std::move(runner); }

  // The context menu for the current selection (owned by the caller).
  QMenu* BuildContextMenu();

  QTreeWidget* List() const { return list_; }
  const std::vector<HostRow>& Rows() const { return rows_; }
  QPushButton* AddButton() const { return addButton_; }
  QPushButton* EditButton() const { return editButton_; }
  QPushButton* DeleteButton() const { return deleteButton_; }

 private:
  // The selected row, or nullptr.
  const HostRow* SelectedRow() const;
  void ShowListMessage(const char* text);

  std::string programDirectory_;
  std::vector<HostRow> rows_;
  std::function<int(HostDialog&)> runDialog_;
  QTreeWidget* list_ = nullptr;
  QPushButton* addButton_ = nullptr;
  QPushButton* editButton_ = nullptr;
  QPushButton* deleteButton_ = nullptr;
};

}  // namespace zevra::manager
