#pragma once
// What happens when a chat message arrives while the user is not looking: a sound, the
// flashing alert icon, and bringing the window to the front with a message box, each as
// the settings ask.

#include "desktop/sound_player.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QMessageBox;
class QWidget;

namespace kalvento::settings {
struct Settings;
}

namespace kalvento::desktop {

// The "Messages" settings the alert reads.
struct AlertSettings {
    bool playSound = false;
    QString soundName;
    int soundIndex = 0;
    bool flashingIcon = true;
    bool bringOnTop = false;
    // With bringOnTop, the box that says a message came ("You have got a new message!");
    // an alert for something that shows its own window (an offer of files) has none.
    bool messageBox = true;

    static AlertSettings from(const settings::Settings& settings);
};

struct AlertConditions {
    bool trayIconActive = false;
    bool windowMinimized = false;
    bool applicationActive = true;
    bool showAlert = true; // "Messages"/"Show alert"
};

// A received chat message raises the alert when the user cannot be looking at the chat:
// the window is in the tray or minimized, or another program has the focus.
bool alertDue(const AlertConditions& conditions);

class NewMessageAlert : public QObject {
    Q_OBJECT
public:
    // How the alert reaches the rest of the program; a hook left empty is skipped.
    struct Hooks {
        std::function<void(const desktop::SoundChoice&)> playSound;
        std::function<void()> makeIcon;        // the alert icon's MakeIcon
        std::function<bool()> trayIconActive;  // the window is hidden to the tray
        std::function<void()> restoreFromTray; // TrayIconDblClick
        std::function<void()> restoreAndRaise; // out of the minimized state, to the front
    };

    explicit NewMessageAlert(Hooks hooks, QObject* owner = nullptr);
    ~NewMessageAlert() override;

    // Runs the alert once: sound, flashing icon, bring on top.
    void run(const AlertSettings& settings);

    // The window the message box belongs to and is centred on.
    void setBoxParent(QWidget* parent);

    // The "You have got a new message!" box. Modal to the user, but shown without a nested
    // event loop and reused: messages that arrive while it is open do not stack up further
    // boxes, they bring the open one to the front again.
    QMessageBox* messageBox() const;
    bool messageBoxOpen() const;

signals:
    void messageBoxShown();

private:
    void showMessageBox();

    Hooks m_hooks;
    QPointer<QWidget> m_boxParent;
    QPointer<QMessageBox> m_box;
};

} // namespace kalvento::desktop
