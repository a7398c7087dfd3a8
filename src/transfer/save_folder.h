#pragma once
// Where received files go, and nowhere else. Every name below the folder is opened relative
// to the folder's own descriptor, one name at a time, refusing symbolic links (O_NOFOLLOW)
// at every step, so that neither a hostile name nor a link planted in the folder leads
// outside it. Folders are created as needed; files are never replaced. A file arrives as
// "<name>.part" beside a sidecar "<name>.part.kvs" that records the transfer, the file's
// hash and how many of its chunks are verified, and takes its own name (or "<name> (2)"
// and so on when that name is taken) only once it is whole. A file of at most one chunk is
// written unnamed instead and linked to its name once whole and on the disk.

#include "transfer/transfer_wire.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

namespace kalvento::transfer {

class PartFile;

class SaveFolder {
public:
    // Opens folder, creating it and its parents when missing. nullopt and error when it
    // cannot be created or opened, or is not a folder.
    static std::optional<SaveFolder> open(const QString& folder, QString* error);
    SaveFolder(SaveFolder&& other) noexcept;
    SaveFolder& operator=(SaveFolder&& other) noexcept;
    ~SaveFolder();

    const QString& path() const { return m_path; }
    // Bytes free for this user on the folder's file system.
    quint64 freeBytes() const;
    // Writes what was received to the disk (small files are not synced one by one). False
    // (errno set) when the file system reports that something could not be written.
    bool sync() const;

    // Whether a file with entry's content (same size, same hash) is already there under
    // entry's path: it is then not sent again.
    bool alreadyThere(const FileEntry& entry) const;

    // The partial file for entry of transfer id: an earlier one of the same transfer and
    // file hash resumes after its verified chunks (their number in verifiedChunks()), any
    // other is started anew under a free "<name>.part" name. Creates entry's folders.
    // nullptr and error when a name on the way is a link or not a folder, or the file
    // cannot be created.
    std::unique_ptr<PartFile> openPart(const FileEntry& entry, const TransferId& id,
                                       QString* error) const;
    // Removes the part at partPath (as PartFile::partPath gave it) and its sidecar when the
    // sidecar still names transfer id: a transfer that ends while no connection runs
    // leaves nothing behind. Anything else there is left alone. Whether it was removed.
    bool discardPart(const QByteArray& partPath, const TransferId& id) const;

private:
    SaveFolder() = default;
    friend class PartFile;
    friend class BackgroundSync;
    // The folder of a path below this one (a descriptor of its own), as openFolders opens
    // it; the last one is kept, since the files of a folder come one after another.
    int folderFd(const QList<QByteArray>& folders, bool create, QString* error) const;
    QString m_path;
    int m_fd = -1;
    mutable QList<QByteArray> m_lastFolders;
    mutable int m_lastFolderFd = -1;
    // The last folders looked for (not created) and not found, until a folder is created.
    mutable std::optional<QList<QByteArray>> m_lastMissing;
};

class PartFile {
public:
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    quint64 verifiedChunks() const { return m_verified; }
    // Whether the file is written unnamed, and so reaches the disk only with a sync of the
    // folder, not one of its own: once whole, it goes to a BackgroundSync to be named.
    bool syncedWithFolder() const { return m_unnamed; }
    quint64 size() const { return m_entry.size; }
    // Where the part lies below the save folder ("folder/name.part"); empty for a file
    // written unnamed, of which nothing stays.
    QByteArray partPath() const;
    // Writes chunk index (the next one after the verified ones) after checking its bytes
    // against entry's chunk hash: false and error when they do not match (nothing is
    // counted as verified) or the write fails. The sidecar is brought up to date every
    // kSidecarStride chunks and at the end; every kSyncStride chunks the part is synced
    // first, and on resume the chunks past the last synced mark are checked again.
    bool writeChunk(quint64 index, QByteArrayView bytes, QString* error);
    static constexpr quint64 kSidecarStride = 4;
    static constexpr quint64 kSyncStride = 256;
    // All chunks verified: syncs, sets the modification time, and renames the part to
    // entry's name, or the first free "<stem> (n)<ext>" (n from 2), never replacing a file;
    // removes the sidecar. The final path (inside the save folder), or nullopt and error.
    std::optional<QString> finish(QString* error);
    // Writes the sidecar now (a transfer paused or cut): the part stays for a resume.
    void keep();
    // Removes the part and its sidecar (a transfer cancelled or failed for good).
    void discard();

private:
    friend class SaveFolder;
    PartFile() = default;
    // The file's name for messages, made only when one needs it (errno kept).
    QString shownName() const;
    FileEntry m_entry;
    TransferId m_id{};
    int m_dirFd = -1; // the folder the file goes into
    int m_fd = -1;
    QByteArray m_partName; // in m_dirFd
    // A file of one chunk or none is written to an unnamed file (O_TMPFILE) that gets its
    // name when whole: no part, no sidecar, nothing left behind by a kill.
    bool m_unnamed = false;
    quint64 m_verified = 0;
    quint64 m_recorded = 0; // in the sidecar
    quint64 m_synced = 0;
    QString m_folderPath; // for messages and the final path
};

// How many received small files may be held open at once, together, by the transfers that
// hold them while they wait for a sync (two descriptors each).
class HeldFileBudget {
public:
    explicit HeldFileBudget(size_t limit) : m_limit(limit) {}
    // The program's: from the limit of open files as it stands when first asked, leaving
    // room for the rest of the program, between 16 and 32768.
    static HeldFileBudget& process();
    size_t limit() const { return m_limit; }
    size_t count() const { return m_count.load(std::memory_order_relaxed); }

private:
    friend class BackgroundSync;
    const size_t m_limit;
    std::atomic<size_t> m_count{0};
};

// Puts the small files on the disk before they take their names. A file written unnamed
// gets its name only once a sync of the folder's file system that started after it was
// written has ended, so that a power cut cannot leave a name on a file whose bytes never
// reached the disk. Syncing each file on its own would cost a journal commit per file;
// instead, each time `threshold` bytes (or half the files it may hold) are waiting, a sync
// starts on a thread of its own (one at a time, on a descriptor of its own) while the
// transfer goes on, and the files it covers are named once it has ended. Held files keep
// their descriptors open, so one transfer holds at most maxHeld of them (past that it waits for
// the running sync), and when all the transfers together reach the budget's limit, the one
// that goes over syncs and names all it holds before it goes on. The folder and the budget
// must outlive it.
class BackgroundSync {
public:
    static constexpr quint64 kThreshold = 4 << 20;
    // maxHeld 0: 4096, or the budget's limit when lower.
    explicit BackgroundSync(const SaveFolder& folder, quint64 threshold = kThreshold,
                            size_t maxHeld = 0, HeldFileBudget& budget = HeldFileBudget::process());
    // A sync that still runs is not waited for (a transfer paused or cancelled ends at
    // once): it ends on its own, and the files it was to cover, still unnamed, go with their
    // descriptors. Files whose sync has already ended are named first.
    ~BackgroundSync();
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    // Called with the index the job gave a file and the path it was named at.
    std::function<void(size_t index, const QString& path)> onNamed;

    // Takes file, whole and written unnamed (PartFile::syncedWithFolder), to be named after
    // a sync; names the files of a sync that has ended, and starts the next sync when
    // enough waits. False and error when a sync failed or a file could not be named.
    bool hold(std::unique_ptr<PartFile> file, size_t index, QString* error);
    // Waits for a sync that runs, syncs what is left, names every file held and syncs the
    // names. False and error when a sync failed or a file could not be named.
    bool finish(QString* error);
    // How many syncs were started in the background.
    int started() const { return m_started; }
    // How many files are held unnamed.
    size_t held() const { return m_waiting.size() + m_syncing.size(); }

private:
    struct Held {
        size_t index;
        std::unique_ptr<PartFile> file;
    };
    struct Shared {
        std::atomic<bool> running{false};
        std::atomic<int> error{0}; // errno of a sync that failed
    };
    void start();
    // Names the files the last sync covered once it has ended; with wait, waits for it.
    bool nameSynced(bool wait, QString* error);
    bool nameAll(std::vector<Held>& files, QString* error);

    const SaveFolder& m_folder;
    HeldFileBudget& m_budget;
    quint64 m_threshold;
    size_t m_maxHeld;
    quint64 m_waitingBytes = 0;
    std::vector<Held> m_waiting; // written since the last sync started
    std::vector<Held> m_syncing; // written before the running (or last) sync started
    int m_started = 0;
    // Shared with the sync's thread, which may outlive this object.
    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
    std::thread m_thread;
};

} // namespace kalvento::transfer
