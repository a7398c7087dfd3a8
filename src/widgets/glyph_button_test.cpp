#include "widgets/glyph_button.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QImage>
#include <QPainter>

using kalvento::widgets::TGlyphButton;

namespace {

// Pictures of one colour each, so a rendering tells which one is shown.
QList<QImage> solidPictures(int count) {
    QList<QImage> pictures;
    for (int i = 0; i < count; ++i) {
        QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
        image.fill(QColor::fromHsv(i * 360 / count, 200, 220));
        pictures.append(image);
    }
    return pictures;
}

void enter(QWidget& widget) {
    QEnterEvent event(QPointF(5, 5), QPointF(5, 5), QPointF(5, 5));
    QCoreApplication::sendEvent(&widget, &event);
}

void leave(QWidget& widget) {
    QEvent event(QEvent::Leave);
    QCoreApplication::sendEvent(&widget, &event);
}

// Renders the button over a backdrop; the button paints no face, so the backdrop stays where
// the picture is not.
QImage render(TGlyphButton& button, QColor backdrop = QColor(0, 128, 0)) {
    QImage image(button.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(backdrop);
    button.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

TEST(TGlyphButton, IsAFlatFiftySevenByFiftyFourButtonWithItsHintAsTooltip) {
    TGlyphButton button;
    button.setHint(QStringLiteral("Send message (ENTER)"));
    EXPECT_EQ(button.size(), QSize(57, 54));
    EXPECT_EQ(button.sizeHint(), QSize(57, 54));
    EXPECT_EQ(button.toolTip(), QStringLiteral("Send message (ENTER)"));
    EXPECT_EQ(button.hint(), button.toolTip());
    EXPECT_EQ(button.focusPolicy(), Qt::NoFocus);
    EXPECT_FALSE(button.autoFillBackground());
}

TEST(TGlyphButton, TenTripsInAndOutEndOnTheRestingPicture) {
    TGlyphButton button;
    button.setImages(solidPictures(18));
    for (int rest : {1, 9, 17}) {
        button.setImageIndex(rest);
        for (int i = 0; i < 10; ++i) {
            enter(button);
            ASSERT_EQ(button.imageIndex(), rest - 1) << "trip " << i;
            leave(button);
            ASSERT_EQ(button.imageIndex(), rest) << "trip " << i;
        }
    }
}

TEST(TGlyphButton, UnpairedEnterAndLeaveDoNotDrift) {
    TGlyphButton button;
    button.setImages(solidPictures(18));
    button.setImageIndex(5);
    int changes = 0;
    QObject::connect(&button, &TGlyphButton::imageIndexChanged, [&changes] { ++changes; });

    leave(button); // leave with no enter before it
    EXPECT_EQ(button.imageIndex(), 5);
    enter(button);
    enter(button);
    EXPECT_EQ(button.imageIndex(), 4);
    leave(button);
    leave(button);
    EXPECT_EQ(button.imageIndex(), 5);
    EXPECT_EQ(changes, 2);

    // Hidden under the mouse (the window went to the tray): back to rest, and the next visit
    // starts from there.
    button.show();
    enter(button);
    button.hide();
    EXPECT_EQ(button.imageIndex(), 5);
    enter(button);
    EXPECT_EQ(button.imageIndex(), 4);
    leave(button);
    EXPECT_EQ(button.imageIndex(), 5);
}

TEST(TGlyphButton, PaintsOnlyItsPictureOverTheBackground) {
    const QList<QImage> pictures = solidPictures(18);
    TGlyphButton button;
    button.setImages(pictures);
    button.setImageIndex(3);

    QImage shown = render(button);
    const QPoint centre(57 / 2, 54 / 2);
    EXPECT_EQ(shown.pixelColor(centre), pictures[3].pixelColor(0, 0));
    EXPECT_EQ(shown.pixelColor(2, 2), QColor(0, 128, 0));
    EXPECT_EQ(shown.pixelColor(56, 53), QColor(0, 128, 0));
    // The 32 by 32 picture is centred: 12 columns and 11 rows of backdrop before it.
    EXPECT_EQ(shown.pixelColor(11, 11), QColor(0, 128, 0));
    EXPECT_EQ(shown.pixelColor(12, 11), pictures[3].pixelColor(0, 0));
    EXPECT_EQ(shown.pixelColor(43, 42), pictures[3].pixelColor(0, 0));
    EXPECT_EQ(shown.pixelColor(44, 42), QColor(0, 128, 0));

    enter(button);
    EXPECT_EQ(render(button).pixelColor(centre), pictures[2].pixelColor(0, 0));

    // Outside the list nothing is drawn, and nothing breaks.
    for (int index : {-1, 18, 1000}) {
        button.setImageIndex(index);
        const QImage empty = render(button);
        EXPECT_EQ(empty.pixelColor(centre), QColor(0, 128, 0)) << index;
    }
}

} // namespace
