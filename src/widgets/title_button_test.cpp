#include "widgets/title_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTest>
#include <QWidget>

#include <typeinfo>

using kalvento::widgets::titleButtonImage;
using kalvento::widgets::TTitlebtn;

namespace {

// A window with the button, shown, and a count of the button's clicks.
struct Window {
    QWidget window;
    TTitlebtn* button;
    int clicks = 0;

    Window() {
        window.resize(633, 417);
        button = new TTitlebtn(&window);
        button->SetAction([this](TTitlebtn*) { ++clicks; });
        button->SetVisible(true);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }
    QPoint centre() const { return button->ButtonRect().center(); }
    QPoint outside() const { return button->ButtonRect().topLeft() - QPoint(30, 0); }
    void press(QPoint at) { QTest::mousePress(&window, Qt::LeftButton, {}, at); }
    void release(QPoint at) { QTest::mouseRelease(&window, Qt::LeftButton, {}, at); }
    void move(QPoint at) {
        QMouseEvent event(QEvent::MouseMove, at, window.mapToGlobal(at), Qt::NoButton,
                          Qt::LeftButton, {});
        QApplication::sendEvent(&window, &event);
    }
};

} // namespace

TEST(TitleButton, SitsAtTheCaptionOffsetsWithTheStylesMetrics) {
    Window w;
    TTitlebtn& b = *w.button;
    EXPECT_GT(b.ButtonWidth(), 0);
    EXPECT_GT(b.ButtonHeight(), 0);
    // A sizeable window: four button slots, a frame 0 wide.
    EXPECT_EQ(b.RightOffset(), 4 * b.ButtonWidth() + 4 + 2);
    EXPECT_EQ(b.TopOffset(), 2);
    EXPECT_EQ(b.ButtonRect(), QRect(633 - b.RightOffset(), 2, b.ButtonWidth(), b.ButtonHeight()));
    w.window.resize(800, 500);
    EXPECT_EQ(b.ButtonRect().left(), 800 - b.RightOffset());

    QDialog dialog;
    TTitlebtn onDialog(&dialog);
    EXPECT_EQ(onDialog.RightOffset(), 2 * onDialog.ButtonWidth() + 2 + 2);

    QWidget frameless(nullptr, Qt::FramelessWindowHint);
    TTitlebtn none(&frameless);
    EXPECT_EQ(none.ButtonWidth(), 0);
    none.SetVisible(true);
    EXPECT_FALSE(none.Visible());

    QWidget notAWindow(&frameless);
    EXPECT_THROW(TTitlebtn{&notAWindow}, std::bad_cast);
}

TEST(TitleButton, AClickIsAPressAndAReleaseOnIt) {
    Window w;
    TTitlebtn& b = *w.button;
    w.press(w.centre());
    EXPECT_TRUE(b.Pressed());
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Up); // drawn down at the first move
    w.move(w.centre());
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Down);
    // Leaving draws it up, coming back down again.
    w.move(w.outside());
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Up);
    EXPECT_TRUE(b.Pressed());
    w.move(w.centre());
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Down);
    w.release(w.centre());
    EXPECT_EQ(w.clicks, 1);
    EXPECT_FALSE(b.Pressed());
}

TEST(TitleButton, ReleasingElsewhereCancels) {
    Window w;
    TTitlebtn& b = *w.button;
    w.press(w.centre());
    w.move(w.centre());
    w.move(w.outside());
    w.release(w.outside());
    EXPECT_EQ(w.clicks, 0);
    EXPECT_FALSE(b.Pressed());
    // Back over it with no button down: drawn up.
    w.move(w.centre());
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Up);
    // A press elsewhere in the window dragged onto the button is no click either.
    w.press(w.outside());
    w.move(w.centre());
    w.release(w.centre());
    EXPECT_EQ(w.clicks, 0);
}

TEST(TitleButton, DisabledItIsDrawnGreyedAndDoesNothing) {
    Window w;
    TTitlebtn& b = *w.button;
    b.SetEnabled(false);
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Disabled);
    w.press(w.centre());
    EXPECT_FALSE(b.Pressed());
    w.move(w.centre());
    w.release(w.centre());
    EXPECT_EQ(w.clicks, 0);
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Disabled);
    b.SetEnabled(true);
    EXPECT_EQ(b.DrawnState(), TTitlebtn::Up);
}

TEST(TitleButton, TheHookGoesInOnceAndOut) {
    Window w;
    TTitlebtn& b = *w.button;
    b.SetVisible(true);
    EXPECT_EQ(b.HookInstallCount(), 1);
    b.SetVisible(false);
    w.press(w.centre());
    w.release(w.centre());
    EXPECT_EQ(w.clicks, 0) << "no hook, no button";
    b.SetVisible(true);
    EXPECT_EQ(b.HookInstallCount(), 2);
    w.press(w.centre());
    w.release(w.centre());
    EXPECT_EQ(w.clicks, 1);

    // Two buttons on one window: neither changes.
    QWidget other;
    TTitlebtn first(&other);
    TTitlebtn second(&other);
    first.SetVisible(true);
    EXPECT_FALSE(first.Visible());
    EXPECT_EQ(first.HookInstallCount(), 0);
}

TEST(TitleButton, AResizeOrAnActivationDrawsItUpAgain) {
    for (const QEvent::Type type :
         {QEvent::Resize, QEvent::WindowActivate, QEvent::WindowDeactivate}) {
        Window w;
        TTitlebtn& b = *w.button;
        w.press(w.centre());
        w.move(w.centre());
        ASSERT_EQ(b.DrawnState(), TTitlebtn::Down);
        if (type == QEvent::Resize) {
            w.window.resize(700, 450);
        } else {
            QEvent event(type);
            QApplication::sendEvent(&w.window, &event);
        }
        EXPECT_EQ(b.DrawnState(), TTitlebtn::Up) << type;
        EXPECT_FALSE(b.DrawnDown()) << type;
        // The activation a press asks for comes after it and keeps it: the release clicks.
        EXPECT_EQ(b.Pressed(), type == QEvent::WindowActivate) << type;
        w.release(w.centre());
        EXPECT_EQ(w.clicks, type == QEvent::WindowActivate ? 1 : 0) << type;
    }
}

TEST(TitleButton, TheWindowShowsTheButtonOverItsOwnPainting) {
    Window w;
    const QImage shot = w.window.grab().toImage();
    const QRect r = w.button->ButtonRect();
    const QImage& up = w.button->Image(TTitlebtn::Up);
    for (const QPoint at : {QPoint(0, 0), QPoint(r.width() - 1, r.height() - 1),
                            QPoint(r.width() / 2, r.height() - 4)})
        EXPECT_EQ(shot.pixel(r.topLeft() + at), up.pixel(at)) << at.x() << "," << at.y();
}

TEST(TitleButtonImages, EdgesAndTheSquareInThePalettesColours) {
    QPalette palette;
    palette.setColor(QPalette::Button, QColor(200, 200, 200));
    palette.setColor(QPalette::Light, QColor(255, 255, 255));
    palette.setColor(QPalette::Midlight, QColor(230, 230, 230));
    palette.setColor(QPalette::Shadow, QColor(0, 0, 0));
    palette.setColor(QPalette::Dark, QColor(128, 128, 128));
    palette.setColor(QPalette::ButtonText, QColor(10, 20, 30));
    const QSize size(24, 20);
    const int w = size.width(), h = size.height();
    auto colour = [](const QImage& image, int x, int y) { return QColor(image.pixel(x, y)); };

    const QImage up = titleButtonImage(TTitlebtn::Up, size, palette);
    EXPECT_EQ(colour(up, 0, 0), QColor(255, 255, 255));         // outer top-left: highlight
    EXPECT_EQ(colour(up, 1, 1), QColor(230, 230, 230));         // inner: 3D light
    EXPECT_EQ(colour(up, w - 1, h / 2), QColor(0, 0, 0));       // outer right: dark shadow
    EXPECT_EQ(colour(up, w / 2, h - 2), QColor(128, 128, 128)); // inner bottom: shadow
    EXPECT_EQ(colour(up, 5, 5), QColor(200, 200, 200));         // the face
    // The square: the mask's (50..70, 70..90) of 120 by 100 stretched over (2, 2)-(W-2, H-2).
    const int sx = 2 + (w - 4) * 60 / 120, sy = 2 + (h - 4) * 80 / 100;
    EXPECT_EQ(colour(up, sx, sy), QColor(10, 20, 30));
    EXPECT_EQ(colour(up, sx, 3), QColor(200, 200, 200));

    const QImage down = titleButtonImage(TTitlebtn::Down, size, palette);
    EXPECT_EQ(colour(down, 0, 0), QColor(0, 0, 0));
    EXPECT_EQ(colour(down, 1, 1), QColor(128, 128, 128));
    EXPECT_EQ(colour(down, w - 1, h / 2), QColor(255, 255, 255));
    EXPECT_EQ(colour(down, w / 2, h - 2), QColor(230, 230, 230));
    EXPECT_EQ(colour(down, sx + 1, sy + 1), QColor(10, 20, 30)); // one pixel right and down

    const QImage disabled = titleButtonImage(TTitlebtn::Disabled, size, palette);
    EXPECT_EQ(colour(disabled, 0, 0), QColor(255, 255, 255));
    EXPECT_EQ(colour(disabled, sx, sy), QColor(128, 128, 128)); // the square in shadow
    // Its highlight copy shows below and right of it.
    const int right = 2 + (w - 4) * 70 / 120, bottom = 2 + (h - 4) * 90 / 100;
    EXPECT_EQ(colour(disabled, right, bottom), QColor(255, 255, 255));
}
