#include "app/desktop_notification.h"

#include <gtest/gtest.h>

#include "support/qt_print.h"

namespace kalvento::app {
namespace {

TEST(DesktopNotification, PeerTextIsNeverReadAsMarkup) {
    EXPECT_EQ(DesktopNotification::bodyText("<b>x</b> &amp; \"q\"", true),
              "&lt;b&gt;x&lt;/b&gt; &amp;amp; &quot;q&quot;");
    // A service without markup shows the text as it is.
    EXPECT_EQ(DesktopNotification::bodyText("<b>x</b> &amp;", false), "<b>x</b> &amp;");
    EXPECT_EQ(DesktopNotification::bodyText("<img src=\"file:///etc/passwd\">", true),
              "&lt;img src=&quot;file:///etc/passwd&quot;&gt;");
}

TEST(DesktopNotification, BodyIsTheFirstLineCutToLength) {
    EXPECT_EQ(DesktopNotification::bodyText("first\r\nsecond", false), "first");
    EXPECT_EQ(DesktopNotification::bodyText("first\nsecond", false), "first");
    EXPECT_EQ(DesktopNotification::bodyText("tab\there\x1b[31m", false), "tab here [31m");
    const QString longLine(1000, u'a');
    const QString cut = DesktopNotification::bodyText(longLine, false);
    EXPECT_EQ(cut.size(), 300);
    EXPECT_TRUE(cut.endsWith(QChar(0x2026)));
    // A character outside the first plane is not split at the cut.
    QString emoji = QString(298, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + "tail";
    const QString whole = DesktopNotification::bodyText(emoji, false);
    EXPECT_FALSE(whole.at(whole.size() - 2).isHighSurrogate()) << whole.toStdString();
}

// Without a service (here: no session bus at all) showing is silently nothing.
TEST(DesktopNotification, NoServiceIsNoError) {
    DesktopNotification notification;
    notification.show("Ann", "hello");
    notification.close();
    EXPECT_EQ(notification.id(), 0u);
}

} // namespace
} // namespace kalvento::app
