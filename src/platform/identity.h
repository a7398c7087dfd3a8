#pragma once
// Who this running copy is: process, user and computer, as the terminal's identifier
// and the computer list use them.

#include <QByteArrayView>
#include <QString>

namespace kalvento::platform {

inline constexpr int kMaxComputerNameLength = 15;

quint32 processId();

// The effective user's login name; "Unknown" when it cannot be found.
QString userName();

// The host name up to its first ".", cut to 15 characters; "Unknown" when there is none.
// KALVENTO_COMPUTER_NAME, when set and not empty, replaces the host name (several copies
// on one host, each with a name of its own).
QString computerName();

// The computer name a host name gives (the rule above, without the override).
QString computerNameFromHostName(QByteArrayView hostName);

} // namespace kalvento::platform
