#include "platform/instance_lock.h"

#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::platform {

namespace {

QString safeFileName(const QString& name) {
    QString out;
    for (QChar c : name.toLower())
        out.append(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_')
                       ? c
                       : QLatin1Char('_'));
    return out.isEmpty() ? QStringLiteral("_") : out;
}

} // namespace

QString InstanceLock::lockFilePath(const QString& name) {
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtimeDir.isEmpty() && QFileInfo(runtimeDir).isDir())
        return QDir(runtimeDir).filePath(safeFileName(name) + QStringLiteral(".lock"));
    return QStringLiteral("/tmp/%1-%2.lock").arg(safeFileName(name)).arg(::geteuid());
}

InstanceLock::~InstanceLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool InstanceLock::tryAcquire(const QString& name) {
    if (m_fd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(lockFilePath(name));
    // /tmp is shared: never follow a planted link, and ignore a file of another user,
    // who could otherwise hold it to keep this user's copy from starting.
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        ::close(fd);
        return true;
    }
    int result;
    do {
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        const bool heldElsewhere = errno == EWOULDBLOCK;
        ::close(fd);
        return !heldElsewhere;
    }
    m_fd = fd;
    return true;
}

} // namespace kalvento::platform
