#include "lang/message_table.h"

#include <array>

namespace kalvento::lang {

namespace {

// Kept word for word, misspellings included: users and translations know them this way
// (M033 excepted, whose advice was wrong on Linux).
constexpr std::array<MessageEntry, 149> Table{{
    {MessageId::M001, "M001", "Browse for folder..."},
    {MessageId::M002, "M002",
     "A newer version of Kalvento detected! Click yes if you want to know more or download "
     "it. No to be reminded later."},
    {MessageId::M003, "M003",
     "While checking for updates Kalvento has run to an error for %d times in a row. It is "
     "recommended to check the options or Fennrake web pages to fix this. Would you like to "
     "reset the error counter?"},
    {MessageId::M004, "M004", "Kalvento - You have got a new message!"},
    {MessageId::M005, "M005", "To"},
    {MessageId::M006, "M006", "--- Welcome! Today is %s of %s ---"},
    {MessageId::M007, "M007", "You have got a new message!"},
    {MessageId::M008, "M008", "Are you sure you want to clear the friends list?"},
    {MessageId::M028, "M028", "A newer program version is available!"},
    {MessageId::M029, "M029", "Aborted!"},
    {MessageId::M030, "M030", "Trying to download program update!"},
    {MessageId::M031, "M031", "Error occured!"},
    {MessageId::M032, "M032", "Succesfully downloaded the program update!"},
    // Where the file went and how a Linux system installs it: a package goes in through the
    // package manager or the software centre, never by running it.
    {MessageId::M033, "M033",
     "The update is saved as %s.\r\nInstall it with your package manager or software centre, "
     "as you installed Kalvento."},
    {MessageId::M034, "M034", "Checking for update!"},
    {MessageId::M035, "M035", "Error occured! (%s)"},
    {MessageId::M036, "M036", "No updates found!"},
    {MessageId::M037, "M037", "Downloading %1.n of %1.n!"},
    {MessageId::M038, "M038", "Kalvento Help"},
    {MessageId::M039, "M039", "Kalvento by Fennrake"},
    {MessageId::M040, "M040",
     "UDP port %d is used by another program, so Kalvento can neither send nor receive "
     "messages.\r\nClose that program, or choose another port on the Network page of the "
     "options (every computer of the chat must use the same port)."},
    {MessageId::M041, "M041", "The new port is used from the next start of Kalvento."},
    {MessageId::M042, "M042", "%s is set in the environment and overrides this setting."},
    {MessageId::M043, "M043", "Line %d is no peer: %s"},
    {MessageId::M044, "M044", "Show Kalvento"},
    {MessageId::M045, "M045", "Open the folder"},
    {MessageId::M050, "M050", "Not found"},
    {MessageId::M051, "M051", "No older match"},
    {MessageId::M052, "M052", "No newer match"},
    {MessageId::M053, "M053", "Searching the history..."},
    {MessageId::M060, "M060",
     "The line was not sent: it is marked private, but no computer is ticked.\r\nTick the "
     "computers it is for, or untick \"Send a private message\" to send it to everybody."},
    {MessageId::M061, "M061",
     "Offline: UDP port %d is used by another program. Nothing is sent or received."},
    {MessageId::M062, "M062",
     "Not sent: Kalvento is offline (UDP port %d is used by another "
     "program)."},
    {MessageId::M063, "M063", "offline"},
    {MessageId::M064, "M064",
     "Kalvento could not save everything before it closed. What it could not write is kept "
     "as it was:"},
    {MessageId::M065, "M065", "No key: this copy's lines are neither signed nor encrypted."},
    {MessageId::M070, "M070", "not verified"},
    {MessageId::M071, "M071",
     "This line came from a copy of Kalvento without a key (an older version). It is not signed: "
     "anyone on the network could have written it."},
    {MessageId::M072, "M072", "key changed"},
    {MessageId::M073, "M073",
     "The key of %s has changed since it was first seen, so this line may not come from the "
     "computer you know. Right-click it in the list of computers and choose \"Accept the new key\" "
     "once its owner has confirmed the new key."},
    {MessageId::M074, "M074", "not encrypted for %s"},
    {MessageId::M075, "M075",
     "These computers run an older copy of Kalvento that cannot receive encrypted lines: the line "
     "went to them unencrypted, and anyone on the network could read it. Turn off \"Send private "
     "lines unencrypted to older copies\" in the options to keep private lines from them."},
    {MessageId::M076, "M076", "Not sent to %s: the line could not go to it encrypted."},
    {MessageId::M077, "M077",
     "The key of %s has changed.\r\nBefore: %s\r\nNow: %s\r\nIts lines are marked until you accept "
     "the new key: right-click it in the list of computers."},
    {MessageId::M078, "M078",
     "An older copy of Kalvento without a key: its lines are not verified, and private lines to it "
     "are not encrypted."},
    {MessageId::M079, "M079",
     "Key first seen on this computer. Choose \"Verify...\" to compare it with its owner."},
    {MessageId::M080, "M080", "Key verified with its owner."},
    {MessageId::M081, "M081",
     "Its key has changed! Its lines are marked until you accept the new key."},
    {MessageId::M082, "M082",
     "Compare these numbers with the owner of %s, by voice or face to face. If both computers show "
     "the same numbers, nobody stands between you and the lines you exchange are theirs."},
    {MessageId::M083, "M083",
     "The key of %s has changed.\r\nBefore: %s\r\nNow: %s\r\nA new key is normal after a new "
     "installation or a new computer. Ask its owner before you accept it: otherwise somebody else "
     "may be writing in its name."},
    {MessageId::M084, "M084", "Mark as verified"},
    {MessageId::M085, "M085", "Accept the new key"},
    {MessageId::M086, "M086", "not seen since %s"},
    {MessageId::M087, "M087", "%s is here"},
    {MessageId::M088, "M088", "%d computers are here"},
    {MessageId::M089, "M089", "%s left"},
    {MessageId::M090, "M090", "%s is away"},
    {MessageId::M091, "M091", "%s is busy"},
    {MessageId::M092, "M092", "%s is back"},
    {MessageId::M093, "M093", "Available"},
    {MessageId::M094, "M094", "Away"},
    {MessageId::M095, "M095", "Busy"},
    {MessageId::M096, "M096", "A short text the others see with your status (at most %d bytes):"},
    {MessageId::M097, "M097",
     "The status text was longer than the others can be sent; they see it cut short:\r\n%s"},
    {MessageId::M100, "M100", "⚠ not delivered"},
    {MessageId::M101, "M101", "◷ waiting"},
    {MessageId::M102, "M102", "cancelled"},
    {MessageId::M103, "M103", "delivered to %d of %d"},
    {MessageId::M104, "M104", "not delivered: %s"},
    {MessageId::M105, "M105", "read by %s"},
    {MessageId::M106, "M106", "no receipt (older copy): %s"},
    {MessageId::M107, "M107", "waiting for %s"},
    {MessageId::M108, "M108", "cancelled: %s"},
    {MessageId::M109, "M109", "dropped from the outbox after waiting too long: %s"},
    {MessageId::M110, "M110", "Your line to %s of %s was delivered: %s"},
    {MessageId::M111, "M111", "Your line to %s of %s could not be delivered: %s"},
    {MessageId::M112, "M112",
     "Your line to %s of %s waited too long and was dropped from the outbox: %s"},
    {MessageId::M113, "M113", "caught up"},
    {MessageId::M114, "M114",
     "Said at %s while you were away; offered by a computer in the chat and signed by its author."},
    {MessageId::M115, "M115", "1 line you missed is shown above."},
    {MessageId::M116, "M116", "%d lines you missed are shown above."},
    {MessageId::M117, "M117", "Lines waiting for their recipient"},
    {MessageId::M118, "M118", "Recipient"},
    {MessageId::M119, "M119", "Waiting since"},
    {MessageId::M120, "M120", "Text"},
    {MessageId::M121, "M121", "Cancel line"},
    {MessageId::M122, "M122", "Close"},
    {MessageId::M123, "M123", "That line is no longer waiting: it was sent or dropped meanwhile."},
    {MessageId::M124, "M124", "These private lines go when their recipient is heard from again."},
    {MessageId::M125, "M125", "sent %s (%s) to %s"},
    {MessageId::M126, "M126", "sent %s files (%s) to %s"},
    {MessageId::M127, "M127", "received %s (%s) from %s"},
    {MessageId::M128, "M128", "received %s files (%s) from %s"},
    {MessageId::M129, "M129", "%s to %s: %s"},
    {MessageId::M130, "M130", "%s from %s: %s"},
    {MessageId::M131, "M131", "failed"},
    {MessageId::M132, "M132", "declined"},
    {MessageId::M133, "M133", "cancelled"},
    {MessageId::M134, "M134", "%s files"},
    {MessageId::M135, "M135", "Files not sent to %s: %s"},
    {MessageId::M136, "M136",
     "Tick the computers to send the files to, or drop the files on a computer in the list."},
    {MessageId::M137, "M137", "The files could not be sent: %s"},
    {MessageId::M138, "M138", "Files not sent to %s: it was not listed within a minute."},
    {MessageId::M139, "M139", "Files from %s"},
    {MessageId::M140, "M140", "%s offers to send you files."},
    {MessageId::M141, "M141", "What:"},
    {MessageId::M142, "M142", "Files:"},
    {MessageId::M143, "M143", "Size:"},
    {MessageId::M144, "M144", "Saved in:"},
    {MessageId::M145, "M145", "&Accept"},
    {MessageId::M146, "M146", "&Decline"},
    {MessageId::M147, "M147", "&Choose folder..."},
    {MessageId::M148, "M148", "Transfers"},
    {MessageId::M149, "M149", "Hide the transfers"},
    {MessageId::M150, "M150", "to %s"},
    {MessageId::M151, "M151", "from %s"},
    {MessageId::M152, "M152", "preparing"},
    {MessageId::M153, "M153", "waiting for an answer"},
    {MessageId::M154, "M154", "waiting for your answer"},
    {MessageId::M155, "M155", "connecting"},
    {MessageId::M156, "M156", "in progress"},
    {MessageId::M157, "M157", "paused"},
    {MessageId::M158, "M158", "waiting for the other computer"},
    {MessageId::M159, "M159", "done"},
    {MessageId::M160, "M160", "declined"},
    {MessageId::M161, "M161", "cancelled"},
    {MessageId::M162, "M162", "failed"},
    {MessageId::M163, "M163", "Pause"},
    {MessageId::M164, "M164", "Resume"},
    {MessageId::M165, "M165", "Cancel"},
    {MessageId::M166, "M166", "Open"},
    {MessageId::M167, "M167", "Show in folder"},
    {MessageId::M168, "M168", "Clear"},
    {MessageId::M169, "M169", "%s/s"},
    {MessageId::M170, "M170", "%s left"},
    {MessageId::M171, "M171", "Send files"},
    {MessageId::M172, "M172", "Send a folder"},
    {MessageId::M173, "M173", "Choose the folder for the files"},
    {MessageId::M174, "M174",
     "The firewall of this computer must let in UDP port %d (the chat) and TCP port %d (files)."},
    {MessageId::M175, "M175", "Send %s to:"},
    {MessageId::M176, "M176", "%s and %d more"},
    {MessageId::M177, "M177",
     "Nobody listed can take files yet. The computers show here as they are listed."},
    {MessageId::M178, "M178", "&Send"},
    {MessageId::M179, "M179", "paused by %s"},
    {MessageId::M180, "M180", "This message has not been sent. Close the window and lose it?"},
    {MessageId::M181, "M181",
     "Kalvento was ended while you were writing: what you had not sent is back where you "
     "wrote it."},
    {MessageId::M182, "M182",
     "Not sent to %s: its key has changed. To send to it, accept the new key: right-click it "
     "in the list of computers."},
    {MessageId::M183, "M183",
     "Another computer, at %s, also calls itself %s (key %s).\r\nKalvento tells computers "
     "apart by their names: the others cannot reach both of them. Give one of the two another "
     "name: another host name (Kalvento takes its first 15 bytes), or KALVENTO_COMPUTER_NAME "
     "when Kalvento starts."},
    {MessageId::M184, "M184",
     "Another computer, at %s, also calls itself %s (an older copy of Kalvento).\r\nKalvento "
     "tells computers apart by their names: the others cannot reach both of them. Give one of "
     "the two another name: another host name (Kalvento takes its first 15 bytes), or "
     "KALVENTO_COMPUTER_NAME when Kalvento starts."},
}};

const MessageEntry& entry(MessageId id) {
    // The enum lists the identifiers in table order.
    return Table[static_cast<std::size_t>(id)];
}

} // namespace

std::span<const MessageEntry> messageTable() {
    return Table;
}

QString messageIdentifier(MessageId id) {
    return QString::fromLatin1(entry(id).identifier);
}

QString messageDefault(MessageId id) {
    return QString::fromUtf8(entry(id).englishDefault);
}

std::optional<MessageId> messageIdFromIdentifier(QStringView identifier) {
    for (const MessageEntry& e : Table) {
        if (identifier.compare(QLatin1StringView(e.identifier), Qt::CaseInsensitive) == 0)
            return e.id;
    }
    return std::nullopt;
}

std::optional<QString> messageDefault(QStringView identifier) {
    if (const auto id = messageIdFromIdentifier(identifier))
        return messageDefault(*id);
    return std::nullopt;
}

} // namespace kalvento::lang
