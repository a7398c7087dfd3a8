#pragma once
// Conversion between the single-byte text of the wire and of stored files (Windows-1252)
// and the Unicode text of the GUI.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace kalvento::platform {

// Windows-1252 bytes to Unicode. The five bytes that code page leaves undefined
// (0x81, 0x8D, 0x8F, 0x90, 0x9D) map to the C1 control of the same value, so every
// byte sequence survives a round trip through fromAnsi and toAnsi.
QString fromAnsi(QByteArrayView bytes);

// Unicode to Windows-1252; a character the code page lacks becomes '?'.
QByteArray toAnsi(QStringView text);

// True when every character of text has a Windows-1252 byte.
bool isAnsiRepresentable(QStringView text);

// Text of a file that may be UTF-8 or Windows-1252: UTF-8 when the bytes are valid
// UTF-8 (a leading byte-order mark is dropped), otherwise Windows-1252.
QString decodeUtf8OrAnsi(QByteArrayView bytes);

} // namespace kalvento::platform
