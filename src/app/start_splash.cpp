#include "app/start_splash.h"

#include "dialogs/splash_window.h"
#include "messaging/chat_node.h"
#include "widgets/artwork.h"

#include <QTimer>

#include <utility>

namespace kalvento::app {

StartSplash::StartSplash(std::chrono::milliseconds minimum,
                         std::function<void(const QString&)> trace, QObject* parent)
    : QObject(parent), m_minimum(minimum), m_trace(std::move(trace)) {}

StartSplash::~StartSplash() {
    close();
}

void StartSplash::show(const QDate& today, messaging::ChatNode& node) {
    m_clock.start();
    m_splash = new dialogs::TOdota(widgets::makeSplashPicture(), widgets::kSplashVersionTop, today);
    // The splash waits for the window system to show it. Datagrams that arrive meanwhile
    // wait too, as they do for the rest of the creation, so that nothing is shown before
    // the chat and the list are ready.
    node.pauseReception();
    m_splash->FormShow();
    node.resumeReception();
    m_trace(QStringLiteral("splash shown"));
}

void StartSplash::closeOnceSeen() {
    if (m_splash == nullptr)
        return;
    // The creation takes a few tens of milliseconds: the splash stays long enough to be seen.
    const auto shown = std::chrono::milliseconds(m_clock.elapsed());
    if (shown >= m_minimum)
        close();
    else
        QTimer::singleShot(m_minimum - shown, this, &StartSplash::close);
}

void StartSplash::close() {
    if (m_splash == nullptr)
        return;
    m_splash->close();
    delete m_splash;
    m_splash = nullptr;
    m_trace(QStringLiteral("splash closed"));
}

} // namespace kalvento::app
