#include "richtext/rtf_writer.h"

#include <QFont>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

namespace kalvento::richtext {
namespace {

QTextCharFormat colored(QColor color, bool italic = false) {
    QTextCharFormat format;
    format.setForeground(color);
    format.setFontItalic(italic);
    return format;
}

void prepare(QTextDocument& document) {
    document.setDefaultFont(QFont("Arial", 10));
}

// The body of a one-line document in the default font: what follows the first format words.
QByteArray bodyOf(const QString& text) {
    QTextDocument document;
    prepare(document);
    QTextCursor(&document).insertText(text);
    const QByteArray rtf = writeRtf(document);
    const QByteArray head = "\\uc1\\pard\n\\plain\\fs20";
    const qsizetype start = rtf.indexOf(head);
    const qsizetype end = rtf.lastIndexOf("\\par\n}");
    if (start < 0 || end < 0)
        return "<malformed> " + rtf;
    return rtf.mid(start + head.size(), end - start - head.size());
}

TEST(RtfWriter, WritesTablesAndOnlyTheFormatChangesOfEachRun) {
    QTextDocument document;
    prepare(document);
    QTextCursor cursor(&document);
    cursor.insertText("Hi ");
    cursor.insertText("there", colored(Qt::red, true));
    QTextCharFormat courier;
    courier.setFontFamilies({"Courier New"});
    courier.setFontPointSize(9);
    cursor.insertText("\nx", courier);

    // Each paragraph starts from \plain and says what differs from it.
    const QByteArray body = "\\plain\\fs20 Hi \\cf1\\i there\\par\n"
                            "\\plain\\f1\\fs18 x\\par\n";
    EXPECT_EQ(writeRtf(document),
              "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl"
              "{\\f0\\fnil\\fcharset0 Arial;}{\\f1\\fnil\\fcharset0 Courier New;}}\n"
              "{\\colortbl ;\\red255\\green0\\blue0;}\n"
              "{\\*\\generator Kalvento;}{\\*\\kalventolog1 " +
                  QByteArray::number(body.size()) + "}\n\\uc1\\pard\n" + body + "}\n");
}

TEST(RtfWriter, AppendsToTablesItIsGivenWithoutRenumbering) {
    // Tables of an older log: a font and two colours the new lines partly share.
    const RtfTables old{{"Arial", "Old Font"}, {qRgb(0, 0, 255), qRgb(1, 2, 3)}};
    RtfLogWriter writer(QFont("Arial", 10), old);
    QTextDocument lines;
    prepare(lines);
    QTextCursor cursor(&lines);
    cursor.insertText("blue", colored(Qt::blue));
    QTextCharFormat courier = colored(Qt::red);
    courier.setFontFamilies({"Courier"});
    cursor.insertText(" red", courier);

    EXPECT_EQ(writer.paragraphs(lines), "\\plain\\fs20\\cf1 blue\\f2\\cf3  red\\par\n");
    const RtfTables grown{{"Arial", "Old Font", "Courier"},
                          {qRgb(0, 0, 255), qRgb(1, 2, 3), qRgb(255, 0, 0)}};
    EXPECT_EQ(writer.tables(), grown);
    EXPECT_TRUE(writer.header(42).startsWith(
        "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}"
        "{\\f1\\fnil\\fcharset0 Old Font;}{\\f2\\fnil\\fcharset0 Courier;}}\n"
        "{\\colortbl ;\\red0\\green0\\blue255;\\red1\\green2\\blue3;\\red255\\green0\\blue0;}\n"));
    EXPECT_TRUE(writer.header(42).endsWith("{\\*\\kalventolog1 42}\n\\uc1\\pard\n"));

    // An empty document has no paragraphs at all.
    QTextDocument empty;
    EXPECT_TRUE(writer.paragraphs(empty).isEmpty());
}

TEST(RtfWriter, EscapesTextByCharacterClass) {
    const struct {
        const char* name;
        QString text;
        QByteArray body;
    } cases[] = {
        {"syntax characters", "a\\b{c}", " a\\\\b\\{c\\}"},
        {"upper half of the code page", QString::fromUtf8("é€ü"), "\\'e9\\'80\\'fc"},
        {"no-break space", QString(QChar(0xA0)), "\\'a0"},
        {"outside the code page", QString::fromUtf8("Ω中"), "\\u937?\\u20013?"},
        {"above 0x7FFF is negative", QString(QChar(0xFF21)), "\\u-223?"},
        {"surrogate pair", QString::fromUtf8("😀"), "\\u-10179?\\u-8704?"},
        {"tab", "a\tb", " a\\tab b"},
        {"line separator", QString("a") + QChar(QChar::LineSeparator) + "b", " a\\line b"},
        {"leading blank after a control word", " x", "  x"},
        {"digit after a control word", "1x", " 1x"},
        {"markup-looking text", "<b>x</b> &amp;", " <b>x</b> &amp;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(bodyOf(c.text), c.body) << c.name;
}

TEST(RtfWriter, ListsEachFontAndColourOnceAndWritesHighlight) {
    QTextDocument document;
    prepare(document);
    QTextCursor cursor(&document);
    QTextCharFormat format = colored(Qt::blue);
    format.setFontFamilies({"Odd;Name{x}"});
    format.setBackground(QColor(Qt::yellow));
    for (int i = 0; i < 3; ++i) {
        cursor.insertText("a", format);
        cursor.insertText("b", colored(Qt::blue));
        cursor.insertText("\n");
    }
    const QByteArray rtf = writeRtf(document);
    EXPECT_TRUE(rtf.contains("{\\colortbl ;\\red0\\green0\\blue255;\\red255\\green255\\blue0;}"))
        << rtf.constData();
    EXPECT_TRUE(rtf.contains("{\\f1\\fnil\\fcharset0 Odd\\'3bName\\{x\\};}")) << rtf.constData();
    EXPECT_EQ(rtf.count("\\highlight2"), 3);
    EXPECT_EQ(rtf.count("\\highlight0"), 3);
    EXPECT_EQ(rtf.count("\\fonttbl"), 1);
}

TEST(RtfWriter, EndsEveryParagraphIncludingEmptyOnes) {
    QTextDocument document;
    prepare(document);
    QTextCursor(&document).insertText("a\n\nb\n");
    const QByteArray rtf = writeRtf(document);
    EXPECT_TRUE(rtf.endsWith(" a\\par\n\\plain\\par\n\\plain\\fs20 b\\par\n\\plain\\par\n}\n"))
        << rtf.constData();

    QTextDocument empty;
    prepare(empty);
    EXPECT_TRUE(writeRtf(empty).endsWith("{\\*\\kalventolog1 0}\n\\uc1\\pard\n}\n"));
}

TEST(RtfWriter, OutputIsAsciiAndDeterministic) {
    QTextDocument document;
    prepare(document);
    QTextCursor cursor(&document);
    const QString text = QString::fromUtf8("é€ Ω 😀 \\{}\t") + QChar(0x1) + QChar(0xFFFC);
    for (int i = 0; i < 50; ++i)
        cursor.insertText(text + "\n", colored(QColor::fromHsv(i * 7, 255, 200), i % 2));
    const QByteArray first = writeRtf(document);
    EXPECT_EQ(first, writeRtf(document));
    for (const char byte : first)
        ASSERT_LT(static_cast<unsigned char>(byte), 0x80);
    EXPECT_EQ(first.count('{'), first.count('}'));
}

} // namespace
} // namespace kalvento::richtext
