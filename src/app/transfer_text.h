#pragma once
// How a file transfer is worded for the user: sizes in the decimal units of the file
// managers, the time left, the state, and the chat's line when a transfer ends. The names of
// files and computers in them are the peer's: callers show them as plain text, isolated.

#include "transfer/transfer_info.h"

#include <QString>
#include <QStringList>

namespace kalvento::app {

// "0 B", "999 B", "1.0 kB", "4.2 MB", "1.1 GB"... one decimal from a kilobyte on (1000 bytes).
QString humanSize(quint64 bytes);
// "0:07", "12:05", "1:02:03": minutes and seconds, hours when there are any.
QString durationText(qint64 seconds);
// The state as the panel shows it, in the language in use.
QString stateText(transfer::TransferState state);
// A peer's text on one line: its line breaks become blanks (nothing else changes).
QString oneLine(const QString& text);
// What follows a transfer's name: " (31 files, 81.7 MB)", or " (4.2 MB)" for one file.
QString countAndSize(const transfer::TransferInfo& info);
// Why a transfer ended, when that says more than its state ("declined" for a declined one
// says nothing new); empty otherwise. On one line.
QString endReason(const transfer::TransferInfo& info);

// A line of the chat as TChatView::appendNotice takes it: the template's "%s" take args.
struct ChatNotice {
    QString textTemplate;
    QStringList args;
};

// What the chat says when a transfer ended: "sent report.pdf (4.2 MB) to Anna", "received
// 12 files (40.1 MB) from Anna", "report.pdf from Anna: failed: <reason>"; computer is the
// other side as the list shows it. Nothing for a transfer that has not ended.
std::optional<ChatNotice> finishedNotice(const transfer::TransferInfo& info,
                                         const QString& computer);

} // namespace kalvento::app
