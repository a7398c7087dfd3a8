#pragma once

#include <QByteArray>
#include <QString>

class QWindow;

namespace kalvento::desktop {

// Whether the program runs on Qt's Wayland platform ("wayland", "wayland-egl"...).
bool onWayland();

// What became of a request to activate a window on Wayland.
enum class WaylandActivation {
    Unsupported, // not on Wayland, or the compositor (or this build) has no xdg-activation
    Failed,      // the compositor gave no token
    Requested,   // the window asked for activation with a token of its own
};

// "requested", "failed" or "unsupported", for the trace.
QString waylandActivationName(WaylandActivation result);

// Asks the Wayland compositor to activate `window` through xdg-activation. With `token`, one
// the desktop handed over (a click on our notification), the compositor gives the focus.
// Without, the program requests a token for itself; a program in the background has no
// input event to show for it, so compositors take that as a request for attention: sway
// marks the window urgent, GNOME says that the program is ready, some give the focus.
// Blocks for a round trip or two to the compositor.
WaylandActivation requestWaylandActivation(QWindow* window, const QByteArray& token = {});

} // namespace kalvento::desktop
