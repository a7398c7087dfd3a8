#include "richtext/rtf_reader.h"
#include "richtext/rtf_writer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFont>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFragment>

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

namespace kalvento::richtext {
namespace {

// Paragraphs joined by '\n'; unlike toPlainText, line separators and no-break spaces stay.
QString textOf(const QTextDocument& document) {
    QStringList blocks;
    for (QTextBlock b = document.begin(); b.isValid(); b = b.next())
        blocks.append(b.text());
    return blocks.join('\n');
}

struct Loaded {
    std::unique_ptr<QTextDocument> document = std::make_unique<QTextDocument>();
    bool ok = false;
    QString error;
    QString text() const { return textOf(*document); }
};

Loaded load(QByteArrayView rtf) {
    Loaded loaded;
    loaded.document->setDefaultFont(QFont("Arial", 10));
    const kalvento::platform::Result result = readRtf(rtf, *loaded.document);
    loaded.ok = result.ok();
    loaded.error = result.error;
    return loaded;
}

QByteArray fixture(const char* name) {
    QFile file(QStringLiteral(KALVENTO_RTF_TESTDATA "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// What a reader sees of one character: the effective font and the set colours.
struct Look {
    QChar ch;
    QString family;
    qreal points = 0;
    QColor foreground; // invalid: automatic
    QColor background; // invalid: none
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
    bool operator==(const Look&) const = default;
};

void PrintTo(const Look& look, std::ostream* os) {
    *os << "'" << QString(look.ch).toStdString() << "' " << look.family.toStdString() << " "
        << look.points << "pt fg=" << look.foreground.name().toStdString()
        << (look.foreground.isValid() ? "" : "(auto)")
        << " bg=" << look.background.name().toStdString()
        << (look.background.isValid() ? "" : "(none)") << (look.bold ? " bold" : "")
        << (look.italic ? " italic" : "") << (look.underline ? " underline" : "")
        << (look.strike ? " strike" : "");
}

Look lookOf(QChar ch, const QTextCharFormat& format, const QFont& base) {
    Look look;
    look.ch = ch;
    const QStringList families = format.fontFamilies().toStringList();
    look.family = families.isEmpty() ? base.family() : families.first();
    look.points =
        format.hasProperty(QTextFormat::FontPointSize) ? format.fontPointSize() : base.pointSizeF();
    if (format.foreground().style() != Qt::NoBrush)
        look.foreground = format.foreground().color();
    if (format.background().style() != Qt::NoBrush)
        look.background = format.background().color();
    look.bold = format.fontWeight() >= QFont::DemiBold;
    look.italic = format.fontItalic();
    look.underline = format.fontUnderline();
    look.strike = format.fontStrikeOut();
    return look;
}

// Every character with its look; a paragraph break is '\n' with no look of its own.
std::vector<Look> looksOf(const QTextDocument& document) {
    std::vector<Look> looks;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        if (block != document.begin()) {
            Look paragraphBreak;
            paragraphBreak.ch = QChar('\n');
            looks.push_back(paragraphBreak);
        }
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            for (const QChar ch : fragment.text())
                looks.push_back(lookOf(ch, fragment.charFormat(), document.defaultFont()));
        }
    }
    return looks;
}

QTextCharFormat colored(QColor color, bool italic = false) {
    QTextCharFormat format;
    format.setForeground(color);
    format.setFontItalic(italic);
    return format;
}

QTextCharFormat font(const QString& family, qreal points, bool bold = false) {
    QTextCharFormat format;
    format.setFontFamilies({family});
    format.setFontPointSize(points);
    if (bold)
        format.setFontWeight(QFont::Bold);
    return format;
}

QByteArray rtf(const QByteArray& body) {
    return "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}" + body + "}";
}

int fragmentCount(const QTextBlock& block) {
    int count = 0;
    for (auto it = block.begin(); !it.atEnd(); ++it)
        ++count;
    return count;
}

TEST(RtfReader, LoadsTheRichEditFixture) {
    const QByteArray data = fixture("richedit-colors.rtf");
    ASSERT_FALSE(data.isEmpty());
    const Loaded loaded = load(data);
    EXPECT_TRUE(loaded.ok) << loaded.error.toStdString();
    EXPECT_EQ(loaded.text(), "\nNormal Line 1\nNormal Line 2\nColored Line\nHighlighted Line\n"
                             "Colored & Highlighted Line");

    const QColor none;
    const struct {
        const char* line;
        QColor foreground;
        QColor background;
    } expected[] = {
        {"Normal Line 1", none, none},
        {"Normal Line 2", none, none},
        {"Colored Line", QColor(0, 255, 0), none},
        {"Highlighted Line", none, QColor(255, 0, 0)},
        {"Colored & Highlighted Line", QColor(255, 255, 255), QColor(0, 0, 255)},
    };
    QTextBlock block = loaded.document->begin().next();
    for (const auto& e : expected) {
        ASSERT_TRUE(block.isValid());
        EXPECT_EQ(block.text(), e.line);
        const Look look = lookOf(block.text()[0], block.begin().fragment().charFormat(),
                                 loaded.document->defaultFont());
        EXPECT_EQ(look.foreground, e.foreground) << e.line;
        EXPECT_EQ(look.background, e.background) << e.line;
        EXPECT_EQ(look.family, "Courier New") << e.line;
        EXPECT_EQ(look.points, 8.5) << e.line;
        EXPECT_EQ(fragmentCount(block), 1) << e.line << ": one run";
        block = block.next();
    }
}

TEST(RtfReader, DecodesEscapesAndControlWords) {
    const struct {
        const char* name;
        QByteArray body;
        QString text;
    } cases[] = {
        {"escaped syntax characters", "a\\\\b\\{c\\}", "a\\b{c}"},
        {"hex bytes of the code page", "\\'e9\\'80\\'FC", QString::fromUtf8("é€ü")},
        {"unicode with fallback", "\\u937?x", QString::fromUtf8("Ωx")},
        {"negative unicode", "\\u-223?", QString(QChar(0xFF21))},
        {"surrogate pair", "\\u-10179?\\u-8704?", QString::fromUtf8("😀")},
        {"lone high surrogate", "\\u-10179?x", QString::fromUtf8("\uFFFDx")},
        {"lone low surrogate", "\\u-8704?x", QString::fromUtf8("\uFFFDx")},
        {"code point above the BMP", "\\u128512?", QString::fromUtf8("😀")},
        {"fallback as a hex byte", "\\u8364\\'80x", QString::fromUtf8("€x")},
        {"uc2 skips two bytes", "\\uc2\\u937??x", QString::fromUtf8("Ωx")},
        {"uc0 skips nothing", "\\uc0\\u937 x", QString::fromUtf8("Ωx")},
        {"fallback ends at an opening brace", "\\u937{x}y", QString::fromUtf8("Ωxy")},
        {"fallback ends at a group", "{\\uc3\\u937 a}b{\\u937 cd}", QString::fromUtf8("ΩbΩd")},
        {"uc is restored with the group", "{\\uc2 x}\\u937 ab", QString::fromUtf8("xΩb")},
        {"control word counts as one fallback", "\\u937\\cf0 x", QString::fromUtf8("Ωx")},
        {"tab, line, special characters", "a\\tab b\\line c\\~d\\emdash\\lquote e\\rquote\\-f",
         QString::fromUtf8("a\tb\u2028c\u00A0d—‘e’f")},
        {"line ends in the file are not text", "a\r\nb\nc\rd", "abcd"},
        {"escaped line end is a paragraph", "a\\\nb", "a\nb"},
        {"unknown control words", "\\foo123 a\\bar-5 b\\zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz c",
         "abc"},
        {"unknown starred destination", "a{\\*\\foo b{c}}d", "ad"},
        {"known non-text destinations",
         "{\\info{\\title T}{\\author A}}{\\stylesheet{\\s0 Normal;}}{\\pict\\pngblip 8950}"
         "{\\header H}{\\footer F}{\\*\\generator G}x",
         "x"},
        {"field shows its result", "{\\field{\\*\\fldinst HYPERLINK \"u\"}{\\fldrslt link}}",
         "link"},
        {"hidden text", "a\\v b\\v0 c", "ac"},
        {"binary data", "a\\bin4 {}\\x b", "a b"},
        {"raw control bytes",
         QByteArray("a\x01\x00"
                    "b",
                    4),
         "ab"},
        {"text after the last group is ignored", "a}b{c", "a"},
        {"code page 1251", "\\ansicpg1251\\'c0\\'e1", QString::fromUtf8("Аб")},
        {"double-byte code page", "\\ansicpg932\\'82\\'a0", QString::fromUtf8("あ")},
        {"unknown code page", "\\ansicpg9999\\'e9", QString::fromUtf8("é")},
        {"escaped line breaks become paragraphs", "a\\'0d\\'0ab\\u8233?c", "a\nb\nc"},
        {"frame marks and objects are replaced", "a\\u-560?\\u-4?b",
         QString::fromUtf8("a\uFFFD\uFFFDb")},
    };
    for (const auto& c : cases) {
        const Loaded loaded = load(rtf(c.body));
        EXPECT_EQ(loaded.text(), c.text) << c.name;
    }
}

TEST(RtfReader, DecodesBytesByTheFontCharset) {
    const Loaded loaded =
        load("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0\\fnil\\fcharset0 Arial;}"
             "{\\f1\\fnil\\fcharset204{\\*\\panose 0}Cyr;}{\\f2\\cpg1253 Greek}}\\f1\\'c0\\f0\\'c0"
             "\\f2\\'c1}");
    EXPECT_EQ(loaded.text(), QString::fromUtf8("АÀΑ"));
    const auto looks = looksOf(*loaded.document);
    ASSERT_EQ(looks.size(), 3u);
    EXPECT_EQ(looks[0].family, "Cyr");
    EXPECT_EQ(looks[1].family, "Arial");
    EXPECT_EQ(looks[2].family, "Greek");
}

TEST(RtfReader, GroupsRestoreTheFormatOfTheirParent) {
    const Loaded loaded =
        load(rtf("{\\colortbl;\\red255\\green0\\blue0;\\red0\\green0\\blue255;}"
                 "\\i\\fs30 a{\\b\\cf1\\ul b{\\plain c}d}e\\cf2\\i0\\strike f\\strike0\\cf0 g"));
    ASSERT_EQ(loaded.text(), "abcdefg");
    const auto looks = looksOf(*loaded.document);
    const QColor red(255, 0, 0), blue(0, 0, 255), none;
    const struct {
        QColor foreground;
        bool bold, italic, underline, strike;
        qreal points;
    } expected[] = {
        {none, false, true, false, false, 15},  {red, true, true, true, false, 15},
        {none, false, false, false, false, 10}, {red, true, true, true, false, 15},
        {none, false, true, false, false, 15},  {blue, false, false, false, true, 15},
        {none, false, false, false, false, 15},
    };
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(looks[i].foreground, expected[i].foreground);
        EXPECT_EQ(looks[i].bold, expected[i].bold);
        EXPECT_EQ(looks[i].italic, expected[i].italic);
        EXPECT_EQ(looks[i].underline, expected[i].underline);
        EXPECT_EQ(looks[i].strike, expected[i].strike);
        EXPECT_EQ(looks[i].points, expected[i].points);
    }
}

TEST(RtfReader, ColourTableEntriesAndIndexes) {
    const QColor none;
    const struct {
        const char* name;
        const char* body;
        QColor foreground;
        QColor background;
    } cases[] = {
        {"first entry is automatic", "{\\colortbl;\\red1\\green2\\blue3;}\\cf0 x", none, none},
        {"index past the table", "{\\colortbl;\\red1\\green2\\blue3;}\\cf9 x", none, none},
        {"negative index", "{\\colortbl;\\red1\\green2\\blue3;}\\cf-1 x", none, none},
        {"a real first entry", "{\\colortbl\\red1\\green2\\blue3;}\\cf0 x", QColor(1, 2, 3), none},
        {"missing components are zero", "{\\colortbl;\\green9;}\\cf1 x", QColor(0, 9, 0), none},
        {"components are clamped", "{\\colortbl;\\red999\\green0\\blue0;}\\cf1 x",
         QColor(255, 0, 0), none},
        {"last entry without semicolon", "{\\colortbl;\\red7\\green7\\blue7}\\cf1 x",
         QColor(7, 7, 7), none},
        {"highlight zero is none", "{\\colortbl;\\red1\\green2\\blue3;}\\highlight0 x", none, none},
        {"highlight", "{\\colortbl;\\red1\\green2\\blue3;}\\highlight1 x", none, QColor(1, 2, 3)},
    };
    for (const auto& c : cases) {
        const Loaded loaded = load(rtf(c.body));
        const auto looks = looksOf(*loaded.document);
        ASSERT_EQ(looks.size(), 1u) << c.name;
        EXPECT_EQ(looks[0].foreground, c.foreground) << c.name;
        EXPECT_EQ(looks[0].background, c.background) << c.name;
    }
}

TEST(RtfReader, LastParClosesTheLastParagraph) {
    const struct {
        const char* body;
        QString text;
    } cases[] = {
        {"a\\par", "a"}, {"a\\par\\par", "a\n"},      {"\\par a", "\na"},    {"a\\par b", "a\nb"},
        {"\\par", ""},   {"a\\par{\\v hidden}", "a"}, {"a\\par\\cf0 ", "a"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(load(rtf(c.body)).text(), c.text) << c.body;
}

TEST(RtfReader, EqualFormatsFromAnyGroupFormOneRun) {
    const Loaded loaded = load(rtf("{\\colortbl;\\red255\\green0\\blue0;}\\cf1 a\\cf1 b{\\cf1 c}"
                                   "{\\*\\x y}d\\par e\\cf0 f"));
    ASSERT_EQ(loaded.text(), "abcd\nef");
    const QTextBlock first = loaded.document->begin();
    EXPECT_EQ(fragmentCount(first), 1);
    EXPECT_EQ(fragmentCount(first.next()), 2);
}

TEST(RtfReader, MarkupLikeTextStaysLiteral) {
    const QString text = "<b>x</b> &amp; <img src=\"y.png\"> <a href=\"z\">z</a>";
    const Loaded loaded = load(rtf("<b>x</b> &amp; <img src=\"y.png\"> <a href=\"z\">z</a>"));
    EXPECT_EQ(loaded.text(), text);
    for (QTextBlock b = loaded.document->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            EXPECT_FALSE(it.fragment().charFormat().isImageFormat());
            EXPECT_FALSE(it.fragment().charFormat().isAnchor());
        }
}

TEST(RtfReader, TakesOtherDataAsPlainText) {
    const struct {
        const char* name;
        QByteArray data;
        QString text;
    } cases[] = {
        {"UTF-8 with CRLF", "hello\r\nw\xc3\xb6rld", QString::fromUtf8("hello\nwörld")},
        {"Windows-1252", "caf\xe9 {\\b x}", QString::fromUtf8("café {\\b x}")},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        const Loaded loaded = load(c.data);
        EXPECT_TRUE(loaded.ok) << c.name;
        EXPECT_EQ(loaded.text(), c.text) << c.name;
    }
}

TEST(RtfReader, InsertsAtACursorAsOneUndoStep) {
    QTextDocument document;
    QTextCursor cursor(&document);
    cursor.insertText("Hello world");
    cursor.setPosition(6);
    EXPECT_TRUE(readRtf(rtf("big\\par wide "), cursor));
    EXPECT_EQ(document.toPlainText(), "Hello big\nwide world");
    document.undo();
    EXPECT_EQ(document.toPlainText(), "Hello world");
}

TEST(RtfReader, ReplacingADocumentKeepsItsUndoSetting) {
    QTextDocument document;
    QTextCursor(&document).insertText("old");
    EXPECT_TRUE(readRtf(rtf("new"), document));
    EXPECT_EQ(document.toPlainText(), "new");
    EXPECT_TRUE(document.isUndoRedoEnabled());
    EXPECT_FALSE(document.isUndoAvailable());
}

TEST(RtfReader, TruncatedDataKeepsWhatWasReadAndReportsIt) {
    const QByteArray data = fixture("richedit-colors.rtf");
    const QString full = load(data).text();
    const qsizetype lastBrace = data.lastIndexOf('}');
    for (qsizetype size = 5; size < data.size(); ++size) { // shorter is no "{\\rtf"
        const Loaded loaded = load(data.first(size));
        SCOPED_TRACE(size);
        EXPECT_TRUE(full.startsWith(loaded.text()));
        if (size <= lastBrace) {
            EXPECT_FALSE(loaded.ok);
            EXPECT_FALSE(loaded.error.isEmpty());
        }
    }
    const struct {
        const char* name;
        QByteArray data;
        QString text;
    } cases[] = {
        {"backslash at the end", "{\\rtf1 ab\\", "ab"},
        {"half a hex byte", "{\\rtf1 ab\\'e", "ab"},
        {"binary data past the end", "{\\rtf1 ab\\bin999999 xyz}", "ab"},
        {"unclosed destination", "{\\rtf1 ab{\\*\\x ", "ab"},
    };
    for (const auto& c : cases) {
        const Loaded loaded = load(c.data);
        EXPECT_FALSE(loaded.ok) << c.name;
        EXPECT_FALSE(loaded.error.isEmpty()) << c.name;
        EXPECT_EQ(loaded.text(), c.text) << c.name;
    }
}

TEST(RtfReader, DeepNestingIsBoundedAndReported) {
    const int depth = 200000;
    const QByteArray data =
        "{\\rtf1 a" + QByteArray(depth, '{') + "\\i b" + QByteArray(depth, '}') + "c}";
    QElapsedTimer timer;
    timer.start();
    const Loaded loaded = load(data);
    EXPECT_LT(timer.elapsed(), 2000);
    EXPECT_FALSE(loaded.ok);
    EXPECT_EQ(loaded.text(), "abc");

    const Loaded unclosed = load("{\\rtf1 a" + QByteArray(depth, '{') + "b");
    EXPECT_FALSE(unclosed.ok);
    EXPECT_EQ(unclosed.text(), "ab");
}

TEST(RtfReader, SurvivesGarbage) {
    QTextDocument source;
    QTextCursor cursor(&source);
    cursor.insertText(QString::fromUtf8("Ann: é€Ω😀 {x}\\\tend\n"), colored(Qt::red, true));
    cursor.insertText("Bob: plain\n", font("Courier New", 9, true));
    const QByteArray base = writeRtf(source) + fixture("richedit-colors.rtf");

    std::mt19937 random(12345);
    const char alphabet[] = "{}\\'*;0123456789-abcufinsp \r\n\xe9\x80";
    for (int round = 0; round < 3000; ++round) {
        QByteArray data = base;
        const int edits = 1 + int(random() % 8);
        for (int e = 0; e < edits; ++e) {
            const qsizetype at = qsizetype(random() % data.size());
            switch (random() % 3) {
            case 0:
                data[at] = alphabet[random() % (sizeof alphabet - 1)];
                break;
            case 1:
                data.insert(at, alphabet[random() % (sizeof alphabet - 1)]);
                break;
            default:
                data.remove(at, qsizetype(1 + random() % 16));
                break;
            }
            if (data.isEmpty())
                data = "{";
        }
        const Loaded loaded = load(data);
        ASSERT_LE(loaded.text().size(), data.size()) << data.toStdString();
    }
}

TEST(RtfReader, RoundTripsWhatTheWriterWrites) {
    const QTextCharFormat plain;
    QTextCharFormat highlighted = colored(Qt::darkGreen);
    highlighted.setBackground(QColor(Qt::yellow));
    QTextCharFormat decorated;
    decorated.setFontUnderline(true);
    decorated.setFontStrikeOut(true);
    const struct {
        const char* name;
        std::vector<std::pair<QString, QTextCharFormat>> runs;
    } cases[] = {
        {"empty document", {}},
        {"chat lines",
         {{"Ann (12:00:01): ", colored(QColor(0x80, 0, 0))},
          {"hello", colored(QColor(0x80, 0, 0))},
          {"\n\nBob: ", colored(Qt::blue, true)},
          {"private", colored(Qt::blue, true)},
          {"\nplain again", plain}}},
        {"fonts and sizes",
         {{"courier ", font("Courier New", 9)},
          {"times ", font("Times New Roman", 14, true)},
          {"default", plain},
          {"\nhalf points", font("Arial", 8.5)}}},
        {"markup-looking text", {{"<b>x</b> & {\\par} <img src=x> &amp;", colored(Qt::red)}}},
        {"code page characters", {{QString::fromUtf8("é € ü ß „q“ … ÿ"), plain}}},
        {"outside the code page", {{QString::fromUtf8("Ω Ж 中文 😀 🎉 \uFF21"), plain}}},
        {"tabs and line breaks", {{QString("a\tb") + QChar(QChar::LineSeparator) + "c\t", plain}}},
        {"empty paragraphs", {{"\n\nx\n\n", colored(Qt::red)}}},
        {"blanks and digits after format changes",
         {{" 1", colored(Qt::red)}, {"2 ", colored(Qt::blue)}, {"  3", plain}}},
        {"backslashes and control-word-looking text", {{"C:\\dir\\{x}\\u937? \\par \\'e9", plain}}},
        {"highlight, underline, strike-out", {{"hi", highlighted}, {"deco", decorated}}},
        {"ends with a newline", {{"abc\n", plain}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QTextDocument source;
        source.setDefaultFont(QFont("Arial", 10));
        QTextCursor cursor(&source);
        for (const auto& [text, format] : c.runs)
            cursor.insertText(text, format);

        const QByteArray data = writeRtf(source);
        const Loaded loaded = load(data);
        EXPECT_TRUE(loaded.ok) << loaded.error.toStdString();
        EXPECT_EQ(loaded.text(), textOf(source)) << data.constData();
        EXPECT_EQ(looksOf(*loaded.document), looksOf(source)) << data.constData();
        EXPECT_EQ(writeRtf(*loaded.document), data);
        // The text alone, as a search of the log reads it.
        EXPECT_EQ(readRtfText(data).replace(QChar::ParagraphSeparator, u'\n'), textOf(source));
    }
}

} // namespace
} // namespace kalvento::richtext
