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
#include <utility>

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

// Appends text as RTF. A control word written just before needs a blank to end it; that
// blank is part of the control word, not of the text.
void escape(QStringView text, QByteArray& out, bool& needDelimiter, bool inFontTable) {
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

int halfPointsOf(qreal points) {
    return qBound(1, qRound(points * 2), 32767);
}

} // namespace

RtfLogWriter::RtfLogWriter(const QFont& defaultFont, RtfTables tables)
    : m_defaultFamily(defaultFont.family()),
      m_defaultHalfPoints(defaultFont.pointSizeF() > 0 ? halfPointsOf(defaultFont.pointSizeF())
                                                       : 0),
      m_tables(std::move(tables)) {
    for (qsizetype i = 0; i < m_tables.fonts.size(); ++i)
        m_fontIndex.insert(m_tables.fonts[i], int(i));
    for (qsizetype i = 0; i < m_tables.colors.size(); ++i) {
        QRgb& rgb = m_tables.colors[i];
        rgb = qRgb(qRed(rgb), qGreen(rgb), qBlue(rgb));
        m_colorIndex.insert(rgb, int(i + 1));
    }
    // \deff0: in a new file, text in the default font needs no \f of its own.
    if (m_tables.fonts.isEmpty())
        fontIndexOf(m_defaultFamily);
}

QByteArray RtfLogWriter::paragraphs(const QTextDocument& document) {
    m_out.clear();
    if (document.isEmpty())
        return {};
    m_out.reserve(qsizetype(document.characterCount() * 1.2) + 64);
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        m_out += "\\plain";
        m_needDelimiter = true;
        m_current = RunFormat{};
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            if (!fragment.isValid())
                continue;
            const QTextCharFormat format = fragment.charFormat();
            if (format.objectType() != QTextFormat::NoObject)
                continue; // images and other objects have no place in the log
            switchTo(runFormatOf(format));
            escape(fragment.text(), m_out, m_needDelimiter, false);
        }
        // An empty line is as high as the format of the break that starts it, so that
        // break carries the empty line's format.
        const QTextBlock next = block.next();
        if (next.isValid() && next.length() == 1)
            switchTo(runFormatOf(next.charFormat()));
        m_out += "\\par\n";
    }
    return std::exchange(m_out, QByteArray());
}

QByteArray RtfLogWriter::header(qint64 bodyBytes) const {
    QByteArray out = "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl";
    for (qsizetype i = 0; i < m_tables.fonts.size(); ++i) {
        out += "{\\f" + QByteArray::number(i) + "\\fnil\\fcharset0";
        bool needDelimiter = true;
        escape(m_tables.fonts[i], out, needDelimiter, true);
        out += ";}";
    }
    out += "}\n{\\colortbl ;";
    for (const QRgb rgb : m_tables.colors) {
        out += "\\red" + QByteArray::number(qRed(rgb)) + "\\green" +
               QByteArray::number(qGreen(rgb)) + "\\blue" + QByteArray::number(qBlue(rgb)) + ';';
    }
    out += "}\n{\\*\\generator Kalvento;}{\\*\\kalventolog1 " + QByteArray::number(bodyBytes) +
           "}\n\\uc1\\pard\n";
    return out;
}

RtfLogWriter::RunFormat RtfLogWriter::runFormatOf(const QTextCharFormat& format) {
    RunFormat run;
    const QStringList families = format.fontFamilies().toStringList();
    run.font = fontIndexOf(families.isEmpty() || families.first().isEmpty() ? m_defaultFamily
                                                                            : families.first());
    run.halfPoints = format.hasProperty(QTextFormat::FontPointSize)
                         ? halfPointsOf(format.fontPointSize())
                         : m_defaultHalfPoints;
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

int RtfLogWriter::fontIndexOf(const QString& family) {
    const auto it = m_fontIndex.constFind(family);
    if (it != m_fontIndex.constEnd())
        return it.value();
    m_tables.fonts.append(family);
    const int index = int(m_tables.fonts.size() - 1);
    m_fontIndex.insert(family, index);
    return index;
}

int RtfLogWriter::colorIndexOf(const QColor& color) {
    const QRgb key = qRgb(color.red(), color.green(), color.blue());
    const auto it = m_colorIndex.constFind(key);
    if (it != m_colorIndex.constEnd())
        return it.value();
    m_tables.colors.append(key);
    const int index = int(m_tables.colors.size()); // entry 0 is "automatic"
    m_colorIndex.insert(key, index);
    return index;
}

void RtfLogWriter::word(const char* name, int value) {
    m_out += '\\';
    m_out += name;
    m_out += QByteArray::number(value);
    m_needDelimiter = true;
}

void RtfLogWriter::toggle(const char* on, const char* off, bool now, bool& was) {
    if (now == was)
        return;
    m_out += now ? on : off;
    m_needDelimiter = true;
    was = now;
}

void RtfLogWriter::switchTo(const RunFormat& run) {
    if (run.font != m_current.font)
        word("f", run.font);
    if (run.halfPoints != m_current.halfPoints && run.halfPoints > 0)
        word("fs", run.halfPoints);
    if (run.color != m_current.color)
        word("cf", run.color);
    if (run.highlight != m_current.highlight)
        word("highlight", run.highlight);
    toggle("\\b", "\\b0", run.bold, m_current.bold);
    toggle("\\i", "\\i0", run.italic, m_current.italic);
    toggle("\\ul", "\\ulnone", run.underline, m_current.underline);
    toggle("\\strike", "\\strike0", run.strike, m_current.strike);
    m_current.font = run.font;
    if (run.halfPoints > 0)
        m_current.halfPoints = run.halfPoints;
    m_current.color = run.color;
    m_current.highlight = run.highlight;
}

QByteArray writeRtf(const QTextDocument& document) {
    RtfLogWriter writer(document.defaultFont());
    const QByteArray body = writer.paragraphs(document);
    return writer.header(body.size()) + body + RtfLogWriter::trailer();
}

} // namespace kalvento::richtext
