#pragma once
// Every message the program shows through the language file: its identifier in section
// "Misc" and its English default. M009 to M027 and M046 to M049 are not used; M038 onwards
// are texts the program has beyond the original table (the help window's title, the tray's
// tip, the network's messages, the desktop notification's button, the downloaded update's
// folder, the chat's find bar, what could not be sent or saved, this copy's key, the marks
// and questions of the identity keys; from M100, the delivery marks of the user's lines,
// the lines waiting in the outbox and the lines caught up after an absence; from M125, file
// transfers: the chat's lines of their outcome, the question of an offer and the panel).
// Placeholders are those of the formatting rules the callers use: %s a text, %d a whole
// number, %1.n a number with thousands separators and no decimals.

#include <QString>
#include <QStringView>

#include <optional>
#include <span>

namespace kalvento::lang {

enum class MessageId {
    M001,
    M002,
    M003,
    M004,
    M005,
    M006,
    M007,
    M008,
    M028,
    M029,
    M030,
    M031,
    M032,
    M033,
    M034,
    M035,
    M036,
    M037,
    M038,
    M039,
    M040,
    M041,
    M042,
    M043,
    M044,
    M045,
    M050,
    M051,
    M052,
    M053,
    M060,
    M061,
    M062,
    M063,
    M064,
    M065,
    M070,
    M071,
    M072,
    M073,
    M074,
    M075,
    M076,
    M077,
    M078,
    M079,
    M080,
    M081,
    M082,
    M083,
    M084,
    M085,
    M086,
    M087,
    M088,
    M089,
    M090,
    M091,
    M092,
    M093,
    M094,
    M095,
    M096,
    M097,
    M100,
    M101,
    M102,
    M103,
    M104,
    M105,
    M106,
    M107,
    M108,
    M109,
    M110,
    M111,
    M112,
    M113,
    M114,
    M115,
    M116,
    M117,
    M118,
    M119,
    M120,
    M121,
    M122,
    M123,
    M124,
    M125,
    M126,
    M127,
    M128,
    M129,
    M130,
    M131,
    M132,
    M133,
    M134,
    M135,
    M136,
    M137,
    M138,
    M139,
    M140,
    M141,
    M142,
    M143,
    M144,
    M145,
    M146,
    M147,
    M148,
    M149,
    M150,
    M151,
    M152,
    M153,
    M154,
    M155,
    M156,
    M157,
    M158,
    M159,
    M160,
    M161,
    M162,
    M163,
    M164,
    M165,
    M166,
    M167,
    M168,
    M169,
    M170,
    M171,
    M172,
    M173,
    M174,
    M175,
    M176,
    M177,
    M178,
    M179,
    M180,
    M181,
    M182,
    M183,
    M184,
};

struct MessageEntry {
    MessageId id;
    const char* identifier;     // "M001"...
    const char* englishDefault; // UTF-8, quoted exactly as the program has always shown it
};

// The whole table, in identifier order.
std::span<const MessageEntry> messageTable();

QString messageIdentifier(MessageId id);
QString messageDefault(MessageId id);

// The English default of an identifier ("M007"), letter case ignored; none for an
// identifier that is not in the table.
std::optional<QString> messageDefault(QStringView identifier);
std::optional<MessageId> messageIdFromIdentifier(QStringView identifier);

} // namespace kalvento::lang
