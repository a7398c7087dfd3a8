#pragma once
// What the user has written and not sent: the message box and the big message windows
// whose text was never sent or changed since. It is kept beside the settings (owner only,
// written atomically) while it is written and at every end, and given back at the next
// start, so that an end that cannot ask (the desktop session going away, SIGTERM, a kill)
// loses nothing, or at most the last seconds of typing.

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QTimer;

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

// Keeps the text while it is being written, so that a copy that is killed without an end
// (SIGKILL, a crash, a power cut) loses at most the last seconds of it. A change asks for
// a write at most kKeepDelayMs later, however fast the typing; a write that fails is
// reported once, until one works again.
class UnsentTextKeeper : public QObject {
public:
    static constexpr int kKeepDelayMs = 2000;

    UnsentTextKeeper(QString path, std::function<UnsentText()> collect,
                     std::function<void(const QString& error)> report, QObject* parent,
                     int delayMs = kKeepDelayMs);

    // The text changed somewhere: it is written soon.
    void changed();
    // Writes now (at an end), without waiting; returns the error, empty when it worked.
    QString keepNow();
    bool isWaiting() const;

private:
    void keepSoon();

    QString m_path;
    std::function<UnsentText()> m_collect;
    std::function<void(const QString&)> m_report;
    QTimer* m_timer = nullptr;
    QString m_reported; // the failure already told, so that it is not told every write
};

} // namespace kalvento::app
