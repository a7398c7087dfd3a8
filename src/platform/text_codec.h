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

// The wire's text (chat lines, names, identities): UTF-8 going out; coming in, UTF-8 when
// the bytes are valid UTF-8, else Windows-1252 (what older copies send), so that nothing
// that arrives is lost.
QByteArray toWire(QStringView text);
QString fromWire(QByteArrayView bytes);

// The first maxBytes bytes of bytes, fewer when the cut would fall inside a UTF-8
// character. Bytes that are not UTF-8 are cut where the limit says.
QByteArray cutAtCharacter(QByteArrayView bytes, qsizetype maxBytes);
// The UTF-8 of text, at most maxBytes long, cut at a character boundary.
QByteArray toWire(QStringView text, qsizetype maxBytes);
// text cut so that its UTF-8 is at most maxBytes long.
QString cutToWireLength(const QString& text, qsizetype maxBytes);

// A text from someone else (a peer's name or line) made safe to show among other text:
// wrapped in a first-strong isolate (U+2068 ... U+2069), so that its direction controls
// cannot reorder anything around it. A closing isolate inside it that opens nothing is
// dropped, and isolates it leaves open are closed; embeddings and overrides end with the
// isolate by the rules of bidirectional text.
QString isolatedText(QStringView text);

} // namespace kalvento::platform
