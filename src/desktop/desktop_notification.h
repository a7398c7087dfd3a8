#pragma once
// The desktop's notification of a new message, through the freedesktop notification
// service on the session bus (org.freedesktop.Notifications). Each sender has a notification
// of its own, so that nobody's message hides another's; a stream of messages from one sender
// replaces the text of that sender's notification. A click on any (its default action) asks
// for the window. Without a session bus or a service nothing happens, and nothing is
// reported: the other alerts still run.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <optional>

namespace kalvento::desktop {

class DesktopNotification : public QObject {
    Q_OBJECT
public:
    // Senders with a notification of their own at most; a message from one more takes over
    // the notification updated longest ago.
    static constexpr int kMaxShown = 5;

    explicit DesktopNotification(QObject* parent = nullptr);
    ~DesktopNotification() override;

    // Shows (or updates) the sender's notification: the sender as its summary, the first line
    // of text as its body.
    void show(const QString& sender, const QString& text);
    // Takes every notification away.
    void close();

    // The id the service gave the sender's notification; 0 when none is shown.
    uint id(const QString& sender) const;
    // The id of the notification shown or updated last; 0 when none is.
    uint id() const;

    // The body as the service reads it. Peer text is data: where the service reads markup,
    // "<", ">", "&" and quotes are written as entities so they show as typed. Control
    // characters become spaces, the text is cut to its first line and to 300 characters,
    // and it is isolated so that its direction controls reorder nothing around it.
    static QString bodyText(const QString& text, bool serviceReadsMarkup);
    // The summary: the sender's name, isolated and escaped likewise.
    static QString summaryText(const QString& sender, bool serviceReadsMarkup);

signals:
    // The user clicked a notification.
    void activated();

private slots:
    void onActionInvoked(uint id, const QString& action);
    void onNotificationClosed(uint id, uint reason);
    void onActivationToken(uint id, const QString& token);

private:
    struct Shown {
        QString sender;
        uint id = 0;
        bool callPending = false;    // a Notify call waits for its id
        bool sendAgain = false;      // a newer text came meanwhile
        bool closeWhenShown = false; // closed meanwhile: close it once its id is known
        QString body;
    };
    Shown* find(const QString& sender);
    const Shown* find(const QString& sender) const;
    Shown* findId(uint id);
    void send(const QString& sender);
    void closeOne(Shown& shown);
    bool connectOnce();

    bool m_connected = false;
    // Most recently updated last.
    QList<Shown> m_shown;
    // Whether the service reads markup in the body; until it says, taken as yes (the
    // common services do), so that nothing a peer typed is ever read as markup.
    std::optional<bool> m_markup;
};

} // namespace kalvento::desktop
