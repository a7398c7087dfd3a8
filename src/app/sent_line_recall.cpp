#include "app/sent_line_recall.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace kalvento::app {

SentLineRecall::SentLineRecall(QLineEdit& box) : QObject(&box), m_box(box) {
    box.installEventFilter(this);
    connect(&box, &QLineEdit::textChanged, this, &SentLineRecall::textChanged);
}

void SentLineRecall::remember(const QString& line) {
    if (m_lines.isEmpty() || m_lines.last() != line)
        m_lines.append(line);
    if (m_lines.size() > kDepth)
        m_lines.removeFirst();
    m_recalled = m_lines.size();
}

void SentLineRecall::textChanged(const QString& text) {
    // Typing leaves the lines sent before; Up starts from the last again.
    if (m_recalled < m_lines.size() && text != m_lines[m_recalled])
        m_recalled = m_lines.size();
}

bool SentLineRecall::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &m_box && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier &&
            (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) &&
            recall(key->key() == Qt::Key_Up ? -1 : 1))
            return true;
    }
    return QObject::eventFilter(watched, event);
}

bool SentLineRecall::recall(int step) {
    if (m_lines.isEmpty())
        return false;
    const bool showingRecalled = m_recalled < m_lines.size() && m_box.text() == m_lines[m_recalled];
    if (!showingRecalled && !m_box.text().isEmpty())
        return false;
    const qsizetype next = m_recalled + step;
    if (next < 0)
        return true; // the oldest stays
    if (next >= m_lines.size()) {
        if (showingRecalled) {
            m_recalled = m_lines.size();
            m_box.clear();
        }
        return true;
    }
    m_recalled = next;
    m_box.setText(m_lines[next]);
    return true;
}

} // namespace kalvento::app
