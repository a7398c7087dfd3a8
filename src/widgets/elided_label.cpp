#include "widgets/elided_label.h"

#include <QPainter>
#include <QStyle>

#include <algorithm>

namespace kalvento::widgets {

namespace {
constexpr int kMinimumChars = 4;
}

ElidedLabel::ElidedLabel(QWidget* parent, Qt::TextElideMode elide)
    : QLabel(parent), m_elide(elide) {
    setTextFormat(Qt::PlainText);
}

QSize ElidedLabel::minimumSizeHint() const {
    return {fontMetrics().averageCharWidth() * kMinimumChars, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::setText(const QString& text, qsizetype keptEnd) {
    m_keptEnd = std::clamp<qsizetype>(keptEnd, 0, text.size());
    QLabel::setText(text);
}

QString ElidedLabel::shownText() const {
    const QString whole = text();
    const int width = contentsRect().width();
    const QFontMetrics metrics = fontMetrics();
    // Set by QLabel's own setText, the text may be shorter than the end once kept.
    const qsizetype kept = std::min(m_keptEnd, whole.size());
    if (kept == 0 || metrics.horizontalAdvance(whole) <= width)
        return metrics.elidedText(whole, m_elide, width);
    const QString end = whole.right(kept);
    return metrics.elidedText(whole.left(whole.size() - kept), m_elide,
                              std::max(0, width - metrics.horizontalAdvance(end))) +
           end;
}

void ElidedLabel::paintEvent(QPaintEvent* event) {
    const QString shown = shownText();
    if (shown == text()) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    style()->drawItemText(&painter, contentsRect(), int(alignment()), palette(), isEnabled(), shown,
                          foregroundRole());
}

} // namespace kalvento::widgets
