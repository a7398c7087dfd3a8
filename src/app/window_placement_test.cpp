#include "app/window_placement.h"

#include <gtest/gtest.h>

using namespace kalvento::app;

namespace {

// A laptop's panel at the origin, with a monitor to its left (the primary) and one above.
const QList<ScreenArea> kDesk = {
    {QStringLiteral("eDP-1"), QRect(0, 0, 1366, 740), false},
    {QStringLiteral("HDMI-1"), QRect(-1920, 0, 1920, 1050), true},
    {QStringLiteral("DP-2"), QRect(0, -1080, 1920, 1080), false},
};
const QSize kWindow(633, 417);
// The window centred on HDMI-1.
const QPoint kCentred = QRect(-1920, 0, 1920, 1050).center() - QRect(QPoint(), kWindow).center();

} // namespace

TEST(PlaceWindow, KeepsAPlaceInSightOnItsScreenElseCentresOnThePrimary) {
    const struct {
        const char* name;
        std::optional<QPoint> saved;
        const char* screen;
        QPoint expected;
    } rows[] = {
        {"never saved", std::nullopt, "", kCentred},
        {"on the panel", QPoint(100, 80), "eDP-1", QPoint(100, 80)},
        {"on the monitor left of the origin", QPoint(-1800, 300), "HDMI-1", QPoint(-1800, 300)},
        {"on the one above", QPoint(500, -900), "DP-2", QPoint(500, -900)},
        {"a file without the screen's name", QPoint(100, 80), "", QPoint(100, 80)},
        {"its screen unplugged", QPoint(100, 80), "DP-9", kCentred},
        {"beyond every screen", QPoint(-5000, -5000), "", kCentred},
        {"below the panel's area", QPoint(100, 730), "eDP-1", kCentred},
        {"mostly off to the right, the title still graspable", QPoint(1300, 80), "eDP-1",
         QPoint(1300, 80)},
        {"only a sliver of the title on the panel", QPoint(1330, 80), "eDP-1", kCentred},
        {"its top above the panel, right of the upper screen", QPoint(1400, -10), "", kCentred},
    };
    for (const auto& row : rows)
        EXPECT_EQ(placeWindow(row.saved, QString::fromLatin1(row.screen), kWindow, kDesk),
                  row.expected)
            << row.name;
}

TEST(PlaceWindow, WithoutAPrimaryTheFirstScreenTakesTheWindow) {
    const QList<ScreenArea> one = {{QStringLiteral("a"), QRect(0, 0, 800, 600), false}};
    EXPECT_EQ(placeWindow(std::nullopt, QString(), QSize(200, 100), one), QPoint(300, 250));
    EXPECT_EQ(placeWindow(QPoint(7, 8), QString(), QSize(200, 100), {}), QPoint(7, 8));
}
