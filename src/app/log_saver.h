#pragma once
// Writes the run's chat lines to the log while the program runs, a little after they come,
// so that a copy that is killed, or a computer that loses its power, loses the last few
// seconds of the chat instead of the whole run. The close still writes whatever is left.
// A write copies the old log on the window's thread, so the wait grows with what a write
// costs: a long log on a slow disk is written less often.

#include "app/chat_view.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

namespace kalvento::app {

class LogSaver : public QObject {
    Q_OBJECT
public:
    struct Hooks {
        std::function<QString()> path; // the log file now ("Save messages path")
        std::function<bool()> saveOn;  // "Save messages log"
        std::function<void(const QString&)> reportError;
        // After each write: the chat shown until now is kept.
        std::function<void()> written;
    };
    // The shortest and the longest wait between new lines and their write, and the wait
    // before a failed write is tried again.
    static constexpr std::chrono::milliseconds kDelay{10000};
    static constexpr std::chrono::milliseconds kMaxDelay{300000};
    static constexpr std::chrono::milliseconds kRetryDelay{60000};
    // Each write waits at least this many times as long as the last write took.
    static constexpr int kCostFactor = 50;

    LogSaver(TChatView& chat, Hooks hooks, QObject* parent = nullptr);

    // Tests wait less; the ratios stay.
    void setDelay(std::chrono::milliseconds delay);
    bool pending() const { return m_timer.isActive(); }

    void saveNow();

private:
    void linesAdded();

    TChatView& m_chat;
    Hooks m_hooks;
    QTimer m_timer;
    std::chrono::milliseconds m_delay = kDelay;
    std::chrono::milliseconds m_nextDelay = kDelay;
    QString m_lastError; // reported once until a write succeeds or the reason changes
};

} // namespace kalvento::app
