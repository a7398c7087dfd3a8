#pragma once
// Who came and went, written in the chat like comments so that they do not mix with lines:
// "Anna is here" when a computer is listed, "Bertil left" when it says goodbye or is gone,
// "Cecilia is away", "is busy", "is back" when its status changes. The answers to this
// copy's own greeting come as a burst: they are told as one "5 computers are here" when it
// is over. "Show join and leave notices" off, nothing is written.

#include "messaging/chat_events.h"
#include "network/peer_list.h"

#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>

namespace kalvento::messaging {
class ChatNode;
}
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

class TChatView;

class PresenceNotices : public QObject {
    Q_OBJECT
public:
    // How long after the greeting went out the computers that answer it are counted as one.
    static constexpr std::chrono::milliseconds kGreetingBurst{3000};

    PresenceNotices(messaging::ChatNode& node, TChatView& chat, const settings::Settings& settings,
                    std::chrono::milliseconds burst = kGreetingBurst, QObject* parent = nullptr);

private:
    void chatEvent(const messaging::ChatEvent& event);
    void added(const network::PeerEntry& entry, int index);
    void left(const QString& computer);
    void presenceChanged(const messaging::PresenceChanged& change);
    void burstOver();
    void notice(const QString& text);
    QString shownName(const QString& computer) const;

    messaging::ChatNode& m_node;
    TChatView& m_chat;
    const settings::Settings& m_settings;
    QTimer m_burst;
    QStringList m_burstNames; // case-folded computer names that came in the burst
    // What was last told of each listed computer (case-folded name): its presence and the
    // name it was shown by, for the notice when it goes.
    struct Known {
        network::PeerPresence presence = network::PeerPresence::Available;
        QString name;
    };
    QHash<QString, Known> m_known;
};

} // namespace kalvento::app
