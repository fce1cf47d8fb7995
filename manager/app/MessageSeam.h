// The one road every message box of the console takes. The program shows a
// QMessageBox; a test installs its own MessageBoxes that records the box
// (title, text, icon, buttons) and answers it, so no test ever blocks on a
// modal box. The other console areas (hosts, settings, update) use
// ShowMessage too.
#pragma once

#include <QMessageBox>
#include <QString>

namespace zevra::manager {

enum class MessageIcon { kInformation, kWarning, kError, kQuestion };

struct MessageRequest {
  QString title;
  QString text;  // the system's text, "\r\n" for a line break
  MessageIcon icon = MessageIcon::kInformation;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  virtual QMessageBox::StandardButton Show(QWidget* parent, const MessageRequest& request) = 0;
};

// Shows a box through the installed MessageBoxes (the real boxes when none
// is installed) and gives the button that closed it.
QMessageBox::StandardButton ShowMessage(QWidget* parent, MessageIcon icon, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
// Installs boxes (nullptr: back to the real ones). The caller keeps ownership.
void SetMessageBoxes(MessageBoxes* boxes);

}  // namespace zevra::manager
