#include "manager/app/MessageSeam.h"

#include "manager/app/ConsoleTexts.h"

namespace zevra::manager {
namespace {

class RealMessageBoxes : public MessageBoxes {
 public:
  QMessageBox::StandardButton Show(QWidget* parent, const MessageRequest& request) override {
    QMessageBox::Icon icon = QMessageBox::Information;
    switch (request.icon) {
      case MessageIcon::kInformation: icon = QMessageBox::Information; break;
      case MessageIcon::kWarning: icon = QMessageBox::Warning; break;
      case MessageIcon::kError: icon = QMessageBox::Critical; break;
      case MessageIcon::kQuestion: icon = QMessageBox::Question; break;
    }
    QMessageBox box(icon, request.title, texts::ScreenText(request.text), request.buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
  }
};

MessageBoxes* g_installed = nullptr;

}  // namespace

QMessageBox::StandardButton ShowMessage(QWidget* parent, MessageIcon icon, const QString& title, const QString& text,
                                        QMessageBox::StandardButtons buttons) {
  static RealMessageBoxes real;
  MessageBoxes* boxes = g_installed != nullptr ? g_installed : &real;
  return boxes->Show(parent, MessageRequest{title, text, icon, buttons});
}

void SetMessageBoxes(MessageBoxes* boxes) { g_installed = boxes; }

}  // namespace zevra::manager
