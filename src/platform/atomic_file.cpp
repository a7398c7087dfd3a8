#include "platform/atomic_file.h"

#include "platform/system_error.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>

#include <fcntl.h>
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

// Creates "<target>.tmp<pid>.<random>" beside the target; its descriptor, or throws.
int createTemporaryBeside(const QByteArray& targetName, QByteArray& tempName) {
    for (int attempt = 0;; ++attempt) {
        tempName = targetName + ".tmp" + QByteArray::number(getpid()) + '.' +
                   QByteArray::number(QRandomGenerator::global()->generate() & 0xFFFFFF);
        // 0666 less the umask, as any newly created file.
        const int fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST || attempt > 100)
            throw SystemError(errno);
    }
}

} // namespace

// Written with the system calls themselves rather than QSaveFile: Qt 6.4's QSaveFile
// commits a cut-off file when the disk fills or a size limit is hit during its flush.
void writeFileAtomically(const QString& path, QByteArrayView bytes) {
    const QByteArray targetName = replacedName(path);
    QByteArray tempName;
    const int fd = createTemporaryBeside(targetName, tempName);

    auto fail = [&](int error) {
        ::close(fd);
        ::unlink(tempName.constData());
        throw SystemError(error);
    };
    struct stat old {};
    if (::stat(targetName.constData(), &old) == 0)
        ::fchmod(fd, old.st_mode & 07777); // keep a mode the user chose for the file

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

QString ReplacementFile::temporaryPath() const {
    return QFile::decodeName(m_tempName);
}

} // namespace kalvento::platform
