// The drop shadow: its picture pixel by pixel, and its window following the
// target through moves, resizes, hiding, minimising and maximising.
#include <QApplication>
#include <QTest>
#include <QWidget>
#include <QWindow>

#include <vector>

#include "manager/skin/Shadow.h"

using namespace zevra::manager;

namespace {

quint32 RawPixel(const QImage& image, int x, int y) {
  return reinterpret_cast<const quint32*>(image.constScanLine(y))[x];
}

int Alpha(const QImage& image, int x, int y) { return int(RawPixel(image, x, y) >> 24); }

QWidget* ShadowOf(QWidget& target) {
  return target.findChild<QWidget*>(QStringLiteral("WndShadow"), Qt::FindDirectChildrenOnly);
}

int FilterCount(QWidget& target) {
  return int(target.findChildren<QObject*>(QStringLiteral("WndShadow.Filter"), Qt::FindDirectChildrenOnly).size());
}

// What the shadow window shows, rendered into a transparent image.
QImage Rendered(QWidget* shadow) {
  QImage image(shadow->size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  shadow->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

}  // namespace

class ShadowTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { SetShadowCompositorProbe({}); }

  // The first window of the process is placed by -qwindowgeometry (given by
  // main below) as it is mapped, after its show, and the widget hears of
  // no move. Must stay the first test that shows a window.
  void followsAPlacementTheWidgetDoesNotHear() {
    QWidget target;
    target.resize(300, 200);
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QTRY_COMPARE_WITH_TIMEOUT(target.frameGeometry().topLeft(), QPoint(140, 90), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(ShadowOf(target)->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3), 5000);
  }

  void ringsOfSizeThreeLieOnePixelApartWithNothingInsideOrOutside() {
    const int w = 40, h = 30;
    const QImage picture = DrawShadowPicture(w, h, 3, Qt::black);
    QCOMPARE(picture.size(), QSize(w, h));
    const int expected[] = {33, 66, 99};
    for (int ring = 0; ring < 3; ++ring) {
      QCOMPARE(Alpha(picture, ring, h / 2), expected[ring]);
      QCOMPARE(Alpha(picture, w - 1 - ring, h / 2), expected[ring]);
      QCOMPARE(Alpha(picture, w / 2, ring), expected[ring]);
      QCOMPARE(Alpha(picture, w / 2, h - 1 - ring), expected[ring]);
      // Black: the colour channels stay 0 in premultiplied form too.
      QCOMPARE(RawPixel(picture, ring, h / 2) & 0xFFFFFFu, 0u);
    }
    // The area of the target itself: not one pixel touched.
    for (int y = 3; y < h - 3; ++y)
      for (int x = 3; x < w - 3; ++x) QCOMPARE(RawPixel(picture, x, y), 0u);
    // The rounded corners leave the picture's own corners transparent.
    QCOMPARE(RawPixel(picture, 0, 0), 0u);
    QCOMPARE(RawPixel(picture, w - 1, 0), 0u);
    QCOMPARE(RawPixel(picture, 0, h - 1), 0u);
    QCOMPARE(RawPixel(picture, w - 1, h - 1), 0u);
  }

  void widerShadowsUseTheFlatterStep() {
    // Above size 8 the step is 150 / size, cut: 16 for 9, 15 for 10.
    const QImage nine = DrawShadowPicture(60, 50, 9, Qt::black);
    QCOMPARE(Alpha(nine, 0, 25), 16);
    QCOMPARE(Alpha(nine, 8, 25), 144);
    QCOMPARE(Alpha(nine, 9, 25), 0);
    const QImage ten = DrawShadowPicture(60, 50, 10, Qt::black);
    QCOMPARE(Alpha(ten, 9, 25), 150);
    // Up to 8 it is 100 / size: 12 for 8, innermost 96.
    const QImage eight = DrawShadowPicture(60, 50, 8, Qt::black);
    QCOMPARE(Alpha(eight, 0, 25), 12);
    QCOMPARE(Alpha(eight, 7, 25), 96);
  }

  void colouredShadowIsPremultiplied() {
    const QImage red = DrawShadowPicture(40, 30, 3, QColor(255, 0, 0));
    QCOMPARE(RawPixel(red, 2, 15), qRgba(99, 0, 0, 99));
    QCOMPARE(RawPixel(red, 0, 15), qRgba(33, 0, 0, 33));
  }

  void emptySizesDrawNothing() {
    QVERIFY(DrawShadowPicture(0, 30, 3, Qt::black).isNull());
    QVERIFY(DrawShadowPicture(30, 0, 3, Qt::black).isNull());
    // A child widget of no size: the shadow is kept hidden.
    QWidget window;
    window.resize(100, 80);
    QWidget child(&window);
    child.setGeometry(10, 10, 0, 0);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(SetWindowShadow(&child, Qt::black, 3, true));
    QVERIFY(ShadowOf(child) != nullptr);
    QVERIFY(!ShadowOf(child)->isVisible());
  }

  void shadowFollowsItsTarget() {
    QWidget target;
    target.setGeometry(100, 120, 200, 150);
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    QWidget* shadow = ShadowOf(target);
    QVERIFY(shadow != nullptr);
    QCOMPARE(GetShadowWindow(&target), shadow);
    QVERIFY(shadow->isVisible());
    QCOMPARE(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3));
    QVERIFY(shadow->testAttribute(Qt::WA_TranslucentBackground));
    QVERIFY(shadow->windowFlags() & Qt::WindowTransparentForInput);
    QVERIFY(shadow->windowFlags() & Qt::FramelessWindowHint);
    // The window shows the picture: the innermost ring on the left edge.
    QImage shown = Rendered(shadow);
    QCOMPARE(Alpha(shown, 2, shown.height() / 2), 99);
    QCOMPARE(Alpha(shown, 3, shown.height() / 2), 0);

    target.move(300, 40);
    QTRY_COMPARE_WITH_TIMEOUT(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3), 5000);
    target.resize(260, 90);
    QTRY_COMPARE_WITH_TIMEOUT(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3), 5000);
    shown = Rendered(shadow);
    QCOMPARE(shown.width(), target.frameGeometry().width() + 6);
    QCOMPARE(Alpha(shown, shown.width() - 3, shown.height() / 2), 99);

    target.hide();
    QVERIFY(!shadow->isVisible());
    target.show();
    QTRY_VERIFY_WITH_TIMEOUT(shadow->isVisible(), 5000);

    target.showMinimized();
    QTRY_VERIFY_WITH_TIMEOUT(!shadow->isVisible(), 5000);
    target.showNormal();
    QTRY_VERIFY_WITH_TIMEOUT(shadow->isVisible(), 5000);

    // Placed through its native window, as a window manager or the command
    // line does, without the widget being moved.
    target.windowHandle()->setPosition(220, 230);
    QTRY_COMPARE_WITH_TIMEOUT(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3), 5000);
    QCOMPARE(shadow->geometry().topLeft(), target.frameGeometry().topLeft() - QPoint(3, 3));

    target.showMaximized();
    QTRY_VERIFY_WITH_TIMEOUT(!shadow->isVisible(), 5000);
    target.showNormal();
    target.move(150, 160);
    QTRY_VERIFY_WITH_TIMEOUT(shadow->isVisible(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3), 5000);
  }

  void switchedOnBeforeTheTargetShows() {
    QWidget target;
    target.setGeometry(80, 90, 160, 120);
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    QWidget* shadow = ShadowOf(target);
    QVERIFY(shadow != nullptr);
    QVERIFY(!shadow->isVisible());
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QTRY_VERIFY_WITH_TIMEOUT(shadow->isVisible(), 5000);
    QCOMPARE(shadow->geometry(), target.frameGeometry().adjusted(-3, -3, 3, 3));
  }

  void secondCallChangesColourAndSizeOnly() {
    QWidget target;
    target.setGeometry(100, 100, 120, 80);
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    QWidget* shadow = ShadowOf(target);
    QVERIFY(SetWindowShadow(&target, QColor(255, 0, 0), 4, true));
    QCOMPARE(FilterCount(target), 1);
    QCOMPARE(ShadowOf(target), shadow);
    QCOMPARE(target.findChildren<QWidget*>(QStringLiteral("WndShadow")).size(), 1);
    QCOMPARE(shadow->geometry(), target.frameGeometry().adjusted(-4, -4, 4, 4));
    const QImage shown = Rendered(shadow);
    QCOMPARE(RawPixel(shown, 3, shown.height() / 2), qRgba(100, 0, 0, 100));

    // Without useSize the size is 5, whatever is passed.
    QVERIFY(SetWindowShadow(&target, Qt::black, 0, false));
    QCOMPARE(shadow->geometry(), target.frameGeometry().adjusted(-5, -5, 5, 5));
    QCOMPARE(FilterCount(target), 1);
  }

  void switchingOffRemovesWindowAndFilter() {
    QWidget target;
    target.setGeometry(100, 100, 120, 80);
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    QVERIFY(!SetWindowShadow(&target, Qt::black, 0, true));
    QVERIFY(ShadowOf(target) == nullptr);
    QCOMPARE(FilterCount(target), 0);
    // The target goes on moving without a shadow coming back.
    target.move(200, 200);
    QTest::qWait(50);
    QVERIFY(ShadowOf(target) == nullptr);
    // Switching off what was never on, and a null target.
    QVERIFY(!SetWindowShadow(&target, Qt::black, -1, true));
    QVERIFY(!SetWindowShadow(nullptr, Qt::black, 3, true));
    QVERIFY(GetShadowWindow(nullptr) == nullptr);
  }

  void noCompositorNoShadow() {
    SetShadowCompositorProbe([] { return false; });
    QWidget target;
    target.setGeometry(100, 100, 120, 80);
    target.show();
    QVERIFY(QTest::qWaitForWindowExposed(&target));
    QVERIFY(SetWindowShadow(&target, Qt::black, 3, true));
    QVERIFY(!ShadowOf(target)->isVisible());
    target.move(140, 140);
    QTest::qWait(50);
    QVERIFY(!ShadowOf(target)->isVisible());
  }
};

int main(int argc, char** argv) {
  std::vector<char*> arguments(argv, argv + argc);
  char option[] = "-qwindowgeometry";
  char geometry[] = "300x200+140+90";
  arguments.push_back(option);
  arguments.push_back(geometry);
  int count = int(arguments.size());
  QApplication app(count, arguments.data());
  ShadowTest test;
  return QTest::qExec(&test, count, arguments.data());
}
#include "ShadowTest.moc"
