#pragma once
// Replacing a file so that a crash, a full disk or a failed write never leaves half of it:
// the bytes go to a temporary file beside it, which is synced and then renamed over it.

#include <QByteArrayView>
#include <QString>

namespace kalvento::platform {

// Throws SystemError with the system's text when the file cannot be written; the old
// file then stays as it was. A symbolic link keeps pointing at the replaced file, and an
// existing file keeps its permissions.
void writeFileAtomically(const QString& path, QByteArrayView bytes);

} // namespace kalvento::platform
