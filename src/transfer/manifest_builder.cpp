#include "transfer/manifest_builder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kalvento::transfer {

namespace {

// Folders nested deeper than this are left out (each level holds a descriptor open).
constexpr int kMaxDepth = 256;
// The manifest's bytes for a header and for each file before its path and chunk hashes.
constexpr quint64 kManifestHeaderBytes = 16;
constexpr quint64 kEntryBytes = 2 + 8 + 8 + kHashSize;

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

QString kindOf(mode_t mode) {
    if (S_ISLNK(mode))
        return QStringLiteral("a link, not followed");
    if (S_ISFIFO(mode))
        return QStringLiteral("a pipe");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

class Lister {
public:
    LocalManifest result;
    QString error;
    quint64 manifestBytes = kManifestHeaderBytes;

    // Adds the regular file st at local, sent as relative. False on a broken limit.
    bool addFile(const QString& local, const QByteArray& relative, const struct stat& st) {
        if (const QString why = checkRelativePath(relative); !why.isEmpty()) {
            result.skipped << QStringLiteral("%1: %2").arg(local, why);
            return true;
        }
        const QString key = QString::fromUtf8(relative).toCaseFolded();
        if (m_files.contains(key) || m_folders.contains(key)) {
            result.skipped << QStringLiteral("%1: another name differs only in case").arg(local);
            return true;
        }
        // Its folders were each checked against the files as the walk entered them.
        const quint64 size = quint64(st.st_size);
        if (size > kMaxFileSize) {
            error = QStringLiteral("%1 is larger than a transfer allows").arg(local);
            return false;
        }
        manifestBytes += kEntryBytes + quint64(relative.size()) + chunkCount(size) * kHashSize;
        if (result.manifest.files.size() >= kMaxFiles || manifestBytes > kMaxManifestBytes) {
            error = QStringLiteral("more files than one transfer can hold (at most %1, and at "
                                   "most %2 MiB of their list)")
                        .arg(kMaxFiles)
                        .arg(kMaxManifestBytes >> 20);
            return false;
        }
        m_files.insert(key);
        // Deepest first: a folder already known has its own folders known too.
        for (qsizetype slash = key.lastIndexOf(u'/'); slash > 0;
             slash = key.lastIndexOf(u'/', slash - 1)) {
            if (m_folders.contains(key.first(slash)))
                break;
            m_folders.insert(key.first(slash));
        }
        FileEntry entry;
        entry.path = relative;
        entry.size = size;
        entry.modified = qint64(st.st_mtim.tv_sec);
        result.manifest.files.push_back(std::move(entry));
        result.localPaths << local;
        return true;
    }

    // Walks the folder open as fd (taken over), in byte order of the names.
    bool addFolder(int fd, const QString& local, const QByteArray& relative, int depth) {
        DIR* dir = ::fdopendir(fd);
        if (!dir) {
            error = QStringLiteral("cannot read %1: %2").arg(local, systemText(errno));
            ::close(fd);
            return false;
        }
        std::vector<QByteArray> names;
        errno = 0;
        while (const dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.emplace_back(e->d_name);
        }
        if (errno != 0) {
            error = QStringLiteral("cannot read %1: %2").arg(local, systemText(errno));
            ::closedir(dir);
            return false;
        }
        std::sort(names.begin(), names.end());
        bool ok = true;
        for (const QByteArray& name : names) {
            const QString childLocal = local + u'/' + QFile::decodeName(name);
            const QByteArray childRelative = relative + '/' + name;
            ok = addEntry(::dirfd(dir), name, childLocal, childRelative, depth + 1);
            if (!ok)
                break;
        }
        ::closedir(dir);
        return ok;
    }

    // One name in the folder dirFd: a file, a folder to walk, or something left out.
    bool addEntry(int dirFd, const QByteArray& name, const QString& local,
                  const QByteArray& relative, int depth) {
        struct stat st {};
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            error = QStringLiteral("cannot read %1: %2").arg(local, systemText(errno));
            return false;
        }
        if (S_ISREG(st.st_mode))
            return addFile(local, relative, st);
        if (!S_ISDIR(st.st_mode)) {
            result.skipped << QStringLiteral("%1: %2").arg(local, kindOf(st.st_mode));
            return true;
        }
        if (const QString why = checkRelativePath(relative); !why.isEmpty()) {
            result.skipped << QStringLiteral("%1: %2").arg(local, why);
            return true;
        }
        if (m_files.contains(QString::fromUtf8(relative).toCaseFolded())) {
            result.skipped << QStringLiteral("%1: another name differs only in case").arg(local);
            return true;
        }
        if (depth > kMaxDepth) {
            result.skipped << QStringLiteral("%1: folders nested too deep").arg(local);
            return true;
        }
        const int fd =
            ::openat(dirFd, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(local, systemText(errno));
            return false;
        }
        return addFolder(fd, local, relative, depth);
    }

private:
    QSet<QString> m_files, m_folders; // case-folded relative paths
};

} // namespace

std::optional<LocalManifest> listFiles(const QStringList& localPaths, QString* error) {
    Lister lister;
    QSet<QString> chosenNames;
    for (const QString& chosen : localPaths) {
        const QString local = QDir::cleanPath(QDir(chosen).absolutePath());
        const QFileInfo info(local);
        const QString parent = info.path();
        const QByteArray name = QFile::encodeName(info.fileName());
        if (name.isEmpty()) {
            setError(error, QStringLiteral("%1 has no name to send it by").arg(local));
            return std::nullopt;
        }
        if (chosenNames.contains(QFile::decodeName(name).toCaseFolded())) {
            setError(error, QStringLiteral("two of the chosen items are named %1")
                                .arg(QFile::decodeName(name)));
            return std::nullopt;
        }
        chosenNames.insert(QFile::decodeName(name).toCaseFolded());
        const int parentFd =
            ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (parentFd < 0) {
            setError(error, QStringLiteral("cannot read %1: %2").arg(parent, systemText(errno)));
            return std::nullopt;
        }
        const bool ok = lister.addEntry(parentFd, name, local, name, 0);
        ::close(parentFd);
        if (!ok) {
            setError(error, lister.error);
            return std::nullopt;
        }
    }
    return std::move(lister.result);
}

std::optional<LocalManifest> hashFiles(LocalManifest listed, const std::stop_token& stop,
                                       const std::function<void(quint64)>& progress,
                                       QString* error) {
    QByteArray buffer(qsizetype(kChunkSize), Qt::Uninitialized);
    quint64 done = 0;
    for (std::size_t i = 0; i < listed.manifest.files.size(); ++i) {
        FileEntry& entry = listed.manifest.files[i];
        const QString& local = listed.localPaths[qsizetype(i)];
        const int fd = ::open(QFile::encodeName(local).constData(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            const int saved = fd < 0 ? errno : EINVAL;
            if (fd >= 0)
                ::close(fd);
            setError(error, QStringLiteral("cannot read %1: %2").arg(local, systemText(saved)));
            return std::nullopt;
        }
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        const auto changed = [&] {
            ::close(fd);
            setError(error, QStringLiteral("%1 changed while it was read").arg(local));
            return std::nullopt;
        };
        if (quint64(st.st_size) != entry.size)
            return changed();
        entry.chunks.clear();
        entry.chunks.reserve(std::size_t(chunkCount(entry.size)));
        for (quint64 c = 0; c < chunkCount(entry.size); ++c) {
            if (stop.stop_requested()) {
                ::close(fd);
                setError(error, QStringLiteral("stopped"));
                return std::nullopt;
            }
            const quint32 length = chunkLength(entry.size, c);
            quint32 filled = 0;
            while (filled < length) {
                const ssize_t n = ::read(fd, buffer.data() + filled, length - filled);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0) {
                    const int saved = errno;
                    ::close(fd);
                    setError(error,
                             QStringLiteral("cannot read %1: %2").arg(local, systemText(saved)));
                    return std::nullopt;
                }
                if (n == 0)
                    return changed(); // shorter than it was
                filled += quint32(n);
            }
            entry.chunks.push_back(chunkHash(QByteArrayView(buffer).first(length)));
            done += length;
            if (progress)
                progress(done);
        }
        // Nothing past the listed size, and the same size at the end.
        char extra;
        ssize_t n;
        do
            n = ::read(fd, &extra, 1);
        while (n < 0 && errno == EINTR);
        if (n != 0 || ::fstat(fd, &st) != 0 || quint64(st.st_size) != entry.size)
            return changed();
        ::close(fd);
        entry.hash = fileHash(entry.size, entry.chunks);
    }
    return listed;
}

} // namespace kalvento::transfer
