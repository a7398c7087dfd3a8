#include "app/main_layout.h"

#include <gtest/gtest.h>

using kalvento::app::computeMainLayout;
using kalvento::app::MainLayout;
using kalvento::widgets::halfToEven;

namespace {

TEST(HalfToEven, OddHalvesGoToTheEvenNeighbour) {
    const struct {
        int value;
        int half;
    } cases[] = {{0, 0},
                 {1, 0},
                 {2, 1},
                 {3, 2},
                 {5, 2},
                 {7, 4},
                 {16, 8},
                 {-1, 0},
                 {-2, -1},
                 {-3, -2},
                 {-5, -2},
                 {-7, -4},
                 {-17, -8},
                 {-18, -9},
                 {2147483647, 1073741824},
                 {-2147483647 - 1, -1073741824}};
    for (const auto& c : cases)
        EXPECT_EQ(halfToEven(c.value), c.half) << "half of " << c.value;
}

TEST(MainLayout, OriginalSizeGivesTheOriginalGeometry) {
    const MainLayout l = computeMainLayout(QSize(633, 417));
    EXPECT_EQ(l.Chat, QRect(8, 8, 320, 401));
    EXPECT_EQ(l.Label1, QRect(336, 8, 124, 13));
    EXPECT_EQ(l.Computers, QRect(336, 24, 289, 183));
    EXPECT_EQ(l.Paneeli, QRect(336, 215, 289, 33));
    EXPECT_EQ(l.Label2, QRect(336, 256, 46, 13));
    EXPECT_EQ(l.Message, QRect(336, 272, 289, 21));

    const QRect expected[] = {{338, 301, 57, 54}, {395, 301, 57, 54}, {452, 301, 57, 54},
                              {509, 301, 57, 54}, {338, 355, 57, 54}, {395, 355, 57, 54},
                              {452, 355, 57, 54}, {509, 355, 57, 54}, {566, 355, 57, 54},
                              {566, 301, 57, 54}};
    const auto buttons = l.buttons();
    for (size_t i = 0; i < buttons.size(); ++i)
        EXPECT_EQ(buttons[i], expected[i]) << "button " << i;
    // The second row ends one margin short of the right edge, like Computers; the button that
    // sends files fills the first row's place above Close.
    EXPECT_EQ(l.btnClose.right() + 1, 633 - 10);
    EXPECT_EQ(l.btnSendFiles.right(), l.btnClose.right());
    EXPECT_EQ(l.btnSendFiles.bottom() + 1, l.btnClose.top());
}

// Growing the window: Chat takes the extra width and height, the right column and the button
// rows move right, and everything below Computers moves down.
TEST(MainLayout, ResizingMovesTheColumnAndStretchesChat) {
    const MainLayout base = computeMainLayout(QSize(633, 417));
    const struct {
        int dx;
        int dy;
    } cases[] = {{100, 0}, {0, 100}, {100, 100}, {1, 1}, {-3, -5}, {1000, 700}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "dx " << c.dx << " dy " << c.dy);
        const MainLayout l = computeMainLayout(QSize(633 + c.dx, 417 + c.dy));
        EXPECT_EQ(l.Chat, base.Chat.adjusted(0, 0, c.dx, c.dy));
        EXPECT_EQ(l.Label1, base.Label1.translated(c.dx, 0));
        EXPECT_EQ(l.Computers, base.Computers.translated(c.dx, 0).adjusted(0, 0, 0, c.dy));
        EXPECT_EQ(l.Paneeli, base.Paneeli.translated(c.dx, c.dy));
        EXPECT_EQ(l.Label2, base.Label2.translated(c.dx, c.dy));
        EXPECT_EQ(l.Message, base.Message.translated(c.dx, c.dy));
        const auto buttons = l.buttons();
        const auto baseButtons = base.buttons();
        for (size_t i = 0; i < buttons.size(); ++i)
            EXPECT_EQ(buttons[i], baseButtons[i].translated(c.dx, c.dy)) << "button " << i;
    }
}

// Below the original size the sizes stop at zero and the halves of negative, odd remainders
// still go to the even neighbour.
TEST(MainLayout, SmallWindowsClampSizesAtZero) {
    const struct {
        QSize client;
        QRect chat;
        int computersLeft;
        int computersHeight;
        int messageTop;
        QPoint firstButton;
    } cases[] = {
        // Chat width 300-24-289 = -13 -> 0; the column sits at 16. Row: 110 + half(-18),
        // 8 + half(7).
        {{300, 200}, {8, 8, 0, 184}, 16, 0, 89, {12, 101}},
        // half(-17) = -8, half(8) = 4.
        {{301, 201}, {8, 8, 0, 185}, 16, 0, 89, {12, 102}},
        // Exactly the height at which Computers vanishes: 234.
        {{633, 234}, {8, 8, 320, 218}, 336, 0, 89, {338, 118}},
        {{0, 0}, {8, 8, 0, 0}, 16, 0, 89, {8 + halfToEven(-293), 110 + halfToEven(-218)}},
        {{-50, -50}, {8, 8, 0, 0}, 16, 0, 89, {8 + halfToEven(-343), 110 + halfToEven(-268)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.client.width() << "x" << c.client.height());
        const MainLayout l = computeMainLayout(c.client);
        EXPECT_EQ(l.Chat, c.chat);
        EXPECT_EQ(l.Computers, QRect(c.computersLeft, 24, 289, c.computersHeight));
        EXPECT_EQ(l.Message, QRect(c.computersLeft, c.messageTop, 289, 21));
        EXPECT_EQ(l.btnSend.topLeft(), c.firstButton);
        EXPECT_EQ(l.btnClose.topLeft(), c.firstButton + QPoint(4 * 57, 54));
        EXPECT_EQ(l.btnSendFiles.topLeft(), c.firstButton + QPoint(4 * 57, 0));
        for (const QRect& r : {l.Chat, l.Label1, l.Computers, l.Paneeli, l.Label2, l.Message}) {
            EXPECT_GE(r.width(), 0);
            EXPECT_GE(r.height(), 0);
        }
    }
}

} // namespace
