#pragma once

// Readable GoogleTest failure output for Qt's strings (found by argument-dependent lookup).

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <ostream>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"' << bytes.toStdString() << '"';
}
inline void PrintTo(const QStringList& list, std::ostream* out) {
    *out << "[\"" << list.join(u"\", \"").toStdString() << "\"]";
}
QT_END_NAMESPACE
