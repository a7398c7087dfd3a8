#pragma once
// What the user sees of a transfer: its state and progress, as the service reports them.

#include "transfer/transfer_wire.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace kalvento::transfer {

enum class TransferState {
    Preparing,  // outgoing: the files are being read and hashed
    Offered,    // outgoing: waiting for the receiver's answer
    Asking,     // incoming: waiting for the user's answer
    Connecting, // accepted, the connection being made
    Running,
    Paused,  // by the user; resume() goes on
    Waiting, // cut (a side gone or the connection lost): goes on when the other is back
    Done,
    Declined,
    Cancelled,
    Failed,
};
// "preparing", "offered", ... as the trace and the tools name it.
const char* stateName(TransferState state);
bool isFinished(TransferState state); // Done, Declined, Cancelled, Failed

struct TransferInfo {
    TransferId id{};
    bool outgoing = true;
    QString computer; // the other side
    QString name;     // the first file's or folder's name
    int files = 0;
    quint64 totalBytes = 0;
    quint64 doneBytes = 0;     // verified and written (incoming) or acknowledged (outgoing)
    double bytesPerSecond = 0; // over the last few seconds; 0 when not running
    QString currentFile;       // relative path of the file in progress
    quint64 currentFileBytes = 0;
    quint64 currentFileSize = 0;
    TransferState state = TransferState::Preparing;
    // Paused by the other side, which alone can resume it.
    bool pausedByOther = false;
    QString error;  // why it failed, declined or was cancelled
    QString folder; // incoming: the save folder
    // Incoming: where the first file went, once it is there. Outgoing: the first path the
    // user gave.
    QString firstPath;
    QDateTime started;
    // Seconds left at the current rate; -1 when not known.
    qint64 secondsLeft() const;
};

} // namespace kalvento::transfer

Q_DECLARE_METATYPE(kalvento::transfer::TransferInfo)
