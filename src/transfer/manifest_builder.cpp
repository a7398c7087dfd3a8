#include "transfer/manifest_builder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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

namespace {

// A run of chunks of one file, hashed by one thread: a big file is spread over the threads
// as a folder of small ones is.
struct HashUnit {
    std::size_t file = 0;
    quint64 first = 0; // chunks [first, end)
    quint64 end = 0;
};
constexpr quint64 kUnitChunks = 16;
constexpr unsigned kMaxHashThreads = 4;

// Hashes unit's chunks into its entry; the failure's text, if any.
std::optional<QString> hashUnit(FileEntry& entry, const QString& local, const HashUnit& unit,
                                QByteArray& buffer, const std::stop_token& stop,
                                std::atomic<quint64>& done) {
    const int fd = ::open(QFile::encodeName(local).constData(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int saved = fd < 0 ? errno : EINVAL;
        if (fd >= 0)
            ::close(fd);
        return QStringLiteral("cannot read %1: %2").arg(local, systemText(saved));
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    const auto changed = [&local] {
        return QStringLiteral("%1 changed while it was read").arg(local);
    };
    if (quint64(st.st_size) != entry.size)
        return changed();
    if (unit.end - unit.first > 1)
        ::posix_fadvise(fd, off_t(unit.first * kChunkSize),
                        off_t((unit.end - unit.first) * kChunkSize), POSIX_FADV_SEQUENTIAL);
    for (quint64 c = unit.first; c < unit.end; ++c) {
        if (stop.stop_requested())
            return QStringLiteral("stopped");
        const quint32 length = chunkLength(entry.size, c);
        quint32 filled = 0;
        while (filled < length) {
            const ssize_t n = ::pread(fd, buffer.data() + filled, length - filled,
                                      off_t(c * kChunkSize + filled));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return QStringLiteral("cannot read %1: %2").arg(local, systemText(errno));
            if (n == 0)
                return changed(); // shorter than it was
            filled += quint32(n);
        }
        entry.chunks[std::size_t(c)] = chunkHash(QByteArrayView(buffer).first(length));
        done += length;
    }
    if (unit.end == chunkCount(entry.size)) {
        // Nothing past the listed size, and the same size at the end.
        char extra;
        ssize_t n;
        do
            n = ::pread(fd, &extra, 1, off_t(entry.size));
        while (n < 0 && errno == EINTR);
        if (n != 0 || ::fstat(fd, &st) != 0 || quint64(st.st_size) != entry.size)
            return changed();
    }
    return std::nullopt;
}

} // namespace

std::optional<LocalManifest> hashFiles(LocalManifest listed, const std::stop_token& stop,
                                       const std::function<void(quint64)>& progress,
                                       QString* error) {
    std::vector<HashUnit> units;
    for (std::size_t i = 0; i < listed.manifest.files.size(); ++i) {
        FileEntry& entry = listed.manifest.files[i];
        const quint64 chunks = chunkCount(entry.size);
        entry.chunks.assign(std::size_t(chunks), Hash{});
        quint64 first = 0;
        do { // an empty file is a unit too: it is still opened and checked
            units.push_back({i, first, std::min(chunks, first + kUnitChunks)});
            first += kUnitChunks;
        } while (first < chunks);
    }

    // Read by every thread: a const view, which never detaches the shared list.
    const QStringList& localPaths = std::as_const(listed.localPaths);
    std::atomic<std::size_t> nextUnit{0};
    std::atomic<quint64> done{0};
    std::atomic<bool> failed{false};
    std::mutex failureLock;
    std::optional<QString> failure;
    // Each thread takes the next unit until none is left or one failed; this thread says
    // how far it got.
    const auto work = [&](bool reporting) {
        QByteArray buffer(qsizetype(kChunkSize), Qt::Uninitialized);
        while (!failed.load() && !stop.stop_requested()) {
            const std::size_t u = nextUnit++;
            if (u >= units.size())
                return;
            const HashUnit& unit = units[u];
            if (std::optional<QString> why =
                    hashUnit(listed.manifest.files[unit.file], localPaths[qsizetype(unit.file)],
                             unit, buffer, stop, done)) {
                const std::lock_guard lock(failureLock);
                if (!failure)
                    failure = std::move(why);
                failed = true;
                return;
            }
            if (reporting && progress)
                progress(done.load());
        }
    };
    const std::size_t threads = std::min<std::size_t>(
        {std::max(1u, std::thread::hardware_concurrency()), kMaxHashThreads, units.size()});
    {
        std::vector<std::jthread> helpers;
        for (std::size_t t = 1; t < threads; ++t)
            helpers.emplace_back([&work] { work(false); });
        work(true);
    } // joins the helpers
    if (stop.stop_requested()) {
        setError(error, QStringLiteral("stopped"));
        return std::nullopt;
    }
    if (failure) {
        setError(error, *failure);
        return std::nullopt;
    }
    for (FileEntry& entry : listed.manifest.files)
        entry.hash = fileHash(entry.size, entry.chunks);
    if (progress)
        progress(done.load());
    return listed;
}

} // namespace kalvento::transfer
