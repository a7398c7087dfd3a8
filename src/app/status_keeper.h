#pragma once
// The user's status: Available, Away or Busy with a short text, chosen in the tray menu's
// "Status" submenu or with the button above the list of computers, kept in the settings and
// told to the others by the chat's signs of life. While the user is away from the computer
// (idle beyond the chosen minutes, or the screen locked: platform::IdleMonitor) the status
// is Away by itself, and it goes back to the chosen one on the user's return. The tray's
// tooltip names the status.
//
// Beside it, how a status is shown wherever the window shows one: its word, its coloured
// dot and the tooltip "Away: at lunch".

#include "network/peer_list.h"

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QRect>
#include <QString>

#include <functional>
#include <memory>

class QAction;
class QActionGroup;
class QMenu;
class QToolButton;
class QWidget;

namespace kalvento::dialogs {
class UserDialogs;
}
namespace kalvento::messaging {
class ChatNode;
}
namespace kalvento::platform {
class IdleMonitor;
class IdleSource;
} // namespace kalvento::platform
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

struct MainLayout;
class TrayPresence;

// "Available", "Away", "Busy" (translated); empty for Absent and Gone.
QString statusWord(network::PeerPresence status);
// The dot's colour: green, amber, red; grey for the absent.
QColor statusColor(network::PeerPresence status);
// A round dot of the status's colour, size pixels across.
QIcon statusIcon(network::PeerPresence status, int size = 12);
// "Away: at lunch", "Busy", "Available"; empty where statusWord is. Plain text: the text is
// the peer's.
QString statusToolTip(network::PeerPresence status, const QString& text);
// text cut to at most maxBytes bytes of UTF-8, between two characters as the user sees
// them (a letter and its accents stay together).
QString cutStatusText(const QString& text, int maxBytes);

class StatusKeeper : public QObject {
    Q_OBJECT
public:
    struct Parts {
        QWidget& window;
        settings::Settings& settings;
        messaging::ChatNode& node;
        TrayPresence& tray;
        dialogs::UserDialogs& dialogs;
        QString settingsPath;
        std::function<void(const QString&)> reportError;
    };
    // source tells when the user is away from the computer; the keeper owns it.
    StatusKeeper(Parts parts, std::unique_ptr<platform::IdleSource> source);
    ~StatusKeeper() override;

    // The settings' status and text go out and show; the idle time is followed as they say.
    // After the settings were read and the node got its key; again after the options.
    void apply();
    // The user chose a status (the menu, the button): it goes out, shows and is kept.
    void choose(network::PeerPresence status);
    // The user gave a text: cut to what a sign of life carries, with a word to the user
    // when it was; it goes out, shows and is kept.
    void setStatusText(const QString& text);
    // The dialog that asks for the text.
    void askStatusText();
    // Texts in the current language (the button and the tray's tip).
    void retranslate();
    // The button's place: right-aligned on the line of the message's label, under the
    // list, never left of leftmost (where that label's text ends). The list's own label
    // fills its line in some languages.
    void layOut(const MainLayout& layout, int leftmost);

    // What the others are told now: the chosen status, or Away while the user is away.
    network::PeerPresence shown() const;
    bool awayByItself() const;
    QToolButton* button() const { return m_button; }
    QMenu* menu() const { return m_menu; }
    QString trayToolTip() const;
    // The monitor, for the window's own input (a key, a click: the user is back).
    platform::IdleMonitor& idleMonitor() const { return *m_monitor; }
    platform::IdleSource& idleSource() const { return *m_source; }

private:
    void createMenu();
    void publish();
    void place();
    void save();

    Parts m_parts;
    std::unique_ptr<platform::IdleSource> m_source;
    std::unique_ptr<platform::IdleMonitor> m_monitor;
    QMenu* m_menu = nullptr;
    QActionGroup* m_group = nullptr;
    QAction* m_available = nullptr;
    QAction* m_away = nullptr;
    QAction* m_busy = nullptr;
    QAction* m_text = nullptr;
    QToolButton* m_button = nullptr;
    QRect m_place; // where the button may go: its width follows the status's word
};

} // namespace kalvento::app
