#pragma once
// The chat payload: the plain-text message forms that copies exchange, the encoding that
// turns a plain text into datagram bytes and back, and how a receiver tells the forms
// apart. Plain texts are Windows-1252 bytes; positions count bytes.

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>

#include <utility>

namespace kalvento::messaging {

// Tags of the control messages and of private lines.
inline constexpr char kGreetingTag[] = "#HI!#";
inline constexpr char kAnswerTag[] = "#REP#";
inline constexpr char kIdentityTag[] = "#NIC#";
inline constexpr char kGoodbyeTag[] = "#REM#";
inline constexpr char kPrivateTag[] = "#PRI#";
// A copy with a key tells the computers it lists that it is still there; older copies take
// it for an unknown tag and ignore it.
inline constexpr char kSignOfLifeTag[] = "#ALV#";
// Between copies with keys: the receipt for lines taken or read (signed), a request for
// the public lines said since a moment (signed), and one such line offered in answer
// (sealed for the one who asked). Older copies take each for an unknown tag.
inline constexpr char kReceiptTag[] = "#RCP#";
inline constexpr char kCatchUpAskTag[] = "#CUQ#";
inline constexpr char kCatchUpLineTag[] = "#CUL#";
// Between copies with keys, sealed for one computer: a file transfer's offer, answer or
// end (transfer/transfer_wire.h). Older copies take it for an unknown tag.
inline constexpr char kFileTag[] = "#FIL#";
inline constexpr char kNameSeparator[] = "<@>";
// The currency sign of Windows-1252 that tags the lines of a private multi-line message.
inline constexpr char kPrivateLineMark = '\xA4';
inline constexpr int kMaxMultiLineLines = 100;

// Four plain bytes become eight encoded bytes, none of them zero.
QByteArray EncodeText(QByteArrayView plain);
// The inverse of EncodeText over whole groups of eight; the result keeps the zero padding
// of the last group (the caller cuts at the first zero). A trailing part group, which no
// sender produces, reads as if padded with 0xFF bytes.
QByteArray DecodeText(QByteArrayView encoded);

// Three characters naming line k (0..99) of a multi-line message: LL0..LL9, L10..L99.
QByteArray LineTag(int k);

// The longest plain text whose encoded payload, with its zero byte and the 8-byte
// terminal header, fits into one datagram of maxDatagramSize bytes.
qsizetype maxPlainTextLength(quint32 maxDatagramSize);
// The plain text cut to maxLength bytes (whole bytes: every Windows-1252 byte is a character).
QByteArray limitPlainText(QByteArrayView plain, qsizetype maxLength);
// A text split into pieces of at most maxLength bytes, each cut at a character boundary,
// after the last blank of a piece when one stands in its last eighth (so words stay
// whole), else as far as the limit goes. Joined, the pieces are the text again. An empty
// text is one empty piece.
QList<QByteArray> splitPlainText(QByteArrayView plain, qsizetype maxLength);

// The datagram payload for a plain text: EncodeText followed by one zero byte.
QByteArray payloadFromPlainText(QByteArrayView plain);
// The plain text of a received payload: cut at the first zero, decoded, cut again.
QByteArray plainTextFromPayload(QByteArrayView payload);

// Message forms.
QByteArray greetingText(QByteArrayView computerName, QByteArrayView groupName);
QByteArray answerText(QByteArrayView computerName, QByteArrayView groupName);
QByteArray identityText(QByteArrayView identity);
QByteArray goodbyeText(QByteArrayView computerName);
// status: "available" (later "away" or "busy").
QByteArray signOfLifeText(QByteArrayView status);
QByteArray privateLineText(QByteArrayView text);
QByteArray receiptText(QByteArrayView body);
// "#CUQ#" and the moment asked from: 16 lowercase hex digits of microseconds since 1970.
QByteArray catchUpAskText(QByteArrayView since);
QByteArray publicMultiLineText(int k, QByteArrayView line);
QByteArray privateMultiLineText(int k, QByteArrayView line);

enum class MessageKind {
    Greeting,
    Goodbye,
    PrivateLine,
    Answer,
    Identity,
    SignOfLife,
    Receipt,
    CatchUpAsk,
    CatchUpLine,
    FileMessage,
    PublicMultiLine,
    PrivateMultiLine,
    UnknownTag,
    PublicLine,
};

struct ClassifiedMessage {
    MessageKind kind = MessageKind::PublicLine;
    // For multi-line lines: whether this is line 0, which carries the heading.
    bool firstLine = false;
    // The text after the five-character tag; the whole text for a public line.
    QByteArray body;
};

// Applies the receiver's rules in their order; the comparisons are exact.
ClassifiedMessage classifyMessage(QByteArrayView text);

// A greeting or answer body taken apart at the first "<@>": computer name before, group
// name after. Without a separator the whole body is the computer name and the group empty.
std::pair<QByteArray, QByteArray> splitComputerAndGroup(QByteArrayView body);

// Comma text, several lines written on one (the headless peer's "multi" takes them so):
// items separated by commas, or by blanks outside quotes; an item in double quotes keeps
// commas and blanks, and a doubled quote inside stands for one quote.
QStringList splitCommaText(QStringView text);
QString joinCommaText(const QStringList& items);

} // namespace kalvento::messaging
