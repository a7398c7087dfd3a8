#pragma once
// The system's own text for an error number, as the exceptions of the datagram
// service and the settings layer carry it.

#include <QString>

#include <stdexcept>
#include <string>

namespace kalvento::platform {

QString systemErrorText(int errorNumber);

// A failing system call: what() is the system's text for the error number.
class SystemError : public std::runtime_error {
public:
    explicit SystemError(int errorNumber);
    SystemError(int errorNumber, const QString& text);
    int errorNumber() const noexcept { return m_errorNumber; }
    QString text() const { return QString::fromUtf8(what()); }

private:
    int m_errorNumber;
};

} // namespace kalvento::platform
