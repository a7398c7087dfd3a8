#include "http/document_file.h"

#include "platform/system_error.h"

#include <QFileDevice>

#include <cerrno>
#include <unistd.h>

namespace kalvento::http {

TDocumentFile::TDocumentFile(QFileDevice& file) : m_file(file) {
    if (m_file.isOpen() && m_file.flush() && m_file.handle() >= 0)
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    else
        setErrorString(m_file.errorString());
}

qint64 TDocumentFile::readData(char*, qint64) {
    return -1;
}

qint64 TDocumentFile::writeData(const char* data, qint64 length) {
    const int fd = m_file.handle();
    qint64 written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd, data + written, size_t(length - written));
        if (n > 0) {
            written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // A write that stores nothing without an error would go on for ever: the disk is
        // as full as a failing one.
        setErrorString(platform::systemErrorText(n < 0 ? errno : ENOSPC));
        return -1;
    }
    return written;
}

} // namespace kalvento::http
