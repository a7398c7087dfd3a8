#pragma once
// What the user had written and not sent when the program was ended: the message box and
// the big message windows whose text was never sent or changed since. It is kept beside
// the settings (owner only, written atomically) and given back at the next start, so that
// an end that cannot ask (the desktop session going away, SIGTERM) loses nothing.

#include <QString>
#include <QStringList>

namespace kalvento::app {

inline constexpr char kUnsentTextFile[] = "unsent.json";

struct UnsentText {
    QString message;         // the message box
    QStringList bigMessages; // one text per big message window, in the order they were opened

    bool isEmpty() const { return message.isEmpty() && bigMessages.isEmpty(); }
    bool operator==(const UnsentText&) const = default;
};

// Keeps text at path; nothing to keep removes what an earlier end kept, so that it does
// not come back. Returns the error, empty when it worked.
QString keepUnsentText(const QString& path, const UnsentText& text);

struct TakenUnsentText {
    UnsentText text;
    QString error; // the file could not be read or removed; what could be read is in text
};

// Reads what an earlier end kept and removes the file, so that it is given back once. A
// file that cannot be read stays where it is, with the reason.
TakenUnsentText takeUnsentText(const QString& path);

} // namespace kalvento::app
