#include "app/chat_text.h"

#include <gtest/gtest.h>

using namespace kalvento::app;

namespace {

const QString FSI = QStringLiteral("\u2068");
const QString PDI = QStringLiteral("\u2069");
const QString PDF = QStringLiteral("\u202C");

TEST(ChatText, EveryKindOfLineBreakSplitsTheText) {
    const struct {
        const char* name;
        QString text;
        QStringList pieces;
    } cases[] = {
        {"none", "one line", {"one line"}},
        {"LF", "a\nb", {"a", "b"}},
        {"CR", "a\rb", {"a", "b"}},
        {"CR LF is one break", "a\r\nb", {"a", "b"}},
        {"LF CR is two", "a\n\rb", {"a", "", "b"}},
        {"vertical tab", QStringLiteral("a\u000Bb"), {"a", "b"}},
        {"form feed", QStringLiteral("a\u000Cb"), {"a", "b"}},
        {"next line", QStringLiteral("a\u0085b"), {"a", "b"}},
        {"line separator", QStringLiteral("a\u2028b"), {"a", "b"}},
        {"paragraph separator", QStringLiteral("a\u2029b"), {"a", "b"}},
        {"at the ends", "\nmiddle\n", {"", "middle", ""}},
        {"frame marks", QStringLiteral("a\uFDD0b\uFDD1"), {QStringLiteral("a\uFFFDb\uFFFD")}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(splitAtLineBreaks(c.text), c.pieces) << c.name;
}

TEST(ChatText, DirectionalControlsAreClosedAndTheTextIsolated) {
    const QString RLO = QStringLiteral("\u202E");
    const QString RLE = QStringLiteral("\u202B");
    const QString RLI = QStringLiteral("\u2067");
    const QString hebrew = QStringLiteral("\u05E9\u05DC\u05D5\u05DD");
    const struct {
        const char* name;
        QString text;
        QString isolated;
    } cases[] = {
        {"left-to-right text stays as it is", "plain text 123 (x)", "plain text 123 (x)"},
        {"right-to-left letters", hebrew + " 12", FSI + hebrew + " 12" + PDI},
        {"Arabic digits", QStringLiteral("\u0661\u0662"),
         FSI + QStringLiteral("\u0661\u0662") + PDI},
        {"an override left open", "EVIL" + RLO + "x", FSI + "EVIL" + RLO + "x" + PDF + PDI},
        {"a closed override", RLO + "x" + PDF, FSI + RLO + "x" + PDF + PDI},
        {"nested openings close innermost first", RLE + RLI + "x",
         FSI + RLE + RLI + "x" + PDI + PDF + PDI},
        {"a stray closer goes", "a" + PDF + "b" + PDI + "c", "abc"},
        {"a closer of the outside goes", RLI + "a" + PDI + PDI + PDF, FSI + RLI + "a" + PDI + PDI},
        {"an isolate closes the embeddings in it", RLI + RLE + "a" + PDI + PDF,
         FSI + RLI + RLE + "a" + PDI + PDI},
        {"an embedding is not closed across its isolate", RLE + RLI + PDF + "a",
         FSI + RLE + RLI + "a" + PDI + PDF + PDI},
        {"a surrogate pair stays whole", QStringLiteral("\U0001F600") + RLO,
         FSI + QStringLiteral("\U0001F600") + RLO + PDF + PDI},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isolateDirection(c.text), c.isolated) << c.name;
}

TEST(ChatText, HeadingNamesAreOneIsolatedLine) {
    EXPECT_EQ(headingName(u"  PC1 "), QStringLiteral("PC1"));
    EXPECT_EQ(headingName(u"A\nHOSTC (03:58:01): x"), QStringLiteral("A HOSTC (03:58:01): x"));
    EXPECT_EQ(headingName(u"EVIL\u202E"), FSI + QStringLiteral("EVIL\u202E") + PDF + PDI);
}

TEST(ChatText, FindsWebAndMailAddresses) {
    struct Expected {
        QString text;
        QString url;
    };
    const struct {
        const char* name;
        QString line;
        QList<Expected> links;
    } cases[] = {
        {"http",
         "see http://example.com/a?b=1#c now",
         {{"http://example.com/a?b=1#c", "http://example.com/a?b=1#c"}}},
        {"https in capitals",
         "HTTPS://Example.com",
         {{"HTTPS://Example.com", "https://example.com"}}},
        {"www", "at www.example.fi.", {{"www.example.fi", "http://www.example.fi"}}},
        {"sentence punctuation",
         "(see https://x.fi/a_(b)), or https://y.fi!",
         {{"https://x.fi/a_(b)", "https://x.fi/a_(b)"}, {"https://y.fi", "https://y.fi"}}},
        {"mail address",
         "mail anna.k+chat@example.co.uk, please",
         {{"anna.k+chat@example.co.uk", "mailto:anna.k+chat@example.co.uk"}}},
        {"mailto", "mailto:bo@example.com", {{"mailto:bo@example.com", "mailto:bo@example.com"}}},
        {"ends at a control or format character",
         QStringLiteral("http://a.fi/x\u202Eevil"),
         {{"http://a.fi/x", "http://a.fi/x"}}},
        {"ends at markup characters", "<http://a.fi>\"", {{"http://a.fi", "http://a.fi"}}},
        {"no host", "http:// and https://", {}},
        {"not a scheme of ours", "file:///etc/passwd javascript:alert(1) ftp://x.fi", {}},
        {"inside a word", "xhttp://a.fi notwww.a.fi", {}},
        {"no domain", "user@localhost and @example.com", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QList<TextLink> found = findLinks(c.line);
        ASSERT_EQ(found.size(), c.links.size());
        for (qsizetype i = 0; i < found.size(); ++i) {
            EXPECT_EQ(c.line.mid(found[i].start, found[i].length), c.links[i].text);
            EXPECT_EQ(found[i].url, QUrl(c.links[i].url));
        }
    }
}

} // namespace
