#include "widgets/cursor_blink_timeout.h"

#include <QApplication>
#include <QEvent>

namespace kalvento::widgets {

CursorBlinkTimeout::CursorBlinkTimeout(int timeout, QObject* parent) : QObject(parent) {
    m_timer.setSingleShot(true);
    m_timer.setInterval(timeout);
    connect(&m_timer, &QTimer::timeout, this, &CursorBlinkTimeout::stop);
    qApp->installEventFilter(this);
    m_timer.start();
}

CursorBlinkTimeout::~CursorBlinkTimeout() {
    resume();
}

bool CursorBlinkTimeout::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::InputMethod:
    case QEvent::FocusIn:
    case QEvent::WindowActivate:
        resume();
        m_timer.start();
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void CursorBlinkTimeout::stop() {
    if (m_stopped)
        return;
    m_flashTime = QApplication::cursorFlashTime();
    if (m_flashTime <= 0)
        return; // the desktop blinks not at all
    m_stopped = true;
    QApplication::setCursorFlashTime(0);
}

void CursorBlinkTimeout::resume() {
    if (!m_stopped)
        return;
    m_stopped = false;
    QApplication::setCursorFlashTime(m_flashTime);
}

} // namespace kalvento::widgets
