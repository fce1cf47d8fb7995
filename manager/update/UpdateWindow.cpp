#include "manager/update/UpdateWindow.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QStringDecoder>
#include <QVBoxLayout>

namespace zevra::manager {

PageView::PageView(QWidget* parent) : QTextBrowser(parent) {
  setOpenLinks(false);
  setOpenExternalLinks(false);
}

QVariant PageView::loadResource(int, const QUrl&) {
  ++refused_;
  return QVariant();
}

UpdateWindow::UpdateWindow(QWidget* owner) : QWidget(owner, Qt::Window) {
  setObjectName(QStringLiteral("ZEVRA_GUI_UPDATE"));
  SetVersionCaption(QStringLiteral("Zevra"));
  view_ = new PageView(this);
  view_->setObjectName(QStringLiteral("UpdatePage"));
  update_ = new QPushButton(QStringLiteral("更新"), this);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(update_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(view_);
  layout->addLayout(buttons);
  resize(640, 480);
  connect(view_, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) {
    emit LinkActivated(page_.resolved(link));
  });
  connect(update_, &QPushButton::clicked, this, &UpdateWindow::UpdateRequested);
}

void UpdateWindow::SetVersionCaption(const QString& version) {
  setWindowTitle(QString::fromUtf8(kUpdateWindowCaption).replace(QLatin1Char('#'), version));
}

void UpdateWindow::LoadPage(const QUrl& page, FetchLimits limits) {
  page_ = page;
  delete fetch_;
  fetch_ = new BoundedFetch(limits, this);
  connect(fetch_, &BoundedFetch::Finished, this,
          [this](bool complete, int status, const QByteArray& body, const QString&) {
            fetch_->deleteLater();
            fetch_ = nullptr;
            const bool reached = complete && status == 200;
            if (reached) {
              // The page names its own encoding, as a browser would read it;
              // without one it is UTF-8.
              QStringDecoder decoder = QStringDecoder::decoderForHtml(body);
              if (!decoder.isValid()) decoder = QStringDecoder(QStringConverter::Utf8);
              view_->setHtml(decoder.decode(body));
            } else {
              view_->setPlainText(QString::fromUtf8(kUnreachableText));
            }
            emit PageShown(reached);
          });
  fetch_->Start(page);
}

}  // namespace zevra::manager
