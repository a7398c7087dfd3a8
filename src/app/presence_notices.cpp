#include "app/presence_notices.h"

#include "app/chat_view.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"
#include "platform/text_codec.h"
#include "settings/settings_store.h"

#include <variant>

namespace kalvento::app {

using network::PeerPresence;

PresenceNotices::PresenceNotices(messaging::ChatNode& node, TChatView& chat,
                                 const settings::Settings& settings,
                                 std::chrono::milliseconds burst, QObject* parent)
    : QObject(parent), m_node(node), m_chat(chat), m_settings(settings) {
    m_burst.setSingleShot(true);
    m_burst.setInterval(burst);
    connect(&m_burst, &QTimer::timeout, this, &PresenceNotices::burstOver);
    connect(&m_node, &messaging::ChatNode::chatEvent, this, &PresenceNotices::chatEvent);
}

void PresenceNotices::chatEvent(const messaging::ChatEvent& event) {
    if (std::holds_alternative<messaging::Greeted>(event)) {
        // The answers to the greeting are on their way.
        if (!m_burst.isActive())
            m_burstNames.clear();
        m_burst.start();
    } else if (const auto* add = std::get_if<messaging::PeerAdded>(&event)) {
        added(add->entry, add->index);
    } else if (const auto* change = std::get_if<messaging::PeerChanged>(&event)) {
        // A name announced later is the name it goes by.
        if (auto known = m_known.find(change->entry.computerName.toCaseFolded());
            known != m_known.end())
            known->name = shownName(change->entry.computerName);
    } else if (const auto* removed = std::get_if<messaging::PeerRemoved>(&event)) {
        left(removed->computerName);
    } else if (const auto* presence = std::get_if<messaging::PresenceChanged>(&event)) {
        presenceChanged(*presence);
    }
}

void PresenceNotices::added(const network::PeerEntry& entry, int index) {
    // This copy's own entry is no news.
    if (entry.computerName.compare(m_node.computerName(), Qt::CaseInsensitive) == 0)
        return;
    const QString key = entry.computerName.toCaseFolded();
    const QString name = m_node.peers().distinctName(index);
    m_known.insert(key, Known{entry.presence, name});
    if (m_burst.isActive()) {
        m_burstNames.append(key);
        return;
    }
    notice(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M087),
                               {platform::isolatedText(name.simplified())}));
}

void PresenceNotices::left(const QString& computer) {
    const QString key = computer.toCaseFolded();
    const auto known = m_known.find(key);
    if (known == m_known.end())
        return; // told already (gone, then removed), or never listed
    const QString name = known->name;
    m_known.erase(known);
    // Came and went within the burst: not worth a word.
    if (m_burstNames.removeAll(key) > 0 && m_burst.isActive())
        return;
    notice(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M089),
                               {platform::isolatedText(name.simplified())}));
}

void PresenceNotices::presenceChanged(const messaging::PresenceChanged& change) {
    if (change.state == PeerPresence::Gone) {
        left(change.computer);
        return;
    }
    const QString key = change.computer.toCaseFolded();
    auto known = m_known.find(key);
    if (known == m_known.end()) {
        // A friend kept in the list after it was gone, heard again.
        if (change.state == PeerPresence::Absent ||
            m_node.peers().indexOfComputer(change.computer) < 0)
            return;
        known = m_known.insert(key, Known{change.state, shownName(change.computer)});
        notice(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M087),
                                   {platform::isolatedText(known->name.simplified())}));
        return;
    }
    const PeerPresence before = known->presence;
    known->presence = change.state;
    if (before == change.state || (m_burst.isActive() && m_burstNames.contains(key)))
        return;
    lang::MessageId id = lang::MessageId::M092;
    switch (change.state) {
    case PeerPresence::Away:
        id = lang::MessageId::M090;
        break;
    case PeerPresence::Busy:
        id = lang::MessageId::M091;
        break;
    case PeerPresence::Available:
        id = lang::MessageId::M092;
        break;
    case PeerPresence::Absent:
    case PeerPresence::Gone:
        return; // the list greys it with the time it was last seen
    }
    notice(lang::FormatMessage(lang::GetMessageText(id),
                               {platform::isolatedText(known->name.simplified())}));
}

void PresenceNotices::burstOver() {
    const qsizetype count = m_burstNames.size();
    if (count == 1) {
        notice(lang::FormatMessage(
            lang::GetMessageText(lang::MessageId::M087),
            {platform::isolatedText(m_known.value(m_burstNames.constFirst()).name.simplified())}));
    } else if (count > 1) {
        notice(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M088),
                                   {QString::number(count)}));
    }
    m_burstNames.clear();
}

void PresenceNotices::notice(const QString& text) {
    if (m_settings.joinLeaveNotices)
        m_chat.appendComment(text);
}

QString PresenceNotices::shownName(const QString& computer) const {
    const int index = m_node.peers().indexOfComputer(computer);
    return index < 0 ? computer : m_node.peers().distinctName(index);
}

} // namespace kalvento::app
