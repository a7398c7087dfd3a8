#pragma once
// The chat log in the form RtfLogWriter writes: recognised by its header, read a piece at a
// time from its end, and added to at its end without being rewritten from a document.

#include "platform/result.h"
#include "richtext/rtf_writer.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

#include <sys/types.h>

class QTextDocument;

namespace kalvento::richtext {

// Where the parts of a log in the log form lie: the header, then bodyBytes of paragraphs,
// then the closing brace and line end.
struct LogHeader {
    RtfTables tables;
    qint64 headerBytes = 0;
    qint64 bodyBytes = 0;
};

// The header at the start of head, when it is byte for byte what RtfLogWriter writes for
// the tables and the body length it names. A file of another editor, or one whose header
// was changed by hand, has none.
std::optional<LogHeader> parseLogHeader(QByteArrayView head);

// A log file opened to read its history a piece at a time, from the end back. The file
// stays open, so that reads see the file as it was opened even after the next save has
// replaced it; a change made to that file itself makes further reads fail. Failures carry
// the system's text for the reason.
class LogHistoryFile {
public:
    LogHistoryFile() = default;
    ~LogHistoryFile();
    LogHistoryFile(const LogHistoryFile&) = delete;
    LogHistoryFile& operator=(const LogHistoryFile&) = delete;

    // Opens path. A whole file in the log form (its header, as long as the header says, the
    // body ending in a line end, the closing brace and line end last) is read lazily:
    // isLogForm(). Any other file is for the caller to read whole (readAll).
    platform::Result open(const QString& path);
    bool isLogForm() const { return m_header.has_value(); }
    qint64 bodyBegin() const;
    qint64 bodyEnd() const;

    // The whole lines of the body before end (a line start): from the start of the line
    // that holds end - about, or from bodyBegin(); a line longer than about comes whole.
    // begin receives where they start.
    platform::Result readLinesBefore(qint64 end, qint64 about, qint64& begin,
                                     QByteArray& lines) const;
    // The bytes [begin, end) of the file.
    platform::Result read(qint64 begin, qint64 end, QByteArray& bytes) const;
    platform::Result readAll(QByteArray& bytes) const;
    // Lines of the body as an RTF document of their own: the header, the lines, the
    // closing brace.
    QByteArray documentOf(QByteArrayView lines) const;

private:
    platform::Result unchanged() const;
    platform::Result failure(int error) const;

    int m_fd = -1;
    QString m_path;
    std::optional<LogHeader> m_header;
    QByteArray m_headerBytes;
    // What the file was when opened.
    qint64 m_size = 0;
    qint64 m_modifiedNs = 0;
    ino_t m_inode = 0;
};

// What appendToLog did.
struct AppendOutcome {
    platform::Result result;
    // The old log could not be read as RTF; nothing was written.
    bool sourceDamaged = false;
};

// Writes to path the log at source (path itself, or the file the history came from when
// the log has moved; empty or missing: there is none) followed by the paragraphs of lines.
//
// The new file is written beside path and takes its place by a rename only once it is
// complete and synced; until then path and source are only ever read, so a failure (the
// message carries the system's reason) or a kill at any moment leaves the old log whole.
// A source in the log form is copied byte for byte, a block at a time, behind a header
// whose tables have gained the entries the new lines need (appended, so the old lines'
// indexes stay right); the copy is checked on the way to hold only whole paragraphs at the
// document's own level, else the source counts as not in the log form. Any other source is
// read whole and written again in the log form.
AppendOutcome appendToLog(const QString& path, const QString& source, const QTextDocument& lines);

} // namespace kalvento::richtext
