#include "desktop/desktop_notification.h"

#include <gtest/gtest.h>

#include "support/qt_print.h"

namespace kalvento::desktop {
namespace {

// What a notification shows of a peer's text: isolated, so that it reorders nothing around it.
QString isolated(const QString& text) {
    return QChar(0x2068) + text + QChar(0x2069);
}

TEST(DesktopNotification, PeerTextIsNeverReadAsMarkup) {
    EXPECT_EQ(DesktopNotification::bodyText("<b>x</b> &amp; \"q\"", true),
              isolated("&lt;b&gt;x&lt;/b&gt; &amp;amp; &quot;q&quot;"));
    // A service without markup shows the text as it is.
    EXPECT_EQ(DesktopNotification::bodyText("<b>x</b> &amp;", false), isolated("<b>x</b> &amp;"));
    EXPECT_EQ(DesktopNotification::bodyText("<img src=\"file:///etc/passwd\">", true),
              isolated("&lt;img src=&quot;file:///etc/passwd&quot;&gt;"));
    EXPECT_EQ(DesktopNotification::summaryText("<i>Ann</i>", true),
              isolated("&lt;i&gt;Ann&lt;/i&gt;"));
}

TEST(DesktopNotification, BodyIsTheFirstLineCutToLength) {
    EXPECT_EQ(DesktopNotification::bodyText("first\r\nsecond", false), isolated("first"));
    EXPECT_EQ(DesktopNotification::bodyText("first\nsecond", false), isolated("first"));
    EXPECT_EQ(DesktopNotification::bodyText(QStringLiteral("first\u2028second"), false),
              isolated("first"));
    EXPECT_EQ(DesktopNotification::bodyText("tab\there\x1b[31m", false), isolated("tab here [31m"));
    const QString longLine(1000, u'a');
    const QString cut = DesktopNotification::bodyText(longLine, false);
    EXPECT_EQ(cut.size(), 302);
    EXPECT_TRUE(cut.endsWith(QString(QChar(0x2026)) + QChar(0x2069)));
    // A character outside the first plane is not split at the cut.
    QString emoji = QString(298, u'a') + QString::fromUtf8("\xF0\x9F\x98\x80") + "tail";
    const QString whole = DesktopNotification::bodyText(emoji, false);
    EXPECT_FALSE(whole.at(whole.size() - 3).isHighSurrogate()) << whole.toStdString();
}

// A right-to-left override in a name or a line cannot turn around what the service shows
// beside it, nor can a closing isolate of the peer's end the isolate early.
TEST(DesktopNotification, DirectionControlsStayInsideThePeersText) {
    EXPECT_EQ(DesktopNotification::bodyText(QStringLiteral("abc\u202Edef"), false),
              isolated(QStringLiteral("abc\u202Edef")));
    EXPECT_EQ(DesktopNotification::summaryText(QStringLiteral("\u2069\u202EBob"), false),
              isolated(QStringLiteral("\u202EBob")));
    EXPECT_EQ(DesktopNotification::bodyText(QStringLiteral("x\u2067y"), false),
              isolated(QStringLiteral("x\u2067y\u2069")));
}

// Without a service (here: no session bus at all) showing is silently nothing.
TEST(DesktopNotification, NoServiceIsNoError) {
    DesktopNotification notification;
    notification.show("Ann", "hello");
    notification.close();
    EXPECT_EQ(notification.id(), 0u);
}

} // namespace
} // namespace kalvento::desktop
