// ZEVRA_GUI_A_E_VHOST: the modal dialog that adds or edits one virtual host
// and writes its file in Hosts/. The mode is chosen when it opens; in edit
// mode the domain (the file's name) is fixed, so an edit always rewrites
// the host it was opened for.
#pragma once

#include <QDialog>
#include <string>

#include "manager/hosts/HostList.h"

class QLineEdit;
class QPushButton;

namespace zevra::manager {

class HostDialog : public QDialog {
 public:
  enum class Mode { kAdd, kEdit };

  HostDialog(Mode mode, std::string programDirectory, QWidget* parent = nullptr);

  Mode DialogMode() const { return mode_; }
  void SetForm(const HostForm& form);
  HostForm Form() const;

  // The confirm button: checks, writes and reports; a refusal leaves the
  // dialog open, anything else closes it (accepted when the file was
  // written).
  void SaveHost();

  QLineEdit* DomainField() const { return fields_[0]; }
  QLineEdit* Field(int column) const { return fields_[column]; }
  QPushButton* ConfirmButton() const { return confirm_; }

 private:
  Mode mode_;
  std::string programDirectory_;
  QLineEdit* fields_[6] = {};
  QPushButton* confirm_ = nullptr;
};

}  // namespace zevra::manager
