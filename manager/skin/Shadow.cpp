// The drop shadow window and its picture. The shadow hangs off its target as
// two child objects found by name: the window "WndShadow" (with its colour
// and size) and the event filter "WndShadow.Filter", so being "on" is simply
// having them, and deleting the target deletes both.
#include "manager/skin/Shadow.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QRegion>
#include <QWidget>
#include <QWindow>

#include <algorithm>

#ifdef ZEVRA_HAVE_DESKTOP_PROBE
#include "platform/Desktop.h"
#endif

namespace zevra::manager {
namespace {

constexpr char kShadowWindowName[] = "WndShadow";
constexpr char kShadowFilterName[] = "WndShadow.Filter";

// The corner radius of every ring: enough to soften the shadow's corners,
// small enough to leave the edges along a window's sides straight.
constexpr qreal kRingRadius = 4;

std::function<bool()>& CompositorProbe() {
  static std::function<bool()> probe;
  return probe;
}

bool DesktopCanShowShadow() {
  if (CompositorProbe()) return CompositorProbe()();
  const QString platformName = QGuiApplication::platformName();
  // A Wayland client cannot place a top-level window of its own, so the
  // shadow would lie anywhere but behind its target (XWayland, the xcb
  // platform, can).
  if (platformName.startsWith(QLatin1String("wayland"))) return false;
#ifdef ZEVRA_HAVE_DESKTOP_PROBE
  // Only the X11 connection can lack a compositor: Windows and the
  // off-screen platform always blend.
  if (platformName == QLatin1String("xcb")) return platform::DesktopComposesWindows();
#endif
  return true;
}

class ShadowWindow : public QWidget {
 public:
  explicit ShadowWindow(QWidget* target)
      : QWidget(target, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowTransparentForInput |
                            Qt::WindowDoesNotAcceptFocus | Qt::NoDropShadowWindowHint) {
    setObjectName(QLatin1String(kShadowWindowName));
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_NoSystemBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
  }

  QColor colour = Qt::black;
  int size = kDefaultShadowSize;
  bool desktopBlends = true;
  QImage picture;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    if (!picture.isNull()) painter.drawImage(0, 0, picture);
  }
};

class ShadowFilter : public QObject {
 public:
  explicit ShadowFilter(QWidget* target) : QObject(target), target_(target) {
    setObjectName(QLatin1String(kShadowFilterName));
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != target_) return false;
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::WindowStateChange:
        UpdateShadow(target_, false, false);
        break;
      case QEvent::Show:
        FollowNativeWindow();
        UpdateShadow(target_, true, true);
        break;
      case QEvent::Hide:
        UpdateShadow(target_, false, true);
        break;
      default:
        break;
    }
    return false;
  }

  // A top-level target's native window can be placed without the widget
  // hearing a move: on X11 the window is put where the command line
  // (-qwindowgeometry) or the session wants it only as it is mapped, after
  // the widget's show. The native window's own geometry signals catch that;
  // queued, so the widget's geometry has caught up when the shadow reads it.
  void FollowNativeWindow() {
    QWindow* native = target_->isWindow() ? target_->windowHandle() : nullptr;
    if (native == nullptr || native == followed_) return;
    if (followed_) disconnect(followed_, nullptr, this, nullptr);
    followed_ = native;
    for (auto changed : {&QWindow::xChanged, &QWindow::yChanged, &QWindow::widthChanged, &QWindow::heightChanged})
      connect(native, changed, this, [this] { UpdateShadow(target_, false, false); }, Qt::QueuedConnection);
  }

 private:
  QWidget* target_;
  QPointer<QWindow> followed_;
};

ShadowWindow* FindShadowWindow(QWidget* target) {
  return target->findChild<ShadowWindow*>(QLatin1String(kShadowWindowName), Qt::FindDirectChildrenOnly);
}

ShadowFilter* FindShadowFilter(QWidget* target) {
  return target->findChild<ShadowFilter*>(QLatin1String(kShadowFilterName), Qt::FindDirectChildrenOnly);
}

// The target's outer rectangle on the screen, window frame included.
QRect ScreenFrame(const QWidget* target) {
  if (target->isWindow()) return target->frameGeometry();
  return QRect(target->mapToGlobal(QPoint(0, 0)), target->size());
}

int RingAlphaStep(int size) { return size <= 8 ? 100 / size : 150 / size; }

}  // namespace

bool SetWindowShadow(QWidget* target, QColor colour, int size, bool useSize) {
  if (target == nullptr) return false;
  if (useSize && size < 1) {
    delete FindShadowWindow(target);
    delete FindShadowFilter(target);
    return false;
  }
  auto* shadow = static_cast<ShadowWindow*>(GetShadowWindow(target));
  shadow->colour = colour;
  shadow->size = useSize ? size : kDefaultShadowSize;
  shadow->desktopBlends = DesktopCanShowShadow();
  UpdateShadow(target, false, false);
  ShadowFilter* filter = FindShadowFilter(target);
  if (filter == nullptr) {
    filter = new ShadowFilter(target);
    target->installEventFilter(filter);
  }
  filter->FollowNativeWindow();
  return true;
}

QWidget* GetShadowWindow(QWidget* target) {
  if (target == nullptr) return nullptr;
  if (ShadowWindow* shadow = FindShadowWindow(target)) return shadow;
  return new ShadowWindow(target);
}

void UpdateShadow(QWidget* target, bool visible, bool visibilityGiven) {
  if (target == nullptr) return;
  ShadowWindow* shadow = FindShadowWindow(target);
  if (shadow == nullptr) return;
  if (!visibilityGiven) visible = target->isVisible();
  const QRect frame = ScreenFrame(target);
  // A target with no area has nothing to cast a shadow around; a desktop
  // without blending would show the transparent pixels as black.
  if (!visible || target->isMaximized() || target->isMinimized() || frame.isEmpty() ||
      !shadow->desktopBlends) {
    shadow->hide();
    return;
  }
  const int s = shadow->size;
  shadow->setGeometry(frame.adjusted(-s, -s, s, s));
  PaintShadow(target, frame.width() + 2 * s, frame.height() + 2 * s);
  if (!shadow->isVisible()) shadow->show();
}

void PaintShadow(QWidget* target, int width, int height) {
  if (target == nullptr) return;
  ShadowWindow* shadow = FindShadowWindow(target);
  if (shadow == nullptr) return;
  if (width == 0 || height == 0) {
    width = shadow->width();
    height = shadow->height();
    if (width <= 0 || height <= 0) return;
  }
  shadow->picture = DrawShadowPicture(width, height, shadow->size, shadow->colour);
  shadow->update();
}

QPainterPath RoundedRectanglePath(qreal x, qreal y, qreal width, qreal height, qreal radius) {
  QPainterPath path;
  if (radius <= 0) {
    path.addRect(x, y, width, height);
    return path;
  }
  radius = std::clamp<qreal>(radius, 1, 100);
  const qreal d = 2 * radius;
  // Qt counts angles counter-clockwise on the screen, so each corner runs
  // from its start with a sweep of -90 degrees, clockwise round the figure.
  path.arcMoveTo(x, y, d, d, 180);
  path.arcTo(x, y, d, d, 180, -90);
  path.arcTo(x + width - d, y, d, d, 90, -90);
  path.arcTo(x + width - d, y + height - d, d, d, 0, -90);
  path.arcTo(x, y + height - d, d, d, 270, -90);
  path.closeSubpath();
  return path;
}

QImage DrawShadowPicture(int width, int height, int size, QColor colour) {
  if (width <= 0 || height <= 0) return QImage();
  QImage picture(width, height, QImage::Format_ARGB32_Premultiplied);
  picture.fill(Qt::transparent);
  if (size < 1) return picture;
  const int step = RingAlphaStep(size);
  QPainter painter(&picture);
  // Everything but the area the target window covers itself.
  painter.setClipRegion(QRegion(0, 0, width, height).subtracted(
      QRegion(size, size, width - 2 * size, height - 2 * size)));
  painter.setRenderHint(QPainter::Antialiasing);
  // Qt puts a pixel's centre at +0.5; a one-pixel line on whole coordinates
  // would smear over two pixels at half strength each.
  painter.translate(0.5, 0.5);
  for (int i = 1; i <= size; ++i) {
    QColor ring = colour;
    ring.setAlpha(std::min(step * i, 255));
    QPen pen(ring, 1.0);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(RoundedRectanglePath(i - 1, i - 1, width - 2 * i + 1, height - 2 * i + 1, kRingRadius));
  }
  return picture;
}

void SetShadowCompositorProbe(std::function<bool()> probe) { CompositorProbe() = std::move(probe); }

}  // namespace zevra::manager
