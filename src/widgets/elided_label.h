#pragma once
// A one-line label that, narrower than its text, shows the text cut with "..." where the
// elide mode says; text() is always the whole. Its text is plain: never markup. It can be
// made as narrow as a few characters, so that a row of them fits a narrow window.

#include <QLabel>

namespace kalvento::widgets {

class ElidedLabel : public QLabel {
public:
    explicit ElidedLabel(QWidget* parent, Qt::TextElideMode elide = Qt::ElideRight);

    QSize minimumSizeHint() const override;
    // The text and how many characters at its end are never cut ("report (3 files, 2 MB)":
    // the count and the size stay, the name is cut).
    void setText(const QString& text, qsizetype keptEnd);
    void setText(const QString& text) { setText(text, 0); }
    // What the label shows now: the text, or the text cut to its width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Qt::TextElideMode m_elide;
    qsizetype m_keptEnd = 0;
};

} // namespace kalvento::widgets
