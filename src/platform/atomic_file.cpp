#include "platform/atomic_file.h"

#include "platform/system_error.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <limits>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::platform {

namespace {

// The file a replacement of path goes to: the file a link names, not the link.
QByteArray replacedName(const QString& path) {
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink())
        target = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();
    return QFile::encodeName(target);
}

QByteArray temporaryName(const QByteArray& targetName) {
    return targetName + ".tmp" + QByteArray::number(getpid()) + '.' +
           QByteArray::number(QRandomGenerator::global()->generate() & 0xFFFFFF);
}

QByteArray folderOf(const QByteArray& targetName) {
    const qsizetype slash = targetName.lastIndexOf('/');
    if (slash < 0)
        return QByteArrayLiteral(".");
    return slash == 0 ? QByteArrayLiteral("/") : targetName.left(slash);
}

// The unnamed files are named through /proc; without it every temporary file is a named one.
bool canNameUnnamedFiles() {
    static const bool can = ::access("/proc/self/fd", X_OK) == 0;
    return can;
}

// A temporary file beside the target: an unnamed one (O_TMPFILE) where the file system has
// them, so that a process killed while writing leaves nothing behind, otherwise
// "<target>.tmp<pid>.<random>". Its descriptor, or throws.
int createTemporaryBeside(const QByteArray& targetName, QByteArray& tempName) {
    tempName.clear();
    if (canNameUnnamedFiles()) {
        // 0666 less the umask, as any newly created file.
        const int fd =
            ::open(folderOf(targetName).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        // Not every file system has them (EOPNOTSUPP, EISDIR on old kernels); any other error
        // the named file meets as well.
    }
    for (int attempt = 0;; ++attempt) {
        tempName = temporaryName(targetName);
        const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt > 100) {
            const int error = errno;
            tempName.clear();
            throw SystemError(error);
        }
    }
}

// Gives an unnamed temporary file a name beside the target, so that it can be renamed over
// it (a link cannot replace a file). Only a kill in the moment between the two leaves a
// named temporary file, which removeStaleTemporaries finds. Returns 0 or the error number.
int nameTemporary(int fd, const QByteArray& targetName, QByteArray& tempName) {
    if (!tempName.isEmpty())
        return 0;
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0;; ++attempt) {
        tempName = temporaryName(targetName);
        if (::linkat(AT_FDCWD, self.constData(), AT_FDCWD, tempName.constData(),
                     AT_SYMLINK_FOLLOW) == 0)
            return 0;
        if (errno != EEXIST || attempt > 100) {
            const int error = errno;
            tempName.clear();
            return error;
        }
    }
}

// The process that wrote "<name>.tmp<pid>.<digits>", or 0 when the name is not of that form.
pid_t writerOf(const QString& entry, const QString& targetFileName) {
    const QString prefix = targetFileName + QLatin1String(".tmp");
    if (!entry.startsWith(prefix))
        return 0;
    const QStringView rest = QStringView(entry).mid(prefix.size());
    const qsizetype dot = rest.indexOf(u'.');
    if (dot <= 0 || dot == rest.size() - 1)
        return 0;
    if (rest.count(u'.') != 1)
        return 0;
    for (QChar c : rest) {
        if (c != u'.' && (c < u'0' || c > u'9'))
            return 0;
    }
    bool pidOk = false;
    const qint64 pid = rest.left(dot).toLongLong(&pidOk);
    if (!pidOk || pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return 0;
    return pid_t(pid);
}

} // namespace

// Written with the system calls themselves rather than QSaveFile: Qt 6.4's QSaveFile
// commits a cut-off file when the disk fills or a size limit is hit during its flush.
void writeFileAtomically(const QString& path, QByteArrayView bytes, FileAccess access) {
    const QByteArray targetName = replacedName(path);
    QByteArray tempName;
    const int fd = createTemporaryBeside(targetName, tempName);

    auto fail = [&](int error) {
        ::close(fd);
        if (!tempName.isEmpty())
            ::unlink(tempName.constData());
        throw SystemError(error);
    };
    // Before the first byte is written, so that nobody else can open it with the bytes in.
    if (access == FileAccess::OwnerOnly) {
        if (::fchmod(fd, S_IRUSR | S_IWUSR) != 0)
            fail(errno);
    } else if (struct stat old{}; ::stat(targetName.constData(), &old) == 0) {
        ::fchmod(fd, old.st_mode & 07777); // keep a mode the user chose for the file
    }

    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        done += n;
    }
    if (::fsync(fd) != 0)
        fail(errno);
    if (const int error = nameTemporary(fd, targetName, tempName); error != 0)
        fail(error);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tempName.constData());
        throw SystemError(error);
    }
    if (::rename(tempName.constData(), targetName.constData()) != 0) {
        const int error = errno;
        ::unlink(tempName.constData());
        throw SystemError(error);
    }
}

ReplacementFile::ReplacementFile(const QString& path) : m_target(replacedName(path)) {}

ReplacementFile::~ReplacementFile() {
    discard();
}

Result ReplacementFile::open() {
    discard();
    try {
        const int fd = createTemporaryBeside(m_target, m_tempName);
        if (!m_file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
            ::close(fd);
            if (!m_tempName.isEmpty())
                ::unlink(m_tempName.constData());
            m_tempName.clear();
            return Result::failure(m_file.errorString());
        }
    } catch (const SystemError& e) {
        m_tempName.clear();
        return Result::failure(e.text());
    }
    return Result::success();
}

Result ReplacementFile::commit() {
    if (!m_file.isOpen())
        return Result::failure(QStringLiteral("the file is not open"));
    const auto failed = [this](const QString& text) {
        discard();
        return Result::failure(text);
    };
    if (!m_file.flush())
        return failed(m_file.errorString());
    if (::fsync(m_file.handle()) != 0)
        return failed(systemErrorText(errno));
    if (const int error = nameTemporary(m_file.handle(), m_target, m_tempName); error != 0)
        return failed(systemErrorText(error));
    m_file.close();
    if (::rename(m_tempName.constData(), m_target.constData()) != 0)
        return failed(systemErrorText(errno));
    m_tempName.clear();
    return Result::success();
}

void ReplacementFile::discard() {
    if (m_file.isOpen())
        m_file.close();
    if (!m_tempName.isEmpty())
        ::unlink(m_tempName.constData());
    m_tempName.clear();
}

int removeStaleTemporaries(const QString& path) {
    const QByteArray targetName = replacedName(path);
    const QString target = QFile::decodeName(targetName);
    const QFileInfo info(target);
    const QString fileName = info.fileName();
    QDir folder = info.dir();
    int removed = 0;
    const QStringList entries = folder.entryList({fileName + QLatin1String(".tmp*")},
                                                 QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& entry : entries) {
        const pid_t writer = writerOf(entry, fileName);
        if (writer == 0 || writer == getpid())
            continue;
        // A process that still runs may be writing it (or has taken the number since).
        if (::kill(writer, 0) == 0 || errno != ESRCH)
            continue;
        if (QFile::remove(folder.filePath(entry)))
            ++removed;
    }
    return removed;
}

} // namespace kalvento::platform
