#include "transfer/save_folder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <system_error>
#include <unistd.h>
#include <utility>

namespace kalvento::transfer {

namespace {

constexpr char kSidecarMagic[] = "KVS1";
constexpr qsizetype kSidecarSize = 4 + kTransferIdSize + kHashSize + 8 + 8 + 8;
// Room for a part's name: its sidecar adds ".kvs", the sidecar's temporary ".tmp<pid>".
constexpr qsizetype kMaxPartNameBytes = kMaxNameBytes - 4 - 11;
// How many "(n)" names are tried before giving up on a folder full of them.
constexpr int kMaxNameTries = 10000;

QString systemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

void setError(QString* error, const QString& text) {
    if (error)
        *error = text;
}

// Gives the unnamed file fd the name "name" in dirFd, never replacing a file (EEXIST).
int linkUnnamed(int fd, int dirFd, const char* name) {
    const QByteArray path = "/proc/self/fd/" + QByteArray::number(fd);
    if (::linkat(AT_FDCWD, path.constData(), dirFd, name, AT_SYMLINK_FOLLOW) == 0)
        return 0;
    if (errno != ENOENT)
        return -1;
    // Without /proc (it needs the right to read any file, which root has).
    return ::linkat(fd, "", dirFd, name, AT_EMPTY_PATH);
}

void closeFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

int renameNoReplace(int dirFd, const char* from, const char* to) {
#ifdef RENAME_NOREPLACE
    return ::renameat2(dirFd, from, dirFd, to, RENAME_NOREPLACE);
#else
    return int(::syscall(SYS_renameat2, dirFd, from, dirFd, to, 1u));
#endif
}

// Moves from to to in dirFd unless to exists (EEXIST then). File systems without
// RENAME_NOREPLACE get a hard link, which fails on an existing name just the same.
int moveNoReplace(int dirFd, const char* from, const char* to) {
    if (renameNoReplace(dirFd, from, to) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS)
        return -1;
    if (::linkat(dirFd, from, dirFd, to, 0) != 0)
        return -1;
    ::unlinkat(dirFd, from, 0);
    return 0;
}

bool writeAll(int fd, const char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n, size -= std::size_t(n), offset += n;
    }
    return true;
}

// Reads exactly size bytes at offset: false at the end of the file or on an error.
bool readAll(int fd, char* data, std::size_t size, off_t offset) {
    while (size > 0) {
        const ssize_t n = ::pread(fd, data, size, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n, size -= std::size_t(n), offset += n;
    }
    return true;
}

// Opens a regular file in dirFd without following a link; -1 for anything else.
int openRegular(int dirFd, const QByteArray& name, int flags) {
    const int fd = ::openat(dirFd, name.constData(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    // Reads and writes of a regular file do not block anyway; the flag only kept a pipe
    // from stalling the open.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool exists(int dirFd, const QByteArray& name) {
    struct stat st {};
    return ::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

struct SplitPath {
    QList<QByteArray> folders;
    QByteArray name;
};

SplitPath splitPath(const QByteArray& path) {
    SplitPath split;
    split.folders = path.split('/');
    split.name = split.folders.takeLast();
    return split;
}

// The folder of a relative path, opened name by name below base without following a link;
// created when create is set. -1 and error otherwise (errno ENOENT for a missing one).
int openFolders(int base, const QList<QByteArray>& folders, bool create, QString* error) {
    int fd = ::fcntl(base, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        setError(error, systemText(errno));
        return -1;
    }
    for (const QByteArray& folder : folders) {
        if (create && ::mkdirat(fd, folder.constData(), 0755) != 0 && errno != EEXIST) {
            const int saved = errno;
            setError(error, QStringLiteral("cannot create the folder \"%1\": %2")
                                .arg(safeName(folder), systemText(saved)));
            ::close(fd);
            errno = saved;
            return -1;
        }
        const int next =
            ::openat(fd, folder.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int saved = errno;
        ::close(fd);
        if (next < 0) {
            setError(error,
                     saved == ELOOP || saved == ENOTDIR
                         ? QStringLiteral("\"%1\" is a link or not a folder").arg(safeName(folder))
                         : QStringLiteral("cannot open the folder \"%1\": %2")
                               .arg(safeName(folder), systemText(saved)));
            errno = saved;
            return -1;
        }
        fd = next;
    }
    return fd;
}

// stem cut to at most room bytes, at the start of a UTF-8 character.
QByteArray cutToFit(const QByteArray& stem, qsizetype room) {
    if (stem.size() <= room)
        return stem;
    qsizetype cut = std::max<qsizetype>(room, 0);
    while (cut > 0 && (std::uint8_t(stem[cut]) & 0xc0) == 0x80)
        --cut;
    return stem.first(cut);
}

// "<stem> (n)<ext>": ext is the last ".xxx" of the name; a name that starts with '.' has none.
// The stem gives way where the whole would be longer than a name may be.
QByteArray numberedName(const QByteArray& name, int n) {
    const QByteArray suffix = " (" + QByteArray::number(n) + ")";
    const qsizetype dot = name.lastIndexOf('.');
    QByteArray stem = name, ext;
    if (!name.startsWith('.') && dot > 0 && dot < name.size() - 1 &&
        name.size() - dot + suffix.size() < kMaxNameBytes)
        stem = name.first(dot), ext = name.sliced(dot);
    return cutToFit(stem, kMaxNameBytes - suffix.size() - ext.size()) + suffix + ext;
}

// "<name>.part", "<name> (n).part": the name gives way where the part's sidecar and its
// temporary name would be longer than a name may be. Only ever read back by this code.
QByteArray partNameFor(const QByteArray& name, int n) {
    const QByteArray suffix =
        (n == 1 ? QByteArray() : " (" + QByteArray::number(n) + ")") + ".part";
    return cutToFit(name, kMaxPartNameBytes - suffix.size()) + suffix;
}

QByteArray sidecarName(const QByteArray& partName) {
    return partName + ".kvs";
}

struct Sidecar {
    TransferId id{};
    Hash hash{};
    quint64 size = 0;
    quint64 verified = 0;
    quint64 synced = 0;
};

QByteArray encodeSidecar(const Sidecar& s) {
    QByteArray out(kSidecarMagic, 4);
    out.append(reinterpret_cast<const char*>(s.id.data()), kTransferIdSize);
    out.append(reinterpret_cast<const char*>(s.hash.data()), kHashSize);
    for (quint64 n : {s.size, s.verified, s.synced}) {
        char raw[8];
        qToBigEndian(n, raw);
        out.append(raw, 8);
    }
    return out;
}

std::optional<Sidecar> readSidecar(int dirFd, const QByteArray& name) {
    const int fd = openRegular(dirFd, name, O_RDONLY);
    if (fd < 0)
        return std::nullopt;
    QByteArray bytes(kSidecarSize + 1, '\0');
    ssize_t n;
    do
        n = ::pread(fd, bytes.data(), std::size_t(bytes.size()), 0);
    while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n != kSidecarSize || !bytes.startsWith(kSidecarMagic))
        return std::nullopt;
    Sidecar s;
    const char* at = bytes.constData() + 4;
    std::memcpy(s.id.data(), at, kTransferIdSize);
    at += kTransferIdSize;
    std::memcpy(s.hash.data(), at, kHashSize);
    at += kHashSize;
    s.size = qFromBigEndian<quint64>(at);
    s.verified = qFromBigEndian<quint64>(at + 8);
    s.synced = qFromBigEndian<quint64>(at + 16);
    if (s.synced > s.verified)
        return std::nullopt;
    return s;
}

// Writes the sidecar under a temporary name and renames it into place, so a reader finds
// the old one or the new one whole. Not synced: a lost update only means more chunks are
// checked again on resume.
bool writeSidecar(int dirFd, const QByteArray& name, const Sidecar& s, QString* error) {
    const QByteArray temporary = name + ".tmp" + QByteArray::number(::getpid());
    ::unlinkat(dirFd, temporary.constData(), 0); // our own, left by a crash of this pid
    const int fd = ::openat(dirFd, temporary.constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        setError(error,
                 QStringLiteral("cannot write \"%1\": %2").arg(safeName(name), systemText(errno)));
        return false;
    }
    const QByteArray bytes = encodeSidecar(s);
    const bool written = writeAll(fd, bytes.constData(), std::size_t(bytes.size()), 0);
    const int saved = errno;
    ::close(fd);
    if (!written || ::renameat(dirFd, temporary.constData(), dirFd, name.constData()) != 0) {
        const int failed = written ? errno : saved;
        ::unlinkat(dirFd, temporary.constData(), 0);
        setError(error,
                 QStringLiteral("cannot write \"%1\": %2").arg(safeName(name), systemText(failed)));
        return false;
    }
    return true;
}

quint64 bytesOfChunks(quint64 size, quint64 chunks) {
    return std::min<quint64>(size, chunks * kChunkSize);
}

} // namespace

std::optional<SaveFolder> SaveFolder::open(const QString& folder, QString* error) {
    const QString path = QDir::cleanPath(QDir(folder).absolutePath());
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        setError(error, QStringLiteral("%1 is not a folder").arg(path));
        return std::nullopt;
    }
    // A folder that is there is not made again: even that waits for a disk that is slow to
    // take writes, and this runs on the window's thread.
    if (!info.isDir() && !QDir().mkpath(path)) {
        setError(error, QStringLiteral("cannot create the folder %1").arg(path));
        return std::nullopt;
    }
    SaveFolder saveFolder;
    saveFolder.m_fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (saveFolder.m_fd < 0) {
        setError(error,
                 QStringLiteral("cannot open the folder %1: %2").arg(path, systemText(errno)));
        return std::nullopt;
    }
    saveFolder.m_path = path;
    return saveFolder;
}

SaveFolder::SaveFolder(SaveFolder&& other) noexcept
    : m_path(std::move(other.m_path)), m_fd(std::exchange(other.m_fd, -1)),
      m_lastFolders(std::move(other.m_lastFolders)),
      m_lastFolderFd(std::exchange(other.m_lastFolderFd, -1)),
      m_lastMissing(std::move(other.m_lastMissing)) {}

SaveFolder& SaveFolder::operator=(SaveFolder&& other) noexcept {
    if (this != &other) {
        closeFd(m_fd);
        closeFd(m_lastFolderFd);
        m_path = std::move(other.m_path);
        m_fd = std::exchange(other.m_fd, -1);
        m_lastFolders = std::move(other.m_lastFolders);
        m_lastFolderFd = std::exchange(other.m_lastFolderFd, -1);
        m_lastMissing = std::move(other.m_lastMissing);
    }
    return *this;
}

SaveFolder::~SaveFolder() {
    closeFd(m_fd);
    closeFd(m_lastFolderFd);
}

int SaveFolder::folderFd(const QList<QByteArray>& folders, bool create, QString* error) const {
    if (m_lastFolderFd >= 0 && folders == m_lastFolders)
        return ::fcntl(m_lastFolderFd, F_DUPFD_CLOEXEC, 0);
    // Looking for what is there (no error wanted): the files of a folder that is not there
    // come one after another, and all miss it alike.
    const bool looking = !create && error == nullptr;
    if (create) {
        m_lastMissing.reset();
    } else if (looking && m_lastMissing && folders == *m_lastMissing) {
        errno = ENOENT;
        return -1;
    }
    const int fd = openFolders(m_fd, folders, create, error);
    if (fd < 0) {
        if (looking && errno == ENOENT)
            m_lastMissing = folders;
        return fd;
    }
    closeFd(m_lastFolderFd);
    m_lastFolderFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    m_lastFolders = folders;
    return fd;
}

quint64 SaveFolder::freeBytes() const {
    struct statvfs st {};
    if (::fstatvfs(m_fd, &st) != 0)
        return 0;
    return quint64(st.f_bavail) * quint64(st.f_frsize);
}

bool SaveFolder::sync() const {
    return ::syncfs(m_fd) == 0;
}

namespace {

QString syncFailed(int error) {
    return QStringLiteral("cannot write the received files to the disk: %1").arg(systemText(error));
}

} // namespace

HeldFileBudget& HeldFileBudget::process() {
    static HeldFileBudget budget([] {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return size_t(4096);
        const rlim_t room = limit.rlim_cur > 512 ? (limit.rlim_cur - 512) / 2 : 0;
        return size_t(std::clamp<rlim_t>(room, 16, 32768));
    }());
    return budget;
}

BackgroundSync::BackgroundSync(const SaveFolder& folder, quint64 threshold, size_t maxHeld,
                               HeldFileBudget& budget)
    : m_folder(folder), m_budget(budget), m_threshold(threshold),
      m_maxHeld(
          std::max<size_t>(maxHeld > 0 ? maxHeld : std::min<size_t>(4096, budget.limit()), 2)) {}

BackgroundSync::~BackgroundSync() {
    // What a finished sync covered is on the disk and can take its names; the rest goes.
    if (!m_shared->running.load(std::memory_order_acquire))
        nameSynced(false, nullptr);
    m_budget.m_count.fetch_sub(held(), std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.detach();
}

bool BackgroundSync::hold(std::unique_ptr<PartFile> file, size_t index, QString* error) {
    m_waitingBytes += file->size();
    m_waiting.push_back({index, std::move(file)});
    const bool overBudget =
        m_budget.m_count.fetch_add(1, std::memory_order_relaxed) + 1 > m_budget.limit();
    if (!nameSynced(overBudget || held() >= m_maxHeld, error))
        return false;
    if (m_shared->running.load(std::memory_order_acquire))
        return true;
    if (overBudget) {
        start(); // and waits for it: the other transfers need the room
        return nameSynced(true, error);
    }
    if (m_waitingBytes >= m_threshold || m_waiting.size() * 2 >= m_maxHeld)
        start();
    return true;
}

void BackgroundSync::start() {
    if (m_thread.joinable())
        m_thread.join(); // it has ended: clearing the mark is its last step
    m_syncing = std::move(m_waiting);
    m_waiting.clear();
    m_waitingBytes = 0;
    m_shared->error.store(0, std::memory_order_relaxed);
    int fd = ::fcntl(m_folder.m_fd, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
        m_shared->running.store(true, std::memory_order_release);
        try {
            m_thread = std::thread([fd, shared = m_shared] {
                if (::syncfs(fd) != 0)
                    shared->error.store(errno, std::memory_order_relaxed);
                ::close(fd);
                shared->running.store(false, std::memory_order_release);
            });
            ++m_started;
            return;
        } catch (const std::system_error&) {
            closeFd(fd);
            m_shared->running.store(false, std::memory_order_release);
        }
    }
    // No thread or descriptor to be had: the sync is made here.
    if (!m_folder.sync())
        m_shared->error.store(errno, std::memory_order_relaxed);
}

bool BackgroundSync::nameSynced(bool wait, QString* error) {
    if (m_syncing.empty())
        return true;
    if (m_shared->running.load(std::memory_order_acquire) && !wait)
        return true;
    if (m_thread.joinable())
        m_thread.join();
    if (const int failed = m_shared->error.load(std::memory_order_relaxed); failed != 0) {
        setError(error, syncFailed(failed));
        return false;
    }
    return nameAll(m_syncing, error);
}

bool BackgroundSync::nameAll(std::vector<Held>& files, QString* error) {
    size_t named = 0;
    bool ok = true;
    for (; named < files.size(); ++named) {
        const std::optional<QString> path = files[named].file->finish(error);
        if (!path) {
            ok = false;
            break;
        }
        if (onNamed)
            onNamed(files[named].index, *path);
    }
    files.erase(files.begin(), files.begin() + qsizetype(named));
    m_budget.m_count.fetch_sub(named, std::memory_order_relaxed);
    return ok;
}

bool BackgroundSync::finish(QString* error) {
    if (!nameSynced(true, error))
        return false;
    if (m_thread.joinable())
        m_thread.join();
    if (!m_waiting.empty()) {
        if (!m_folder.sync()) {
            setError(error, syncFailed(errno));
            return false;
        }
        m_waitingBytes = 0;
        if (!nameAll(m_waiting, error))
            return false;
    }
    // The names themselves, and whatever else of the transfer is not on the disk yet.
    if (!m_folder.sync()) {
        setError(error, syncFailed(errno));
        return false;
    }
    return true;
}

bool SaveFolder::alreadyThere(const FileEntry& entry) const {
    if (!checkRelativePath(entry.path).isEmpty())
        return false;
    const SplitPath split = splitPath(entry.path);
    const int dirFd = folderFd(split.folders, false, nullptr);
    if (dirFd < 0)
        return false;
    const int fd = openRegular(dirFd, split.name, O_RDONLY);
    ::close(dirFd);
    if (fd < 0)
        return false;
    struct stat st {};
    bool same = ::fstat(fd, &st) == 0 && quint64(st.st_size) == entry.size &&
                entry.chunks.size() == chunkCount(entry.size);
    if (same) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
        QByteArray buffer(qsizetype(kChunkSize), Qt::Uninitialized);
        same = fileHash(entry.size, entry.chunks) == entry.hash;
        for (quint64 i = 0; same && i < entry.chunks.size(); ++i) {
            const quint32 length = chunkLength(entry.size, i);
            same = readAll(fd, buffer.data(), length, off_t(i * kChunkSize)) &&
                   chunkHash(QByteArrayView(buffer).first(length)) == entry.chunks[i];
        }
    }
    ::close(fd);
    return same;
}

std::unique_ptr<PartFile> SaveFolder::openPart(const FileEntry& entry, const TransferId& id,
                                               QString* error) const {
    if (const QString why = checkRelativePath(entry.path); !why.isEmpty()) {
        setError(error, why);
        return nullptr;
    }
    if (entry.chunks.size() != chunkCount(entry.size)) {
        setError(error,
                 QStringLiteral("the chunks of \"%1\" are not known").arg(safeName(entry.path)));
        return nullptr;
    }
    const SplitPath split = splitPath(entry.path);
    std::unique_ptr<PartFile> part(new PartFile());
    part->m_dirFd = folderFd(split.folders, true, error);
    if (part->m_dirFd < 0)
        return nullptr;
    part->m_entry = entry;
    part->m_id = id;
    part->m_folderPath = m_path;
    for (const QByteArray& folder : split.folders)
        part->m_folderPath += u'/' + QFile::decodeName(folder);

    if (entry.size <= kChunkSize) {
        const int fd = ::openat(part->m_dirFd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
        if (fd >= 0) {
            part->m_fd = fd;
            part->m_unnamed = true;
            return part;
        }
        // A file system without unnamed files: a part as for larger files.
    }
    for (int n = 1; n <= kMaxNameTries; ++n) {
        const QByteArray name = partNameFor(split.name, n);
        const QByteArray sidecar = sidecarName(name);
        if (!exists(part->m_dirFd, name)) {
            if (exists(part->m_dirFd, sidecar))
                continue; // someone else's
            const int fd = ::openat(part->m_dirFd, name.constData(),
                                    O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd < 0 && errno == EEXIST)
                continue;
            if (fd < 0) {
                setError(error, QStringLiteral("cannot create \"%1\": %2")
                                    .arg(safeName(name), systemText(errno)));
                return nullptr;
            }
            part->m_fd = fd;
            part->m_partName = name;
            // Marks the part as this transfer's at once (nothing verified: nothing to sync).
            Sidecar s{id, entry.hash, entry.size, 0, 0};
            writeSidecar(part->m_dirFd, sidecarName(name), s, nullptr);
            return part;
        }
        // An earlier part of this very file and transfer goes on; anything else is left alone.
        const auto recorded = readSidecar(part->m_dirFd, sidecar);
        if (!recorded || recorded->id != id || recorded->hash != entry.hash ||
            recorded->size != entry.size || recorded->verified > entry.chunks.size())
            continue;
        const int fd = openRegular(part->m_dirFd, name, O_RDWR);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0 ||
            quint64(st.st_size) < bytesOfChunks(entry.size, recorded->verified)) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        part->m_fd = fd;
        part->m_partName = name;
        // Chunks written after the last sync may not have reached the disk whole.
        QByteArray buffer(qsizetype(kChunkSize), Qt::Uninitialized);
        quint64 verified = recorded->synced;
        while (verified < recorded->verified) {
            const quint32 length = chunkLength(entry.size, verified);
            if (!readAll(fd, buffer.data(), length, off_t(verified * kChunkSize)) ||
                chunkHash(QByteArrayView(buffer).first(length)) != entry.chunks[verified])
                break;
            ++verified;
        }
        part->m_verified = verified;
        part->m_synced = recorded->synced;
        part->m_recorded = recorded->verified;
        if (verified != recorded->verified)
            part->keep();
        return part;
    }
    setError(
        error,
        QStringLiteral("no free name for the partial file of \"%1\"").arg(safeName(entry.path)));
    return nullptr;
}

bool SaveFolder::discardPart(const QByteArray& partPath, const TransferId& id) const {
    // The path must be one that a part of a checked name could have.
    if (!partPath.endsWith(".part") ||
        !checkRelativePath(partPath.first(partPath.size() - 5)).isEmpty())
        return false;
    const SplitPath split = splitPath(partPath);
    const int dirFd = folderFd(split.folders, false, nullptr);
    if (dirFd < 0)
        return false;
    const QByteArray sidecar = sidecarName(split.name);
    const std::optional<Sidecar> recorded = readSidecar(dirFd, sidecar);
    bool removed = false;
    struct stat st {};
    if (recorded && recorded->id == id &&
        ::fstatat(dirFd, split.name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
        removed = ::unlinkat(dirFd, split.name.constData(), 0) == 0;
        ::unlinkat(dirFd, sidecar.constData(), 0);
    }
    ::close(dirFd);
    return removed;
}

QByteArray PartFile::partPath() const {
    if (m_unnamed || m_partName.isEmpty())
        return {};
    QByteArray path;
    for (const QByteArray& folder : splitPath(m_entry.path).folders)
        path += folder + '/';
    return path + m_partName;
}

PartFile::~PartFile() {
    if (m_fd >= 0 && m_recorded != m_verified)
        keep();
    closeFd(m_fd);
    closeFd(m_dirFd);
}

QString PartFile::shownName() const {
    const int saved = errno; // for the system's text beside it in a message
    QString name = safeName(m_entry.path);
    errno = saved;
    return name;
}

bool PartFile::writeChunk(quint64 index, QByteArrayView bytes, QString* error) {
    if (m_fd < 0) {
        setError(error, QStringLiteral("\"%1\" is no longer open").arg(shownName()));
        return false;
    }
    if (index != m_verified || index >= m_entry.chunks.size()) {
        setError(error, QStringLiteral("chunk %1 of \"%2\" comes out of order, %3 was next")
                            .arg(index)
                            .arg(shownName())
                            .arg(m_verified));
        return false;
    }
    if (quint64(bytes.size()) != chunkLength(m_entry.size, index)) {
        setError(error, QStringLiteral("chunk %1 of \"%2\" has %3 bytes, not %4")
                            .arg(index)
                            .arg(shownName())
                            .arg(bytes.size())
                            .arg(chunkLength(m_entry.size, index)));
        return false;
    }
    if (chunkHash(bytes) != m_entry.chunks[index]) {
        setError(error, QStringLiteral("chunk %1 of \"%2\" does not match its hash")
                            .arg(index)
                            .arg(shownName()));
        return false;
    }
    if (!writeAll(m_fd, bytes.data(), std::size_t(bytes.size()), off_t(index * kChunkSize))) {
        setError(error,
                 QStringLiteral("cannot write \"%1\": %2").arg(shownName(), systemText(errno)));
        return false;
    }
    ++m_verified;
    const bool last = m_verified == m_entry.chunks.size();
    if (m_unnamed || last)
        return true; // finish() syncs and names it
    // Starts writing the chunk to the disk now, without waiting for it: the sync every
    // kSyncStride chunks then finds little left, and does not hold up a pause or a cancel.
    ::sync_file_range(m_fd, off_t(index * kChunkSize), off_t(bytes.size()), SYNC_FILE_RANGE_WRITE);
    if (m_verified - m_synced >= kSyncStride) {
        if (::fdatasync(m_fd) != 0) {
            setError(error,
                     QStringLiteral("cannot write \"%1\": %2").arg(shownName(), systemText(errno)));
            --m_verified;
            return false;
        }
        m_synced = m_verified;
    }
    if (m_verified - m_recorded >= kSidecarStride) {
        // Only the record of progress: the chunk itself is written, and a sidecar that
        // lags behind costs chunks sent again, nothing more.
        Sidecar s{m_id, m_entry.hash, m_entry.size, m_verified, m_synced};
        if (writeSidecar(m_dirFd, sidecarName(m_partName), s, nullptr))
            m_recorded = m_verified;
    }
    return true;
}

std::optional<QString> PartFile::finish(QString* error) {
    if (m_fd < 0 || m_verified != m_entry.chunks.size()) {
        setError(error, QStringLiteral("\"%1\" is not complete").arg(shownName()));
        return std::nullopt;
    }
    const struct timespec times[2] = {{0, UTIME_NOW}, {time_t(m_entry.modified), 0}};
    // A small file is on the disk already: its BackgroundSync names it only after a sync.
    // An unnamed file holds exactly what was written to it in this run; a part may hold
    // more than the file, left by an earlier run.
    if ((!m_unnamed && (::ftruncate(m_fd, off_t(m_entry.size)) != 0 || ::fdatasync(m_fd) != 0)) ||
        ::futimens(m_fd, times) != 0) {
        setError(error,
                 QStringLiteral("cannot write \"%1\": %2").arg(shownName(), systemText(errno)));
        return std::nullopt;
    }
    const QByteArray name = splitPath(m_entry.path).name;
    for (int n = 1; n <= kMaxNameTries; ++n) {
        const QByteArray finalName = n == 1 ? name : numberedName(name, n);
        const int named =
            m_unnamed ? linkUnnamed(m_fd, m_dirFd, finalName.constData())
                      : moveNoReplace(m_dirFd, m_partName.constData(), finalName.constData());
        if (named != 0) {
            if (errno == EEXIST)
                continue;
            setError(error,
                     QStringLiteral("cannot name \"%1\": %2").arg(shownName(), systemText(errno)));
            return std::nullopt;
        }
        if (!m_unnamed)
            ::unlinkat(m_dirFd, sidecarName(m_partName).constData(), 0);
        closeFd(m_fd);
        m_recorded = m_verified;
        return m_folderPath + u'/' + QFile::decodeName(finalName);
    }
    setError(error, QStringLiteral("no free name for \"%1\"").arg(shownName()));
    return std::nullopt;
}

void PartFile::keep() {
    if (m_fd < 0 || m_unnamed)
        return;
    // Synced first, so that a resume trusts every chunk verified until now.
    if (::fdatasync(m_fd) == 0)
        m_synced = m_verified;
    Sidecar s{m_id, m_entry.hash, m_entry.size, m_verified, m_synced};
    if (writeSidecar(m_dirFd, sidecarName(m_partName), s, nullptr))
        m_recorded = m_verified;
}

void PartFile::discard() {
    if (m_fd >= 0 && m_unnamed) {
        closeFd(m_fd); // an unnamed file goes with its last descriptor
        return;
    }
    if (m_fd < 0)
        return;
    // Only what is still our own file: a name that now leads elsewhere stays.
    struct stat own {
    }, named{};
    if (::fstat(m_fd, &own) == 0 &&
        ::fstatat(m_dirFd, m_partName.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        own.st_dev == named.st_dev && own.st_ino == named.st_ino)
        ::unlinkat(m_dirFd, m_partName.constData(), 0);
    const QByteArray sidecar = sidecarName(m_partName);
    if (::fstatat(m_dirFd, sidecar.constData(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(named.st_mode))
        ::unlinkat(m_dirFd, sidecar.constData(), 0);
    closeFd(m_fd);
    m_recorded = m_verified;
}

} // namespace kalvento::transfer
