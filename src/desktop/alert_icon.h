#pragma once
// The second notification icon: it appears when a message arrives while the user is not
// looking and flashes between two pictures until it is clicked or the window comes back.

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

namespace kalvento::desktop {

class AlertIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kFlashInterval = 500; // ms per picture
    static constexpr int kToolTipLimit = 63;

    // picture1 and picture2 are the two 16x16 pictures it alternates between.
    AlertIcon(const QIcon& picture1, const QIcon& picture2, QObject* owner = nullptr);
    ~AlertIcon() override;

    // Shows the icon with the first picture and starts flashing. While the icon is already
    // shown nothing changes: it keeps its picture and keeps flashing.
    void MakeIcon();
    // One flash step: the other picture.
    void IkoniTimerTimer();
    // Stops flashing and removes the icon.
    void DeleteIcon();

    // 1 or 2: the picture shown last. Starts at 1 and is never reset, so the first flash
    // of a new alert may show either picture.
    int FlashPhase() const { return m_flashPhase; }
    bool isShown() const { return m_shown; }
    bool isFlashing() const { return m_ikoniTimer.isActive(); }
    // The picture on show now: 1 or 2.
    int currentPicture() const { return m_currentPicture; }
    QString toolTip() const { return m_trayIcon->toolTip(); }
    QTimer& IkoniTimer() { return m_ikoniTimer; }

    // Mouse on the icon. A click (a StatusNotifierItem activation, or a left click or a
    // double click under XEmbed) removes the icon and asks for the window back; a right
    // click only removes it.
    void Activate(QSystemTrayIcon::ActivationReason reason);

    QSystemTrayIcon* systemTrayIcon() const { return m_trayIcon; }

signals:
    void restoreRequested();

private:
    void show(int picture);

    QIcon m_pictures[2];
    QSystemTrayIcon* m_trayIcon;
    QTimer m_ikoniTimer;
    int m_flashPhase = 1;
    int m_currentPicture = 1;
    bool m_shown = false;
};

// The alert icon's tip: message M004 of the current language, at most 63 characters.
QString alertToolTip();

} // namespace kalvento::desktop
