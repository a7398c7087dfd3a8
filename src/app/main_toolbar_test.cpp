#include "app/main_toolbar.h"

#include "widgets/glyph_button.h"

#include <QWidget>

#include <gtest/gtest.h>

namespace kalvento::app {
namespace {

TEST(MainToolbar, SendAndCommentFollowTheMessageBox) {
    struct Row {
        const char* text;
        bool send;
        bool comment;
    };
    // A line of blanks is no message but may be a comment (spacing in the chat).
    const Row rows[] = {{"", false, false}, {"   ", false, true}, {"hi", true, true}};
    QWidget window;
    MainToolbar toolbar(window);
    for (const Row& row : rows) {
        toolbar.messageChanged(QString::fromLatin1(row.text));
        EXPECT_EQ(toolbar.button(MainToolbar::Send)->isEnabled(), row.send) << row.text;
        EXPECT_EQ(toolbar.button(MainToolbar::Comment)->isEnabled(), row.comment) << row.text;
    }
    for (const bool hasText : {true, false}) {
        toolbar.chatHasText(hasText);
        EXPECT_EQ(toolbar.button(MainToolbar::Print)->isEnabled(), hasText);
    }
}

TEST(MainToolbar, ButtonsKeepTheNamesLanguageFilesUse) {
    QWidget window;
    MainToolbar toolbar(window);
    const char* names[] = {"btnSend",    "btnBigMessage", "btnComment", "btnPrint", "btnUpdate",
                           "btnOptions", "btnInfo",       "btnHelp",    "btnClose", "btnSendFiles"};
    for (int i = 0; i < MainToolbar::Count; ++i)
        EXPECT_EQ(toolbar.button(MainToolbar::Button(i))->objectName(),
                  QString::fromLatin1(names[i]));
}

} // namespace
} // namespace kalvento::app
