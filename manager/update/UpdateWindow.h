// ZEVRA_GUI_UPDATE: the update server's page inside the console, and the
// button that starts the updater. The page is fetched by the console itself
// and shown in a text browser that loads nothing on its own: no image, no
// style sheet, no frame, and no navigation; a click on a link is handed to
// the user's browser.
#pragma once

#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

#include <functional>

#include "manager/update/BoundedFetch.h"

class QPushButton;

namespace zevra::manager {

// The caption template; '#' stands for the version shown.
inline constexpr char kUpdateWindowCaption[] = "# 更新";
inline constexpr char kUnreachableText[] = "无法连接到服务器";

// A text browser that never fetches a resource a page names.
class PageView : public QTextBrowser {
 public:
  explicit PageView(QWidget* parent = nullptr);
  QVariant loadResource(int type, const QUrl& name) override;
  // Resources the page asked for (and did not get), for the curious.
  int RefusedResources() const { return refused_; }

 private:
  int refused_ = 0;
};

class UpdateWindow : public QWidget {
  Q_OBJECT

 public:
  explicit UpdateWindow(QWidget* owner);

  // Caption: the template with every '#' replaced by `version`.
  void SetVersionCaption(const QString& version);
  // Fetches the page and shows it; an unreachable page shows kUnreachableText.
  void LoadPage(const QUrl& page, FetchLimits limits);

  PageView* View() const { return view_; }
  QPushButton* UpdateButton() const { return update_; }
  QUrl PageAddress() const { return page_; }

 signals:
  // A link of the page, made absolute against the page's address.
  void LinkActivated(const QUrl& url);
  void UpdateRequested();
  // The page (or the unreachable text) is on show.
  void PageShown(bool reached);

 private:
  PageView* view_;
  QPushButton* update_;
  QUrl page_;
  BoundedFetch* fetch_ = nullptr;
};

}  // namespace zevra::manager
