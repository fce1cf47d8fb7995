// The soft drop shadow behind a console window: a separate, frameless,
// translucent and click-through window owned by its target, a few pixels
// larger on every side, that follows the target as it moves, changes size,
// is shown, hidden, maximised, minimised and restored. Its picture is a set
// of anti-aliased rounded-rectangle rings, faint outside and strong next to
// the target, and nothing over the target itself.
#pragma once

#include <QColor>
#include <QImage>
#include <QPainterPath>

#include <functional>

class QWidget;

namespace zevra::manager {

// Width used when the caller does not name one.
inline constexpr int kDefaultShadowSize = 5;

// Switches the target's shadow on (or, when it is on, changes its colour and
// size) and returns true. With useSize set and size below 1 it switches the
// shadow off: the shadow window and the target's event filter go, and the
// result is false. A null target gives false without effect. Without useSize
// the size is kDefaultShadowSize. The filter that follows the target is
// installed once, whatever the number of calls.
bool SetWindowShadow(QWidget* target, QColor colour, int size, bool useSize);

// The target's shadow window, created (hidden, with the default size and
// black) when it has none yet. Null for a null target.
QWidget* GetShadowWindow(QWidget* target);

// Places, shows or hides the target's shadow; does nothing when the target
// has none. Without visibilityGiven the target's own visibility is used. The
// shadow shows only while the target is visible and neither maximised nor
// minimised; it is then moved to lie `size` pixels outside the target's frame
// on every side and painted anew.
void UpdateShadow(QWidget* target, bool visible, bool visibilityGiven);

// Paints the shadow picture of the target's shadow window at width x height;
// a 0 takes that side from the shadow window's geometry, and an empty size
// paints nothing.
void PaintShadow(QWidget* target, int width, int height);

// The picture itself, premultiplied ARGB, width x height: `size` rings of
// pen width 1, the outermost at the picture's edge with alpha step, the
// innermost with alpha step x size, where step is 100 / size up to size 8
// and 150 / size above (cut to a whole number). The area the target covers,
// (size, size) to (width - size, height - size), stays untouched.
QImage DrawShadowPicture(int width, int height, int size, QColor colour);

// A rounded rectangle outline of corner radius r (kept within 1 ... 100),
// or the plain rectangle for r <= 0. The corners are added clockwise from
// the top-left one.
QPainterPath RoundedRectanglePath(qreal x, qreal y, qreal width, qreal height, qreal radius);

// Where nothing blends translucent windows (X11 without a compositing
// manager) the shadow would come out as a solid black band, and on Wayland
// it cannot be placed behind its target; there it is kept hidden. The probe
// asked when a shadow is switched on can be replaced, and an empty function
// puts the desktop's own answer back.
void SetShadowCompositorProbe(std::function<bool()> probe);

}  // namespace zevra::manager
