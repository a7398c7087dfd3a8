#pragma once
// The splash of a start: shown while the window is created, and kept up until it has been
// seen for a moment, while the window, ready, comes up behind it.

#include <QDate>
#include <QElapsedTimer>
#include <QObject>

#include <chrono>
#include <functional>

namespace kalvento::dialogs {
class TOdota;
}
namespace kalvento::messaging {
class ChatNode;
}

namespace kalvento::app {

class StartSplash : public QObject {
    Q_OBJECT
public:
    // trace is told "splash shown" and "splash closed".
    StartSplash(std::chrono::milliseconds minimum, std::function<void(const QString&)> trace,
                QObject* parent);
    ~StartSplash() override;

    // Shows the splash and waits for the window system to show it; what node receives
    // meanwhile waits too.
    void show(const QDate& today, messaging::ChatNode& node);
    // Closes the splash once it has been up for the minimum (at once if it has).
    void closeOnceSeen();
    void close();
    bool isShown() const { return m_splash != nullptr; }

private:
    std::chrono::milliseconds m_minimum;
    std::function<void(const QString&)> m_trace;
    dialogs::TOdota* m_splash = nullptr;
    QElapsedTimer m_clock;
};

} // namespace kalvento::app
