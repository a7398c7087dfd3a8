#include "richtext/rtf_writer.h"

#include "platform/text_codec.h"

#include <QFont>
#include <QHash>
#include <QList>
#include <QTextBlock>
#include <QTextCharFormat>
#include <QTextDocument>
#include <QTextFragment>

#include <array>

namespace kalvento::richtext {
namespace {

// Characters of the bytes 0x80..0x9F in Windows-1252.
const std::array<char16_t, 32>& upperControls() {
    static const std::array<char16_t, 32> table = [] {
        std::array<char16_t, 32> t{};
        QByteArray bytes;
        for (int b = 0x80; b <= 0x9F; ++b)
            bytes.append(char(b));
        const QString text = platform::fromAnsi(bytes);
        for (int i = 0; i < 32; ++i)
            t[i] = text[i].unicode();
        return t;
    }();
    return table;
}

// Windows-1252 byte of a UTF-16 unit, or -1 when the code page has none.
int ansiByte(char16_t ch) {
    if (ch < 0x80 || (ch >= 0xA0 && ch <= 0xFF))
        return ch;
    const auto& table = upperControls();
    for (int i = 0; i < 32; ++i)
        if (table[i] == ch)
            return 0x80 + i;
    return -1;
}

struct RunFormat {
    int font = -1;
    int halfPoints = -1; // 0: no size known
    int color = 0;       // 0: automatic
    int highlight = 0;   // 0: none
    bool bold = false;
    bool italic = false;
    bool underline = false;
    bool strike = false;
};

class Writer {
public:
    explicit Writer(const QTextDocument& document) : document_(document) {
        const QFont base = document.defaultFont();
        defaultFamily_ = base.family();
        defaultHalfPoints_ = base.pointSizeF() > 0 ? halfPointsOf(base.pointSizeF()) : 0;
        fonts_.append(defaultFamily_);
        fontIndex_.insert(defaultFamily_, 0);
    }

    QByteArray write() {
        body_.reserve(qsizetype(document_.characterCount() * 1.1) + 64);
        body_ += "\\uc1\\pard";
        needDelimiter_ = true;
        for (QTextBlock block = document_.begin(); block.isValid(); block = block.next()) {
            for (auto it = block.begin(); !it.atEnd(); ++it) {
                const QTextFragment fragment = it.fragment();
                if (!fragment.isValid())
                    continue;
                const QTextCharFormat format = fragment.charFormat();
                if (format.objectType() != QTextFormat::NoObject)
                    continue; // images and other objects have no place in the log
                switchTo(runFormatOf(format));
                writeText(fragment.text());
            }
            // An empty line is as high as the format of the break that starts it, so that
            // break carries the empty line's format.
            const QTextBlock next = block.next();
            if (next.isValid() && next.length() == 1)
                switchTo(runFormatOf(next.charFormat()));
            body_ += "\\par\n";
            needDelimiter_ = false;
        }
        body_ += "}\n";
        return header() + body_;
    }

private:
    static int halfPointsOf(qreal points) { return qBound(1, qRound(points * 2), 32767); }

    RunFormat runFormatOf(const QTextCharFormat& format) {
        RunFormat run;
        run.font = fontIndexOf(familyOf(format));
        run.halfPoints = format.hasProperty(QTextFormat::FontPointSize)
                             ? halfPointsOf(format.fontPointSize())
                             : defaultHalfPoints_;
        const QBrush foreground = format.foreground();
        if (foreground.style() != Qt::NoBrush)
            run.color = colorIndexOf(foreground.color());
        const QBrush background = format.background();
        if (background.style() != Qt::NoBrush)
            run.highlight = colorIndexOf(background.color());
        run.bold =
            format.hasProperty(QTextFormat::FontWeight) && format.fontWeight() >= QFont::DemiBold;
        run.italic = format.fontItalic();
        run.underline = format.fontUnderline();
        run.strike = format.fontStrikeOut();
        return run;
    }

    QString familyOf(const QTextCharFormat& format) const {
        const QStringList families = format.fontFamilies().toStringList();
        return families.isEmpty() || families.first().isEmpty() ? defaultFamily_ : families.first();
    }

    int fontIndexOf(const QString& family) {
        auto it = fontIndex_.constFind(family);
        if (it != fontIndex_.constEnd())
            return it.value();
        fonts_.append(family);
        fontIndex_.insert(family, int(fonts_.size() - 1));
        return int(fonts_.size() - 1);
    }

    int colorIndexOf(const QColor& color) {
        const QRgb key = color.rgb() & 0xFFFFFF;
        auto it = colorIndex_.constFind(key);
        if (it != colorIndex_.constEnd())
            return it.value();
        colors_.append(key);
        const int index = int(colors_.size()); // entry 0 is "automatic"
        colorIndex_.insert(key, index);
        return index;
    }

    void word(const char* name, int value) {
        body_ += '\\';
        body_ += name;
        body_ += QByteArray::number(value);
        needDelimiter_ = true;
    }

    void toggle(const char* on, const char* off, bool now, bool& was) {
        if (now == was)
            return;
        body_ += now ? on : off;
        needDelimiter_ = true;
        was = now;
    }

    void switchTo(const RunFormat& run) {
        if (run.font != current_.font)
            word("f", run.font);
        if (run.halfPoints != current_.halfPoints && run.halfPoints > 0)
            word("fs", run.halfPoints);
        if (run.color != current_.color)
            word("cf", run.color);
        if (run.highlight != current_.highlight)
            word("highlight", run.highlight);
        toggle("\\b", "\\b0", run.bold, current_.bold);
        toggle("\\i", "\\i0", run.italic, current_.italic);
        toggle("\\ul", "\\ulnone", run.underline, current_.underline);
        toggle("\\strike", "\\strike0", run.strike, current_.strike);
        current_.font = run.font;
        if (run.halfPoints > 0)
            current_.halfPoints = run.halfPoints;
        current_.color = run.color;
        current_.highlight = run.highlight;
    }

    void writeText(QStringView text) { escape(text, body_, needDelimiter_, false); }

    // Appends text as RTF. A control word written just before needs a blank to end it;
    // that blank is part of the control word, not of the text.
    static void escape(QStringView text, QByteArray& out, bool& needDelimiter, bool inFontTable) {
        static const char hex[] = "0123456789abcdef";
        for (const QChar qc : text) {
            const char16_t ch = qc.unicode();
            if (ch >= 0x20 && ch < 0x7F && ch != '\\' && ch != '{' && ch != '}' &&
                !(inFontTable && ch == ';')) {
                if (needDelimiter) {
                    out += ' ';
                    needDelimiter = false;
                }
                out += char(ch);
                continue;
            }
            switch (ch) {
            case '\\':
            case '{':
            case '}':
                out += '\\';
                out += char(ch);
                needDelimiter = false;
                continue;
            case '\t':
                out += "\\tab";
                needDelimiter = true;
                continue;
            case 0x2028: // QChar::LineSeparator
                out += "\\line";
                needDelimiter = true;
                continue;
            case 0xFFFC: // object replacement without an object
                continue;
            default:
                break;
            }
            const int b = ansiByte(ch);
            if (b >= 0) {
                out += "\\'";
                out += hex[b >> 4];
                out += hex[b & 0xF];
            } else {
                out += "\\u";
                out += QByteArray::number(int(qint16(ch)));
                out += '?';
            }
            needDelimiter = false;
        }
    }

    QByteArray header() const {
        QByteArray out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl";
        for (qsizetype i = 0; i < fonts_.size(); ++i) {
            out += "{\\f" + QByteArray::number(i) + "\\fnil\\fcharset0";
            bool needDelimiter = true;
            escape(fonts_[i], out, needDelimiter, true);
            out += ";}";
        }
        out += "}\n{\\colortbl ;";
        for (const QRgb rgb : colors_) {
            out += "\\red" + QByteArray::number(qRed(rgb)) + "\\green" +
                   QByteArray::number(qGreen(rgb)) + "\\blue" + QByteArray::number(qBlue(rgb)) +
                   ';';
        }
        out += "}\n";
        return out;
    }

    const QTextDocument& document_;
    QString defaultFamily_;
    int defaultHalfPoints_ = 0;
    QStringList fonts_;
    QHash<QString, int> fontIndex_;
    QList<QRgb> colors_;
    QHash<QRgb, int> colorIndex_;
    RunFormat current_;
    QByteArray body_;
    bool needDelimiter_ = false;
};

} // namespace

QByteArray writeRtf(const QTextDocument& document) {
    return Writer(document).write();
}

} // namespace kalvento::richtext
