#include "dialogs/splash_window.h"

#include "dialogs/about_box.h"
#include "update/version.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QWindow>

namespace kalvento::dialogs {

TOdota::TOdota(const QImage& picture, int versionTop, QDate today, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      m_today(today) {
    setObjectName(QStringLiteral("Odota"));
    setWindowTitle(QStringLiteral("Odota... Ladataan ohjelmaa..."));
    setCursor(Qt::BusyCursor);
    setAttribute(Qt::WA_DeleteOnClose, false);

    m_kuva = new QLabel(this);
    m_kuva->setObjectName(QStringLiteral("Kuva"));
    m_kuva->setPixmap(QPixmap::fromImage(picture));
    m_kuva->setAlignment(Qt::AlignCenter);
    m_kuva->adjustSize();

    auto textLabel = [this, &picture](const char* name, int top, int height) {
        auto* label = new QLabel(this);
        label->setObjectName(QString::fromLatin1(name));
        label->setTextFormat(Qt::PlainText);
        label->setAlignment(Qt::AlignCenter);
        label->setAttribute(Qt::WA_TranslucentBackground);
        label->setGeometry(0, top, picture.width(), height);
        return label;
    };
    m_version = textLabel("Version", versionTop, 20);
    QFont bold = m_version->font();
    bold.setPointSize(10);
    bold.setBold(true);
    m_version->setFont(bold);
    QPalette blue = m_version->palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    m_version->setPalette(blue);
    m_copyRight = textLabel("CopyRight", versionTop + 22, 18);
}

void TOdota::FormShow() {
    m_copyRight->setText(copyrightLine(m_today));
    m_version->setText(QStringLiteral("Kalvento ") + update::GetVersion() +
                       QStringLiteral(", 100% freeware!"));
    m_kuva->adjustSize();
    setFixedSize(m_kuva->size());
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    show();
    // The window system shows the window only once it has been told and has answered; the
    // main window's creation gives the event loop no chance until it ends, so wait here for
    // that (the caller holds back the network meanwhile), without taking any input.
    QElapsedTimer clock;
    clock.start();
    while (windowHandle() != nullptr && !windowHandle()->isExposed() && clock.elapsed() < 1000)
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 20);
    repaint();
}

void TOdota::mousePressEvent(QMouseEvent*) {
    hide(); // the window behind it is ready
}

} // namespace kalvento::dialogs
