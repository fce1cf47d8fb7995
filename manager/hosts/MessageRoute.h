// The message boxes of the host and settings editors go through the main
// window's one seam (manager/app/MessageSeam.h), which tests replace. Until
// that seam is in the tree, a stand-in of the same shape takes its place.
#pragma once

#if __has_include("manager/app/MessageSeam.h")
#include "manager/app/MessageSeam.h"
#else
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

QMessageBox::StandardButton ShowMessage(QWidget* parent, MessageIcon icon, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons = QMessageBox::Ok);
void SetMessageBoxes(MessageBoxes* boxes);

}  // namespace zevra::manager
#endif
