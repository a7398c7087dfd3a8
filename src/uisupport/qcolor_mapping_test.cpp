#include "settings/colors.h"
#include "uisupport/qcolor_mapping.h"

#include <gtest/gtest.h>

using namespace kalvento::settings;
using namespace kalvento::uisupport;

TEST(QColorMapping, PlainAndSpecialColours) {
    EXPECT_EQ(toQColor(clRed, QPalette()), QColor(255, 0, 0));
    EXPECT_EQ(toQColor(clSkyBlue, QPalette()), QColor(0xA6, 0xCA, 0xF0));
    EXPECT_EQ(toQColor(0x00123456, QPalette()), QColor(0x56, 0x34, 0x12));
    EXPECT_EQ(toQColor(clNone, QPalette()).alpha(), 0);
    EXPECT_FALSE(toQColor(clDefault, QPalette()).isValid());
    for (const quint32 value : {clRed, clMedGray, quint32(0x00123456)})
        EXPECT_EQ(fromQColor(toQColor(value, QPalette())), value);
}

TEST(QColorMapping, SystemColoursFollowThePalette) {
    QPalette palette;
    palette.setColor(QPalette::Button, QColor(1, 2, 3));
    palette.setColor(QPalette::Base, QColor(4, 5, 6));
    palette.setColor(QPalette::Text, QColor(7, 8, 9));
    palette.setColor(QPalette::Highlight, QColor(10, 11, 12));
    palette.setColor(QPalette::Window, QColor(13, 14, 15));
    EXPECT_EQ(toQColor(clBtnFace, palette), QColor(1, 2, 3));
    EXPECT_EQ(toQColor(clWindow, palette), QColor(4, 5, 6));
    EXPECT_EQ(toQColor(clWindowText, palette), QColor(7, 8, 9));
    EXPECT_EQ(toQColor(clHighlight, palette), QColor(10, 11, 12));
    EXPECT_EQ(toQColor(0xFF000019, palette), QColor(13, 14, 15)); // index without a name
    for (const NamedColor& entry : colorTable())
        EXPECT_TRUE(toQColor(entry.value, palette).isValid() || entry.value == clDefault)
            << entry.name;
}
