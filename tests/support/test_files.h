#pragma once
// Files for the tests of file transfers: content that does not repeat, written, read back
// and listed.

#include <QByteArray>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

namespace kalvento::test {

// size bytes of a simple generator from seed: every seed gives other bytes.
inline QByteArray contentOf(qsizetype size, char seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

// Writes bytes to path, making its folders.
inline void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(path.section(QLatin1Char('/'), 0, -2));
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
    file.write(bytes);
}

inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Every file below folder, relative, sorted (links are not followed).
inline QStringList filesBelow(const QString& folder) {
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(QDir(folder).relativeFilePath(it.next()));
    out.sort();
    return out;
}

} // namespace kalvento::test
