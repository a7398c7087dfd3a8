#pragma once
// INI files with the semantics of the Windows private-profile functions: section and key
// names match case-insensitively and are trimmed; values are trimmed and one pair of
// matching surrounding quotes is stripped; the first duplicate key wins; a line without
// "=" is not a key; a new key goes to the end of its section, a new section to the end of
// the document, written as key=value; CR, LF and CRLF all end a line. Lines that are not
// touched (comments, blanks, unknown keys) are kept as they stand. A value reads as at most
// 2047 characters. Writing quotes a value the reader would otherwise change (blanks at
// either end, surrounding quotes) and turns line breaks into blanks, so what is written
// reads back the same and cannot add lines of its own.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

namespace kalvento::platform {

class IniDocument {
public:
    struct ParseOptions {
        // Language files treat a line that begins with ';' as a comment; the settings
        // file, like the Windows functions, does not.
        bool semicolonComments = false;
    };

    IniDocument() = default;
    // Bytes are decoded as UTF-8 when valid, else Windows-1252.
    static IniDocument parse(QByteArrayView bytes, ParseOptions options);
    static IniDocument parse(QByteArrayView bytes) { return parse(bytes, ParseOptions{}); }
    // UTF-8, with the line ending the document was read with (LF for a new one).
    QByteArray serialize() const;

    bool hasSection(QStringView section) const;
    bool hasKey(QStringView section, QStringView key) const;
    std::optional<QString> value(QStringView section, QStringView key) const;
    QString value(QStringView section, QStringView key, const QString& fallback) const;
    // Names of the keys of a section, in file order, duplicates included once.
    QStringList keys(QStringView section) const;

    struct Entry {
        QString key;
        QString value;
    };
    // The keys of a section with their values, in file order; a key that repeats counts
    // once, with the value value() reads. Linear in the section's size.
    std::vector<Entry> entries(QStringView section) const;
    QStringList sections() const;

    void setValue(const QString& section, const QString& key, const QString& value);
    void removeKey(QStringView section, QStringView key);
    // Removes the header and every line of the section, and of any later section of the
    // same name, which would otherwise take its place.
    void removeSection(QStringView section);
    // Removes the section as removeSection does, and writes it anew at the end of the
    // document with these keys, in order, as setValue would write each (the keys are
    // taken to differ). Linear in the size of the document.
    void replaceSection(const QString& section, const std::vector<Entry>& entries);

private:
    struct Line {
        QString text;    // the line as read or as written
        QString section; // trimmed name, for header lines
        QString key;     // trimmed name, for key lines
        QString value;   // trimmed, quotes stripped, for key lines
        enum Kind { Other, Header, Key } kind = Other;
    };
    // Index of the first header line of section, or -1.
    qsizetype findSection(QStringView section) const;
    // One past the last line that belongs to the section whose header is at header.
    qsizetype sectionEnd(qsizetype header) const;
    qsizetype findKey(QStringView section, QStringView key) const;

    std::vector<Line> m_lines;
    QByteArray m_lineEnding = "\n";
};

// Whole-file access. load() gives an empty document for a missing or unreadable file;
// save() writes atomically (temporary file, then rename) and throws SystemError with the
// system's text when it cannot.
namespace ini {
IniDocument load(const QString& path, IniDocument::ParseOptions options = {});
void save(const QString& path, const IniDocument& document);
} // namespace ini

} // namespace kalvento::platform
