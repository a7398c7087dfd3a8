#include "platform/system_error.h"

#include <cstring>

namespace kalvento::platform {

QString systemErrorText(int errorNumber) {
    char buffer[256];
    // GNU strerror_r returns the text, which may or may not be in buffer.
    const char* text = strerror_r(errorNumber, buffer, sizeof buffer);
    return QString::fromLocal8Bit(text);
}

SystemError::SystemError(int errorNumber)
    : SystemError(errorNumber, systemErrorText(errorNumber)) {}

SystemError::SystemError(int errorNumber, const QString& text)
    : std::runtime_error(text.toStdString()), m_errorNumber(errorNumber) {}

} // namespace kalvento::platform
