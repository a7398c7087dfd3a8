#include "app/window_trace.h"

#include "messaging/chat_node.h"
#include "platform/trace.h"
#include "widgets/title_button.h"

#include <QGuiApplication>
#include <QSystemTrayIcon>

#include <variant>

namespace kalvento::app {
namespace {

// A line id as the trace and the headless peer print it: 16 lowercase hex digits.
QString lineIdText(quint64 id) {
    return QString::number(id, 16).rightJustified(16, u'0');
}

// What the recipient's copy said of a line, as against what the outbox did with it.
bool isReceipt(messaging::DeliveryChanged::State state) {
    switch (state) {
    case messaging::DeliveryChanged::State::Delivered:
    case messaging::DeliveryChanged::State::Read:
    case messaging::DeliveryChanged::State::Failed:
        return true;
    case messaging::DeliveryChanged::State::Waiting:
    case messaging::DeliveryChanged::State::Sent:
    case messaging::DeliveryChanged::State::Cancelled:
    case messaging::DeliveryChanged::State::Expired:
        break;
    }
    return false;
}

} // namespace

void installWindowTrace(messaging::ChatNode& node, const widgets::TTitlebtn* titleButton,
                        QObject& context) {
    const auto trace = [](const QString& line) { platform::trace(line); };
    trace(QStringLiteral("platform %1, tray %2")
              .arg(QGuiApplication::platformName(), QSystemTrayIcon::isSystemTrayAvailable()
                                                        ? QStringLiteral("available")
                                                        : QStringLiteral("none")));
    if (const widgets::TTitlebtn* title = titleButton)
        trace(QStringLiteral("title-button right %1 top %2 size %3x%4")
                  .arg(title->RightOffset())
                  .arg(title->TopOffset())
                  .arg(title->ButtonWidth())
                  .arg(title->ButtonHeight()));
    // Connected after the window's own handler: a line is traced once it is shown.
    QObject::connect(
        &node, &messaging::ChatNode::chatEvent, &context,
        [trace](const messaging::ChatEvent& event) {
            if (const auto* added = std::get_if<messaging::PeerAdded>(&event)) {
                trace(QStringLiteral("peer+ %1 %2")
                          .arg(added->entry.computerName, added->entry.displayText));
            } else if (const auto* changed = std::get_if<messaging::PeerChanged>(&event)) {
                trace(QStringLiteral("peer~ %1 %2")
                          .arg(changed->entry.computerName, changed->entry.displayText));
            } else if (const auto* removed = std::get_if<messaging::PeerRemoved>(&event)) {
                trace(QStringLiteral("peer- ") + removed->computerName);
            } else if (const auto* received = std::get_if<messaging::LineReceived>(&event)) {
                const messaging::ReceivedLine& line = received->line;
                trace(QStringLiteral("line %1 %2: %3")
                          .arg(QLatin1String(messaging::lineKindName(line)), line.senderName,
                               line.text));
                trace(QStringLiteral("line-trust %1 %2 %3")
                          .arg(line.kind == messaging::ReceivedLine::Kind::Private
                                   ? QStringLiteral("private")
                                   : QStringLiteral("public"),
                               line.senderComputer,
                               line.encrypted ? QStringLiteral("encrypted")
                                              : QStringLiteral("plain")));
                // The user's own line as it came back: the id its receipts name.
                if (line.own && line.lineId != 0 && !line.continuation)
                    trace(QStringLiteral("line-id ") + lineIdText(line.lineId));
            } else if (const auto* delivery = std::get_if<messaging::DeliveryChanged>(&event)) {
                trace(QStringLiteral("%1 %2 %3 %4")
                          .arg(isReceipt(delivery->state) ? QStringLiteral("receipt")
                                                          : QStringLiteral("outbox"),
                               delivery->computer,
                               QLatin1String(messaging::deliveryStateName(delivery->state)),
                               lineIdText(delivery->lineId)));
            } else if (const auto* caught = std::get_if<messaging::CaughtUp>(&event)) {
                trace(QStringLiteral("caught-up %1").arg(caught->count));
            } else if (const auto* trust = std::get_if<messaging::PeerTrustChanged>(&event)) {
                trace(
                    QStringLiteral("peer-trust %1 %2")
                        .arg(trust->computer, QLatin1String(network::peerTrustName(trust->trust))));
            } else if (const auto* presence = std::get_if<messaging::PresenceChanged>(&event)) {
                trace(QStringLiteral("presence %1 %2")
                          .arg(presence->computer,
                               QLatin1String(network::peerPresenceName(presence->state))));
            } else if (const auto* refused = std::get_if<messaging::Refused>(&event)) {
                trace(QStringLiteral("refused %1 %2")
                          .arg(QLatin1String(messaging::refusalName(refused->reason)),
                               refused->computer));
            } else if (const auto* back = std::get_if<messaging::NetworkBack>(&event)) {
                trace(QStringLiteral("network-back ") + back->links.join(QStringLiteral(", ")));
            } else if (const auto* clash = std::get_if<messaging::NameClash>(&event)) {
                trace(QStringLiteral("name-clash %1 %2")
                          .arg(clash->address, messaging::nameClashKeyText(*clash)));
            } else if (const auto* withheld = std::get_if<messaging::Withheld>(&event)) {
                // Listed computers that have not confirmed their address, beyond the few a
                // line goes to anyway: forged ones, or copies that answer no walk.
                if (withheld->what == messaging::Sending::Line)
                    trace(QStringLiteral("withheld %1").arg(withheld->count));
            }
        });
}

} // namespace kalvento::app
