#include "app/log_saver.h"

#include <QElapsedTimer>

#include <algorithm>

namespace kalvento::app {

LogSaver::LogSaver(TChatView& chat, Hooks hooks, QObject* parent)
    : QObject(parent), m_chat(chat), m_hooks(std::move(hooks)) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LogSaver::saveNow);
    connect(&m_chat, &TChatView::linesToSave, this, &LogSaver::linesAdded);
}

void LogSaver::setDelay(std::chrono::milliseconds delay) {
    m_delay = delay;
    m_nextDelay = delay;
}

void LogSaver::linesAdded() {
    // The first new line starts the wait; the ones after it go with it, so a busy chat is
    // written every so often, not put off for as long as it lasts.
    if (!m_timer.isActive() && m_hooks.saveOn())
        m_timer.start(m_nextDelay);
}

void LogSaver::saveNow() {
    m_timer.stop();
    if (!m_hooks.saveOn() || !m_chat.hasLinesToSave())
        return;
    QElapsedTimer took;
    took.start();
    const platform::Result written = m_chat.writeBackLog(m_hooks.path(), true);
    const std::chrono::milliseconds cost(took.elapsed());
    if (written) {
        m_lastError.clear();
        if (m_hooks.written)
            m_hooks.written();
        const std::chrono::milliseconds longest = m_delay * (kMaxDelay / kDelay);
        m_nextDelay = std::clamp(cost * kCostFactor, m_delay, longest);
        return;
    }
    // Said once: a disk that stays full must not raise a box every minute. The close says
    // it again if it is still so.
    if (written.error != m_lastError)
        m_hooks.reportError(written.error);
    m_lastError = written.error;
    m_timer.start(std::max(m_nextDelay, m_delay * (kRetryDelay / kDelay)));
}

} // namespace kalvento::app
