#pragma once
// Where the main window opens: where it was at the end of the last run, on the screen it was
// on, or centred on the primary screen when that screen is gone or the place would leave the
// window out of sight. The choice is pure arithmetic over the screens' areas, so it is tested
// without them; the window's size, place and state go to and from the settings here too.

#include <QList>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

class QWidget;

namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

struct ScreenArea {
    QString name;
    QRect available; // the screen's area less the desktop's panels
    bool primary = false;
};

// How much of the window's top edge (its title bar, by which it is moved) must lie on one
// screen for a place to count as in sight.
inline constexpr QSize kGraspableTop{64, 24};

// The top-left corner for a window of size: saved when the screen named (if any) is there
// and a kGraspableTop piece of the window's top edge lies on one screen's area; otherwise
// the window centred on the primary screen (the first when none is primary). Without
// screens, saved or the origin.
QPoint placeWindow(std::optional<QPoint> saved, const QString& screenName, QSize size,
                   const QList<ScreenArea>& screens);

// The window at the size, place and state of the settings: the size of the client area
// first, then the place (none on Wayland, whose compositor places windows itself), then the
// maximized state.
void restoreWindowPlace(QWidget& window, const settings::Settings& settings);

// The window's state, and unless maximized its size and (on X11) its place and screen, into
// settings for the next run. A Wayland compositor tells no place: the last one is kept.
void rememberWindowPlace(const QWidget& window, settings::Settings& settings);

} // namespace kalvento::app
