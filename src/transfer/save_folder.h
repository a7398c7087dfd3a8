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

#include <memory>
#include <optional>

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
    // The folder of a path below this one (a descriptor of its own), as openFolders opens
    // it; the last one is kept, since the files of a folder come one after another.
    int folderFd(const QList<QByteArray>& folders, bool create, QString* error) const;
    QString m_path;
    int m_fd = -1;
    mutable QList<QByteArray> m_lastFolders;
    mutable int m_lastFolderFd = -1;
};

class PartFile {
public:
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    quint64 verifiedChunks() const { return m_verified; }
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

} // namespace kalvento::transfer
