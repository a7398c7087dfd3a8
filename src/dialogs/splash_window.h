#pragma once
// The splash window: a borderless picture with the version, on top of everything, shown
// while the main window is being created and for about a second at least (the creation
// alone is too quick to see it); a click puts it away sooner.

#include <QDate>
#include <QImage>
#include <QWidget>

class QLabel;

namespace kalvento::dialogs {

class TOdota : public QWidget {
    Q_OBJECT
public:
    // picture: the splash picture; versionTop: where on it the version line goes.
    TOdota(const QImage& picture, int versionTop, QDate today, QWidget* parent = nullptr);

    // Fills and sizes the window, centres it, shows it and paints it before returning (while
    // the rest of the start runs, the event loop does not).
    void FormShow();

    QLabel* Kuva() const { return m_kuva; }
    QLabel* Version() const { return m_version; }
    QLabel* CopyRight() const { return m_copyRight; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QDate m_today;
    QLabel* m_kuva = nullptr;
    QLabel* m_version = nullptr;
    QLabel* m_copyRight = nullptr;
};

} // namespace kalvento::dialogs
