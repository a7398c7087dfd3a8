#include "app/window_placement.h"

#include "desktop/wayland_activation.h"
#include "settings/settings_store.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

#include <algorithm>

namespace kalvento::app {

namespace {

bool inSight(const QRect& window, const QList<ScreenArea>& screens) {
    const int stripHeight = std::min(kGraspableTop.height(), window.height());
    const QRect top(window.topLeft(), QSize(window.width(), stripHeight));
    const int neededWidth = std::min(kGraspableTop.width(), window.width());
    return std::any_of(screens.begin(), screens.end(), [&](const ScreenArea& screen) {
        const QRect shown = top.intersected(screen.available);
        return shown.width() >= neededWidth && shown.height() >= stripHeight;
    });
}

} // namespace

QPoint placeWindow(std::optional<QPoint> saved, const QString& screenName, QSize size,
                   const QList<ScreenArea>& screens) {
    if (screens.isEmpty())
        return saved.value_or(QPoint());
    const bool screenThere =
        screenName.isEmpty() ||
        std::any_of(screens.begin(), screens.end(),
                    [&](const ScreenArea& screen) { return screen.name == screenName; });
    if (saved && screenThere && inSight(QRect(*saved, size), screens))
        return *saved;
    const auto primary = std::find_if(screens.begin(), screens.end(),
                                      [](const ScreenArea& screen) { return screen.primary; });
    const QRect area = primary != screens.end() ? primary->available : screens.front().available;
    return area.center() - QRect(QPoint(), size).center();
}

void restoreWindowPlace(QWidget& window, const settings::Settings& settings) {
    window.resize(settings.width, settings.height);
    if (!desktop::onWayland()) {
        QList<ScreenArea> screens;
        for (const QScreen* each : QGuiApplication::screens())
            screens.append({each->name(), each->availableGeometry(),
                            each == QGuiApplication::primaryScreen()});
        window.move(placeWindow(settings.position, settings.screen, window.size(), screens));
    }
    if (settings.maximized)
        window.setWindowState(window.windowState() | Qt::WindowMaximized);
}

void rememberWindowPlace(const QWidget& window, settings::Settings& settings) {
    settings.maximized = window.isMaximized();
    if (settings.maximized)
        return;
    settings.width = window.width();
    settings.height = window.height();
    if (!desktop::onWayland()) {
        settings.position = window.pos();
        settings.screen = window.screen() != nullptr ? window.screen()->name() : QString();
    }
}

} // namespace kalvento::app
