#include "platform/ini_file.h"

#include "platform/atomic_file.h"
#include "platform/text_codec.h"

#include <QFile>
#include <QSet>

namespace kalvento::platform {

namespace {

// The private-profile functions read a value into a buffer of this many characters.
constexpr qsizetype MaxValueLength = 2047;

bool sameName(QStringView a, QStringView b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

QString stripQuotes(const QString& value) {
    if (value.size() >= 2) {
        const QChar first = value.front();
        if ((first == u'"' || first == u'\'') && value.back() == first)
            return value.mid(1, value.size() - 2);
    }
    return value;
}

// A line break inside a name or value would start a new line on the next read, letting
// text from a peer (a friend's name) plant sections and keys of its own.
QString singleLine(QString text) {
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    return text;
}

// Writes the value so that reading it back gives the same text: blanks at either end and
// a surrounding pair of quotes would otherwise be taken away by the reader.
QString encodeValue(const QString& value) {
    QString line = singleLine(value);
    if (line.isEmpty())
        return line;
    const bool padded = line.front().isSpace() || line.back().isSpace();
    if (padded || stripQuotes(line) != line)
        return u'"' + line + u'"';
    return line;
}

} // namespace

IniDocument IniDocument::parse(QByteArrayView bytes, ParseOptions options) {
    IniDocument document;
    const QString text = decodeUtf8OrAnsi(bytes);

    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r') {
            document.m_lineEnding =
                (i + 1 < text.size() && text[i + 1] == u'\n') ? QByteArray("\r\n") : "\r";
            break;
        }
        if (text[i] == u'\n') {
            document.m_lineEnding = "\n";
            break;
        }
    }

    bool inSection = false;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && text[end] != u'\r' && text[end] != u'\n')
            ++end;
        Line line;
        line.text = text.mid(start, end - start);
        if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() &&
            text[end + 1] == u'\n')
            ++end;
        start = end + 1;

        const QString trimmed = line.text.trimmed();
        if (options.semicolonComments && trimmed.startsWith(u';')) {
            document.m_lines.push_back(std::move(line));
            continue;
        }
        if (trimmed.startsWith(u'[')) {
            const qsizetype close = trimmed.lastIndexOf(u']');
            if (close > 0) {
                line.kind = Line::Header;
                line.section = trimmed.mid(1, close - 1).trimmed();
                inSection = true;
                document.m_lines.push_back(std::move(line));
                continue;
            }
        }
        const qsizetype equals = trimmed.indexOf(u'=');
        if (inSection && equals > 0) {
            const QString key = trimmed.left(equals).trimmed();
            if (!key.isEmpty()) {
                line.kind = Line::Key;
                line.key = key;
                line.value = stripQuotes(trimmed.mid(equals + 1).trimmed());
            }
        }
        document.m_lines.push_back(std::move(line));
    }
    return document;
}

QByteArray IniDocument::serialize() const {
    QByteArray bytes;
    for (const Line& line : m_lines) {
        bytes += line.text.toUtf8();
        bytes += m_lineEnding;
    }
    return bytes;
}

qsizetype IniDocument::findSection(QStringView section) const {
    const QString name = section.trimmed().toString();
    for (qsizetype i = 0; i < qsizetype(m_lines.size()); ++i) {
        if (m_lines[i].kind == Line::Header && sameName(m_lines[i].section, name))
            return i;
    }
    return -1;
}

qsizetype IniDocument::sectionEnd(qsizetype header) const {
    qsizetype i = header + 1;
    while (i < qsizetype(m_lines.size()) && m_lines[i].kind != Line::Header)
        ++i;
    return i;
}

qsizetype IniDocument::findKey(QStringView section, QStringView key) const {
    const qsizetype header = findSection(section);
    if (header < 0)
        return -1;
    const QString name = key.trimmed().toString();
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Line::Key && sameName(m_lines[i].key, name))
            return i;
    }
    return -1;
}

bool IniDocument::hasSection(QStringView section) const {
    return findSection(section) >= 0;
}

bool IniDocument::hasKey(QStringView section, QStringView key) const {
    return findKey(section, key) >= 0;
}

std::optional<QString> IniDocument::value(QStringView section, QStringView key) const {
    const qsizetype i = findKey(section, key);
    if (i < 0)
        return std::nullopt;
    return m_lines[i].value.left(MaxValueLength);
}

QString IniDocument::value(QStringView section, QStringView key, const QString& fallback) const {
    return value(section, key).value_or(fallback);
}

QStringList IniDocument::keys(QStringView section) const {
    QStringList names;
    for (const Entry& entry : entries(section))
        names.append(entry.key);
    return names;
}

std::vector<IniDocument::Entry> IniDocument::entries(QStringView section) const {
    std::vector<Entry> found;
    const qsizetype header = findSection(section);
    if (header < 0)
        return found;
    // Case-insensitive names: the folded form of each name seen.
    QSet<QString> seen;
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        const Line& line = m_lines[i];
        if (line.kind != Line::Key)
            continue;
        const QString folded = line.key.toCaseFolded();
        if (seen.contains(folded))
            continue; // the first of duplicate keys wins
        seen.insert(folded);
        found.push_back({line.key, line.value.left(MaxValueLength)});
    }
    return found;
}

QStringList IniDocument::sections() const {
    QStringList names;
    for (const Line& line : m_lines) {
        if (line.kind == Line::Header && !names.contains(line.section, Qt::CaseInsensitive))
            names.append(line.section);
    }
    return names;
}

void IniDocument::setValue(const QString& section, const QString& key, const QString& value) {
    const QString sectionName = singleLine(section).trimmed();
    const QString keyName = singleLine(key).trimmed();
    const QString stored = encodeValue(value);

    Line line;
    line.kind = Line::Key;
    line.value = stripQuotes(stored);

    const qsizetype existing = findKey(sectionName, keyName);
    if (existing >= 0) {
        // The name keeps the spelling the file already has.
        line.key = m_lines[existing].key;
        line.text = line.key + u'=' + stored;
        m_lines[existing] = std::move(line);
        return;
    }
    line.key = keyName;
    line.text = keyName + u'=' + stored;

    const qsizetype header = findSection(sectionName);
    if (header < 0) {
        Line head;
        head.kind = Line::Header;
        head.section = sectionName;
        head.text = u'[' + sectionName + u']';
        m_lines.push_back(std::move(head));
        m_lines.push_back(std::move(line));
        return;
    }
    // After the last line with content, so blank lines that separate the next section
    // stay in front of it.
    qsizetype at = header + 1;
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (!m_lines[i].text.trimmed().isEmpty())
            at = i + 1;
    }
    m_lines.insert(m_lines.begin() + at, std::move(line));
}

void IniDocument::removeKey(QStringView section, QStringView key) {
    const qsizetype i = findKey(section, key);
    if (i >= 0)
        m_lines.erase(m_lines.begin() + i);
}

void IniDocument::removeSection(QStringView section) {
    // Every section of that name goes: a second one further down would otherwise take the
    // place of the one removed.
    for (qsizetype header = findSection(section); header >= 0; header = findSection(section))
        m_lines.erase(m_lines.begin() + header, m_lines.begin() + sectionEnd(header));
}

void IniDocument::replaceSection(const QString& section, const std::vector<Entry>& entries) {
    const QString sectionName = singleLine(section).trimmed();
    // Every section of that name goes, in one pass.
    std::vector<Line> kept;
    kept.reserve(m_lines.size() + entries.size() + 1);
    bool dropping = false;
    for (Line& line : m_lines) {
        if (line.kind == Line::Header)
            dropping = sameName(line.section, sectionName);
        if (!dropping)
            kept.push_back(std::move(line));
    }
    m_lines = std::move(kept);
    if (entries.empty())
        return;
    Line head;
    head.kind = Line::Header;
    head.section = sectionName;
    head.text = u'[' + sectionName + u']';
    m_lines.push_back(std::move(head));
    for (const Entry& entry : entries) {
        Line line;
        line.kind = Line::Key;
        line.key = singleLine(entry.key).trimmed();
        const QString stored = encodeValue(entry.value);
        line.value = stripQuotes(stored);
        line.text = line.key + u'=' + stored;
        m_lines.push_back(std::move(line));
    }
}

namespace ini {

IniDocument load(const QString& path, IniDocument::ParseOptions options) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return IniDocument();
    return IniDocument::parse(file.readAll(), options);
}

void save(const QString& path, const IniDocument& document) {
    writeFileAtomically(path, document.serialize());
}

} // namespace ini

} // namespace kalvento::platform
