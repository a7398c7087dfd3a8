#pragma once
// One running copy per user: an exclusive lock on a per-user file, held while the object
// lives. The kernel drops it when the process ends, crashes included.

#include <QString>

namespace kalvento::platform {

class InstanceLock {
public:
    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // False only when another process holds the lock of this name. Any other failure
    // (no writable directory, a file owned by someone else) lets the copy start without
    // the lock, as a failing single-instance check should not keep the user out;
    // isHeld() then stays false.
    bool tryAcquire(const QString& name = QStringLiteral("Kalvento"));
    bool isHeld() const { return m_fd >= 0; }

    // $XDG_RUNTIME_DIR/<name>.lock, or /tmp/<name>-<uid>.lock without it; the name in
    // lower case with anything but letters, digits, "-" and "_" replaced by "_".
    static QString lockFilePath(const QString& name);

private:
    int m_fd = -1;
};

} // namespace kalvento::platform
