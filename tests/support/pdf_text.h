#pragma once

// What Qt's PDF writer puts in a file, to look for in the bytes of a printed document.

#include <QByteArray>
#include <QString>

namespace kalvento::test {

// A text string as stored in the document information (the title): UTF-16 big-endian after
// a byte-order mark, with the string delimiters and the backslash escaped.
inline QByteArray pdfTextString(const QString& text) {
    QByteArray utf16("\xFE\xFF", 2);
    for (const QChar ch : text) {
        if (ch == u'(' || ch == u')' || ch == u'\\') {
            utf16 += '\0';
            utf16 += '\\';
            utf16 += char(ch.unicode());
            continue;
        }
        utf16 += char(ch.unicode() >> 8);
        utf16 += char(ch.unicode() & 0xFF);
    }
    return utf16;
}

// The page objects in the document, one for each page.
inline qsizetype pdfPageCount(const QByteArray& pdf) {
    return pdf.count("/Type /Page\n") + pdf.count("/Type /Page\r") + pdf.count("/Type /Page ");
}

} // namespace kalvento::test
