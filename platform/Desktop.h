// Facts about the desktop the console's windows live on, as far as the
// window toolkit does not tell them.
#pragma once

namespace zevra::platform {

// Whether the desktop blends translucent windows with what lies below them.
// On X11 that takes a compositing manager (one holds the selection
// _NET_WM_CM_S<screen>); without one a window's transparent pixels come out
// black. Asked of the display named by DISPLAY; false when that cannot be
// opened. Elsewhere the desktop always composes.
bool DesktopComposesWindows();

}  // namespace zevra::platform
