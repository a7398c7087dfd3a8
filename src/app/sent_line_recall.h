#pragma once
// Up and Down in the message box: the lines sent before, newest first, as a shell recalls
// its commands. Up recalls only into an empty box or over a line it recalled itself, so
// that nothing the user is writing is replaced; typing leaves the recalled lines.

#include <QObject>
#include <QStringList>

class QLineEdit;

namespace kalvento::app {

class SentLineRecall : public QObject {
    Q_OBJECT
public:
    // How many lines are kept.
    static constexpr qsizetype kDepth = 100;

    explicit SentLineRecall(QLineEdit& box);

    // A line went out: the newest to recall (a repeat of the last is kept once).
    void remember(const QString& line);
    const QStringList& lines() const { return m_lines; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // step -1: an older line, +1: a newer one. False when the key is the box's own.
    bool recall(int step);
    void textChanged(const QString& text);

    QLineEdit& m_box;
    // Oldest first; m_recalled indexes the one shown (m_lines.size(): none).
    QStringList m_lines;
    qsizetype m_recalled = 0;
};

} // namespace kalvento::app
