#pragma once
// Replacing a file so that a crash, a full disk or a failed write never leaves half of it:
// the bytes go to a temporary file beside it, which is synced and then renamed over it. The
// temporary file has no name until it is complete where the file system allows it, so that
// a kill while writing leaves nothing behind; removeStaleTemporaries finds what is left
// where it does not.

#include "platform/result.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QString>

namespace kalvento::platform {

// Who may read the file written: as an older file of the name allowed (a new one as any new
// file), or its owner alone whatever the older file allowed (mode 0600, for files that
// hold keys or what the user wrote).
enum class FileAccess { Keep, OwnerOnly };

// Throws SystemError with the system's text when the file cannot be written; the old
// file then stays as it was. A symbolic link keeps pointing at the replaced file, and an
// existing file keeps its permissions unless access says otherwise.
void writeFileAtomically(const QString& path, QByteArrayView bytes,
                         FileAccess access = FileAccess::Keep);

// A file written piece by piece (a download) that takes the place of path only once it is
// complete: the bytes go to a temporary file beside it, named as writeFileAtomically names
// its own. Until commit, an older file of that name stays as it was; a replacement that is
// never committed is removed.
class ReplacementFile {
public:
    explicit ReplacementFile(const QString& path);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary file.
    Result open();
    QIODevice* device() { return &m_file; }
    // Syncs the bytes and renames the file over path. When that fails the temporary file
    // is gone and the old file kept.
    Result commit();
    // Removes the temporary file.
    void discard();

private:
    QByteArray m_target;
    QByteArray m_tempName;
    QFile m_file;
};

// Removes the temporary files that replacements of path left when their processes ended
// before finishing ("<file>.tmp<pid>.<number>" of a process that no longer runs); those of
// running processes stay. Returns how many went.
int removeStaleTemporaries(const QString& path);

} // namespace kalvento::platform
