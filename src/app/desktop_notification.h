#pragma once
// The desktop's notification of a new message, through the freedesktop notification
// service on the session bus (org.freedesktop.Notifications). One notification stands for
// a stream of messages: each new message replaces the text of the one still shown. A click
// on it (its default action) asks for the window. Without a session bus or a service
// nothing happens, and nothing is reported: the other alerts still run.

#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace kalvento::app {

class DesktopNotification : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotification(QObject* parent = nullptr);
    ~DesktopNotification() override;

    // Shows (or updates) the notification: the sender as its summary, the first line of
    // text as its body.
    void show(const QString& sender, const QString& text);
    // Takes the notification away, if one is shown.
    void close();

    // The id the service gave the notification shown; 0 when none is.
    uint id() const { return m_id; }

    // The body as the service reads it. Peer text is data: where the service reads markup,
    // "<", ">", "&" and quotes are written as entities so they show as typed. Control
    // characters become spaces, and the text is cut to its first line and to 300
    // characters.
    static QString bodyText(const QString& text, bool serviceReadsMarkup);

signals:
    // The user clicked the notification.
    void activated();

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);
    void onActivationToken(uint id, const QString& token);

private:
    void send();
    bool connectOnce();

    uint m_id = 0;
    bool m_connected = false;
    bool m_callPending = false;    // a Notify call waits for its id
    bool m_sendAgain = false;      // a newer text came meanwhile
    bool m_closeWhenShown = false; // closed meanwhile: close it once its id is known
    QString m_summary;
    QString m_body;
    // Whether the service reads markup in the body; until it says, taken as yes (the
    // common services do), so that nothing a peer typed is ever read as markup.
    std::optional<bool> m_markup;
};

} // namespace kalvento::app
