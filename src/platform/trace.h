#pragma once
// The trace that KALVENTO_TRACE turns on: one line on stderr per event, "TRACE <text>", read
// by the whole-program tests. Text from peers goes into it, so every line is escaped first:
// a line feed in a peer's text must not start a line of its own.

#include <QString>
#include <QStringView>

namespace kalvento::platform {

// The text with a backslash doubled and every control character (C0, DEL, C1, the line and
// paragraph separators) written as "\n", "\r", "\t" or "\x{HH}"; everything else as it is.
QString escapeControls(QStringView text);

// True when KALVENTO_TRACE is set to anything but "" or "0" (read once).
bool traceEnabled();

// Writes "TRACE " and the escaped text as one line on stderr, when the trace is on.
void trace(QStringView text);

} // namespace kalvento::platform
