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

// Written with the system calls themselves rather than QSaveFile: Qt 6.4's QSaveFile
// commits a cut-off file when the disk fills or a size limit is hit during its flush.
void writeFileAtomically(const QString& path, QByteArrayView bytes) {
    QString target = path;
    const QFileInfo info(path);
    if (info.isSymLink()) // replace the file the link names, keep the link
        target = info.exists() ? info.canonicalFilePath() : info.symLinkTarget();

    const QByteArray targetName = QFile::encodeName(target);
    QByteArray tempName;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        tempName = targetName + ".tmp" + QByteArray::number(getpid()) + '.' +
                   QByteArray::number(QRandomGenerator::global()->generate() & 0xFFFFFF);
        // 0666 less the umask, as any newly created file.
        fd = ::open(tempName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 100))
            throw SystemError(errno);
    }

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

} // namespace kalvento::platform
