#pragma once
// Stops the text cursor's blinking after a while without input, as desktops do (GNOME after
// ten seconds): a blinking cursor wakes the program twice a second for as long as a window
// with a text field is active, though nobody types. The cursor then stands still, shown;
// the next key or click makes it blink again. The flash time is the application's, so it
// holds for every text field of the program.

#include <QObject>
#include <QTimer>

namespace kalvento::widgets {

class CursorBlinkTimeout : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultTimeout = 10000; // milliseconds

    // Watches the input of the whole application from now on; puts the flash time back
    // when it goes.
    explicit CursorBlinkTimeout(int timeout = kDefaultTimeout, QObject* parent = nullptr);
    ~CursorBlinkTimeout() override;

    bool blinking() const { return !m_stopped; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void stop();
    void resume();

    QTimer m_timer;
    int m_flashTime = 0; // the desktop's, while stopped
    bool m_stopped = false;
};

} // namespace kalvento::widgets
