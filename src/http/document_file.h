#pragma once
// The file a fetched document is written to, as the HTTP client's DocumentStream: a
// write-only device that hands each block straight to the file's descriptor and keeps the
// system's reason when a write fails ("No space left on device"). QFile buffers, and after
// a write that stored only part of a block (a disk that fills up on the way) it has no
// reason left to give but "Unknown error".

#include <QIODevice>

class QFileDevice;

namespace kalvento::http {

class TDocumentFile : public QIODevice {
public:
    // file must be open for writing and stay open while this device is used; what it still
    // buffered is flushed first, so the bytes stay in order.
    explicit TDocumentFile(QFileDevice& file);

    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 length) override;

private:
    QFileDevice& m_file;
};

} // namespace kalvento::http
