#pragma once
// Where received files go, and nowhere else. Every name below the folder is opened relative
// to the folder's own descriptor, one name at a time, refusing symbolic links (O_NOFOLLOW)
// at every step, so that neither a hostile name nor a link planted in the folder leads
// outside it. Folders are created as needed; files are never replaced. A file arrives as
// "<name>.part" beside a sidecar "<name>.part.kvs" that records the transfer, the file's
// hash and how many of its chunks are verified, and takes its own name (or "<name> (2)"
// and so on when that name is taken) only once it is whole. A file of at most one chunk is
// written unnamed instead and linked to its name when whole.

#include "transfer/transfer_wire.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

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
    // Writes what was received to the disk (at the end of a transfer: small files are not
    // synced one by one).
    void sync() const;

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
    // folder (SaveFolder::sync), not one of its own.
    bool syncedWithFolder() const { return m_unnamed; }
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

// Puts what small files wrote on the disk while the transfer goes on. Unnamed files are not
// synced one by one, and a sync at the end that finds them all still in memory waits for
// every one of them; instead, each time `threshold` bytes of them are written, a sync of the
// folder's file system starts on a thread of its own (one at a time, on a descriptor of its
// own), and the sync at the end has only the rest left. The folder must outlive it.
class BackgroundSync {
public:
    static constexpr quint64 kThreshold = 4 << 20;
    explicit BackgroundSync(const SaveFolder& folder, quint64 threshold = kThreshold);
    // A sync that still runs is not waited for (a transfer paused or cancelled ends at
    // once): it ends on its own.
    ~BackgroundSync();
    BackgroundSync(const BackgroundSync&) = delete;
    BackgroundSync& operator=(const BackgroundSync&) = delete;

    // Counts bytes written to files that wait for a sync, and starts one when they reach
    // the threshold and none runs.
    void wrote(quint64 bytes);
    // Waits for a sync that runs, then syncs what is left.
    void finish();
    // How many syncs were started in the background.
    int started() const { return m_started; }

private:
    const SaveFolder& m_folder;
    quint64 m_threshold;
    quint64 m_unsynced = 0;
    int m_started = 0;
    // Set while a sync runs; shared with its thread, which may outlive this object.
    std::shared_ptr<std::atomic<bool>> m_running = std::make_shared<std::atomic<bool>>(false);
    std::thread m_thread;
};

} // namespace kalvento::transfer
