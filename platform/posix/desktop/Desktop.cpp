// The X11 side of the desktop facts. Built into a library of its own, so the
// server never links the X client library.
#include "platform/Desktop.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace zevra::platform {

bool DesktopComposesWindows() {
  int screen = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return false;
  }
  const std::string name = "_NET_WM_CM_S" + std::to_string(screen);
  bool composes = false;
  xcb_intern_atom_cookie_t atomCookie =
      xcb_intern_atom(connection, 1, static_cast<uint16_t>(name.size()), name.c_str());
  std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> atom(
      xcb_intern_atom_reply(connection, atomCookie, nullptr), &std::free);
  // With only_if_exists set, an atom nobody ever named comes back as none:
  // then no compositor has run on this display.
  if (atom && atom->atom != XCB_ATOM_NONE) {
    xcb_get_selection_owner_cookie_t ownerCookie = xcb_get_selection_owner(connection, atom->atom);
    std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, ownerCookie, nullptr), &std::free);
    composes = owner && owner->owner != XCB_WINDOW_NONE;
  }
  xcb_disconnect(connection);
  return composes;
}

}  // namespace zevra::platform
