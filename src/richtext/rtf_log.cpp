#include "richtext/rtf_log.h"

#include "platform/atomic_file.h"
#include "platform/system_error.h"
#include "platform/text_codec.h"
#include "richtext/rtf_reader.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QTextDocument>

#include <cerrno>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::richtext {
namespace {

// A header is a few hundred bytes; one far beyond this is no header of ours.
constexpr qint64 kMaxHeaderBytes = qint64{64} * 1024;
// The copy of an old body goes through a buffer of this size.
constexpr qint64 kCopyBlockBytes = qint64{1024} * 1024;

// Reads the header token by token; any deviation from the writer's form ends it.
class HeaderParser {
public:
    explicit HeaderParser(QByteArrayView data) : m_data(data) {}

    std::optional<LogHeader> parse() {
        LogHeader header;
        if (!take("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl"))
            return std::nullopt;
        while (take("{\\f")) {
            qint64 index = 0;
            if (!number(index) || index != header.tables.fonts.size() || !take("\\fnil\\fcharset0"))
                return std::nullopt;
            std::optional<QString> name = fontName();
            if (!name)
                return std::nullopt;
            header.tables.fonts.append(*name);
        }
        if (!take("}\n{\\colortbl ;"))
            return std::nullopt;
        while (take("\\red")) {
            qint64 red = 0, green = 0, blue = 0;
            if (!number(red) || !take("\\green") || !number(green) || !take("\\blue") ||
                !number(blue) || !take(";") || red > 255 || green > 255 || blue > 255)
                return std::nullopt;
            header.tables.colors.append(qRgb(int(red), int(green), int(blue)));
        }
        if (!take("}\n{\\*\\generator Kalvento;}{\\*\\kalventolog1 ") ||
            !number(header.bodyBytes) || !take("}\n\\uc1\\pard\n"))
            return std::nullopt;
        header.headerBytes = m_pos;
        return header;
    }

private:
    bool take(std::string_view text) {
        if (!m_data.sliced(m_pos).startsWith(QByteArrayView(text.data(), qsizetype(text.size()))))
            return false;
        m_pos += qsizetype(text.size());
        return true;
    }

    bool number(qint64& value) {
        const qsizetype start = m_pos;
        value = 0;
        while (m_pos < m_data.size() && m_data[m_pos] >= '0' && m_data[m_pos] <= '9' &&
               m_pos - start < 15)
            value = value * 10 + (m_data[m_pos++] - '0');
        return m_pos > start;
    }

    // A name as the writer escapes it, up to its ";}".
    std::optional<QString> fontName() {
        QString name;
        take(" "); // the blank that ends \fcharset0
        while (m_pos < m_data.size()) {
            const char c = m_data[m_pos];
            if (c == ';')
                return take(";}") ? std::optional<QString>(name) : std::nullopt;
            if (c != '\\') {
                if (c < 0x20 || c > 0x7E || c == '{' || c == '}')
                    return std::nullopt;
                name += QChar(c);
                ++m_pos;
                continue;
            }
            ++m_pos;
            if (take("\\") || take("{") || take("}")) {
                name += QChar(m_data[m_pos - 1]);
            } else if (take("'")) {
                if (m_pos + 2 > m_data.size())
                    return std::nullopt;
                bool ok = false;
                const int byte = m_data.sliced(m_pos, 2).toByteArray().toInt(&ok, 16);
                if (!ok)
                    return std::nullopt;
                m_pos += 2;
                name += platform::fromAnsi(QByteArray(1, char(byte)));
            } else if (take("u")) {
                const bool negative = take("-");
                qint64 value = 0;
                if (!number(value) || !take("?") || value > 32768)
                    return std::nullopt;
                name += QChar(char16_t(negative ? 0x10000 - value : value));
            } else if (take("tab")) {
                take(" ");
                name += u'\t';
            } else if (take("line")) {
                take(" ");
                name += QChar(QChar::LineSeparator);
            } else {
                return std::nullopt;
            }
        }
        return std::nullopt;
    }

    QByteArrayView m_data;
    qsizetype m_pos = 0;
};

qint64 modifiedNs(const struct stat& st) {
    return qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

// Reads [begin, end) of fd into bytes; 0 or the error number.
int readAt(int fd, qint64 begin, qint64 end, QByteArray& bytes) {
    bytes.resize(qsizetype(end - begin));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(fd, bytes.data() + done, size_t(bytes.size() - done), off_t(begin + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return EIO; // shorter than it was: the file changed
        done += n;
    }
    return 0;
}

// The layout of the file behind fd, when it is a whole log in the log form.
std::optional<LogHeader> layoutOf(int fd, qint64 size, QByteArray* headerBytes) {
    QByteArray head;
    if (readAt(fd, 0, qMin(size, kMaxHeaderBytes), head) != 0)
        return std::nullopt;
    std::optional<LogHeader> header = parseLogHeader(head);
    if (!header || header->headerBytes + header->bodyBytes + 2 != size)
        return std::nullopt;
    // The body ends with a whole line, then the closing brace and line end.
    QByteArray tail;
    const qint64 tailBegin = header->bodyBytes > 0 ? size - 3 : size - 2;
    if (readAt(fd, tailBegin, size, tail) != 0 ||
        tail != (header->bodyBytes > 0 ? QByteArrayView("\n}\n") : QByteArrayView("}\n")))
        return std::nullopt;
    if (headerBytes != nullptr)
        *headerBytes = head.first(qsizetype(header->headerBytes));
    return header;
}

// Whether a copied body is only paragraphs at the document's level: the writer escapes
// every brace of the text, so a raw one means groups that someone else put there.
class BodyCheck {
public:
    bool plain(QByteArrayView block) {
        for (const char c : block) {
            if (m_escaped)
                m_escaped = false;
            else if (c == '\\')
                m_escaped = true;
            else if (c == '{' || c == '}')
                return false;
        }
        return true;
    }

private:
    bool m_escaped = false;
};

platform::Result saveFailure(const QString& path, const QString& reason) {
    return platform::Result::failure(
        QStringLiteral("The chat log %1 could not be saved: %2").arg(path, reason));
}

platform::Result readFailure(const QString& path, const QString& reason) {
    return platform::Result::failure(
        QStringLiteral("The chat log %1 could not be read: %2").arg(path, reason));
}

// Straight to the descriptor, so that a failure keeps the system's reason.
platform::Result writeAll(int fd, QByteArrayView bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return platform::Result::failure(platform::systemErrorText(errno));
        }
        done += n;
    }
    return platform::Result::success();
}

// Closes a descriptor when it goes.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

enum class Streamed { Written, Failed, NotPlain };

// The old body copied behind a new header, the new lines after it.
Streamed streamAppend(const QString& path, const QString& source, int fd, const struct stat& st,
                      const LogHeader& header, const QTextDocument& lines,
                      platform::Result& result) {
    RtfLogWriter writer(lines.defaultFont(), header.tables);
    const QByteArray added = writer.paragraphs(lines);
    const QByteArray newHeader = writer.header(header.bodyBytes + added.size());

    platform::ReplacementFile out(path);
    if (const platform::Result opened = out.open(); !opened) {
        result = saveFailure(path, opened.error);
        return Streamed::Failed;
    }
    const int device = static_cast<QFileDevice*>(out.device())->handle();
    // The new file keeps the mode the user gave the old one.
    struct stat target {};
    if (::stat(QFile::encodeName(path).constData(), &target) == 0)
        ::fchmod(device, target.st_mode & 07777);

    if (const platform::Result r = writeAll(device, newHeader); !r) {
        result = saveFailure(path, r.error);
        return Streamed::Failed;
    }
    BodyCheck check;
    QByteArray block;
    for (qint64 at = header.headerBytes, end = header.headerBytes + header.bodyBytes; at < end;
         at += block.size()) {
        if (const int error = readAt(fd, at, qMin(end, at + kCopyBlockBytes), block); error != 0) {
            result = readFailure(source, platform::systemErrorText(error));
            return Streamed::Failed;
        }
        if (!check.plain(block))
            return Streamed::NotPlain;
        if (const platform::Result r = writeAll(device, block); !r) {
            result = saveFailure(path, r.error);
            return Streamed::Failed;
        }
    }
    if (const platform::Result r = writeAll(device, added + RtfLogWriter::trailer()); !r) {
        result = saveFailure(path, r.error);
        return Streamed::Failed;
    }
    // Whoever changed the old file meanwhile would lose that change, or get a mix.
    struct stat after {};
    if (::fstat(fd, &after) != 0 || after.st_size != st.st_size ||
        modifiedNs(after) != modifiedNs(st)) {
        result =
            saveFailure(path, QStringLiteral("%1 was changed while it was copied").arg(source));
        return Streamed::Failed;
    }
    if (const platform::Result committed = out.commit(); !committed) {
        result = saveFailure(path, committed.error);
        return Streamed::Failed;
    }
    result = platform::Result::success();
    return Streamed::Written;
}

} // namespace

std::optional<LogHeader> parseLogHeader(QByteArrayView head) {
    std::optional<LogHeader> header = HeaderParser(head).parse();
    if (!header)
        return std::nullopt;
    // Only the writer's own bytes count: what another program made of them may mean more.
    if (header->tables.fonts.isEmpty() ||
        RtfLogWriter(QFont(), header->tables).header(header->bodyBytes) !=
            head.first(qsizetype(header->headerBytes)))
        return std::nullopt;
    return header;
}

LogHistoryFile::~LogHistoryFile() {
    if (m_fd >= 0)
        ::close(m_fd);
}

platform::Result LogHistoryFile::failure(int error) const {
    return platform::Result::failure(platform::systemErrorText(error));
}

platform::Result LogHistoryFile::open(const QString& path) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_path = path;
    m_header.reset();
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return failure(errno);
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return failure(errno);
    if (S_ISDIR(st.st_mode))
        return failure(EISDIR);
    m_size = st.st_size;
    m_modifiedNs = modifiedNs(st);
    m_inode = st.st_ino;
    m_header = layoutOf(m_fd, m_size, &m_headerBytes);
    return unchanged();
}

qint64 LogHistoryFile::bodyBegin() const {
    return m_header ? m_header->headerBytes : 0;
}

qint64 LogHistoryFile::bodyEnd() const {
    return m_header ? m_header->headerBytes + m_header->bodyBytes : 0;
}

platform::Result LogHistoryFile::unchanged() const {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return failure(errno);
    if (st.st_size != m_size || modifiedNs(st) != m_modifiedNs || st.st_ino != m_inode)
        return platform::Result::failure(QStringLiteral("it was changed by another program"));
    return platform::Result::success();
}

platform::Result LogHistoryFile::read(qint64 begin, qint64 end, QByteArray& bytes) const {
    if (m_fd < 0)
        return failure(EBADF);
    if (platform::Result r = unchanged(); !r)
        return r;
    if (const int error = readAt(m_fd, begin, end, bytes); error != 0)
        return failure(error);
    return unchanged();
}

platform::Result LogHistoryFile::readAll(QByteArray& bytes) const {
    return read(0, m_size, bytes);
}

platform::Result LogHistoryFile::readLinesBefore(qint64 end, qint64 about, qint64& begin,
                                                 QByteArray& lines) const {
    const qint64 first = bodyBegin();
    begin = qMax(first, end - qMax<qint64>(about, 1));
    while (begin > first) {
        // From the byte before, so that a window that starts on a line start keeps it.
        QByteArray window;
        if (platform::Result r = read(begin - 1, end, window); !r)
            return r;
        const qsizetype lineEnd = window.indexOf('\n');
        if (lineEnd >= 0 && lineEnd < window.size() - 1) {
            begin += lineEnd;
            lines = window.sliced(lineEnd + 1);
            return platform::Result::success();
        }
        // One line longer than the window: look further back.
        begin = qMax(first, begin - (end - begin));
    }
    return read(begin, end, lines);
}

QByteArray LogHistoryFile::documentOf(QByteArrayView lines) const {
    QByteArray document;
    document.reserve(m_headerBytes.size() + lines.size() + 2);
    document.append(m_headerBytes).append(lines).append(RtfLogWriter::trailer());
    return document;
}

AppendOutcome appendToLog(const QString& path, const QString& source, const QTextDocument& lines) {
    AppendOutcome outcome;
    const QFont font = lines.defaultFont();
    QByteArray old;
    if (!source.isEmpty() && QFileInfo::exists(source)) {
        Descriptor file{::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC)};
        struct stat st {};
        if (file.fd < 0 || ::fstat(file.fd, &st) != 0) {
            outcome.result = readFailure(source, platform::systemErrorText(errno));
            return outcome;
        }
        if (const std::optional<LogHeader> header = layoutOf(file.fd, st.st_size, nullptr)) {
            const Streamed streamed =
                streamAppend(path, source, file.fd, st, *header, lines, outcome.result);
            if (streamed != Streamed::NotPlain)
                return outcome;
        }
        if (const int error = readAt(file.fd, 0, st.st_size, old); error != 0) {
            outcome.result = readFailure(source, platform::systemErrorText(error));
            return outcome;
        }
    }
    // Not in the log form: read whole, written again whole.
    RtfLogWriter writer(font);
    QByteArray body;
    if (!old.isEmpty()) {
        QTextDocument document;
        document.setUndoRedoEnabled(false);
        document.setDefaultFont(font);
        if (const platform::Result read = readRtf(old, document); !read) {
            outcome.result = readFailure(source, read.error);
            outcome.sourceDamaged = true;
            return outcome;
        }
        old.clear();
        body = writer.paragraphs(document);
    }
    body += writer.paragraphs(lines);
    try {
        platform::writeFileAtomically(path,
                                      writer.header(body.size()) + body + RtfLogWriter::trailer());
    } catch (const platform::SystemError& e) {
        outcome.result = saveFailure(path, e.text());
    }
    return outcome;
}

} // namespace kalvento::richtext
