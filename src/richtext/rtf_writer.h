#pragma once
// Saves the chat view as rich text (RTF) for the log file.

#include <QByteArray>
#include <QFont>
#include <QHash>
#include <QList>
#include <QRgb>
#include <QString>
#include <QStringList>

class QColor;
class QTextCharFormat;
class QTextDocument;

namespace kalvento::richtext {

// The font and colour tables at the head of a log. Entries are only ever added, so that
// the indexes of paragraphs written before stay valid.
struct RtfTables {
    QStringList fonts;  // \f0, \f1, ...
    QList<QRgb> colors; // \cf1, \cf2, ...; \cf0 is "automatic" and not listed
    bool operator==(const RtfTables&) const = default;
};

// Writes documents in the log form:
//
//   {\rtf1\ansi\ansicpg1252\deff0{\fonttbl...}LF{\colortbl ;...}LF
//   {\*\generator Kalvento;}{\*\kalventolog1 <bytes of the body>}LF\uc1\pard LF
//   one line per paragraph: \plain, its character state, its text, \par LF
//   }LF
//
// Each paragraph starts from \plain and names the whole character state it needs, and
// within it only the font, size, colour, highlight, bold, italic, underline and strike-out
// that differ from the run before follow. Any run of whole lines of the body therefore
// reads on its own behind the header, and lines are added at the end without a change to
// those before. Windows-1252 text with \'hh for its upper half and \uN? for characters
// outside it: the output is plain ASCII, and a raw line end only ever ends a paragraph.
class RtfLogWriter {
public:
    // Text without a family or size of its own is in defaultFont. tables are those of the
    // file the paragraphs go on; new fonts and colours are appended to them.
    explicit RtfLogWriter(const QFont& defaultFont, RtfTables tables = {});

    // The paragraphs of document, a line each. An empty document has none.
    QByteArray paragraphs(const QTextDocument& document);
    // The header for a body of bodyBytes bytes, with the tables as they stand now.
    QByteArray header(qint64 bodyBytes) const;
    static QByteArray trailer() { return QByteArrayLiteral("}\n"); }

    const RtfTables& tables() const { return m_tables; }

private:
    struct RunFormat {
        int font = 0;
        int halfPoints = -1; // -1: not said since \plain; 0: no size known
        int color = 0;       // 0: automatic
        int highlight = 0;   // 0: none
        bool bold = false;
        bool italic = false;
        bool underline = false;
        bool strike = false;
    };

    RunFormat runFormatOf(const QTextCharFormat& format);
    int fontIndexOf(const QString& family);
    int colorIndexOf(const QColor& color);
    void word(const char* name, int value);
    void toggle(const char* on, const char* off, bool now, bool& was);
    void switchTo(const RunFormat& run);

    QString m_defaultFamily;
    int m_defaultHalfPoints = 0;
    RtfTables m_tables;
    QHash<QString, int> m_fontIndex;
    QHash<QRgb, int> m_colorIndex;
    RunFormat m_current;
    QByteArray m_out;
    bool m_needDelimiter = false;
};

// The whole document in the log form. The time taken grows linearly with the document.
QByteArray writeRtf(const QTextDocument& document);

} // namespace kalvento::richtext
