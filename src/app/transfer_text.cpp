#include "app/transfer_text.h"

#include "app/chat_text.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

#include <array>
#include <cmath>

namespace kalvento::app {

using lang::MessageId;
using transfer::TransferState;

QString humanSize(quint64 bytes) {
    if (bytes < 1000)
        return QString::number(bytes) + QStringLiteral(" B");
    static constexpr std::array<const char*, 6> units = {"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = double(bytes) / 1000.0;
    size_t unit = 0;
    // Rounded to one decimal, 999.95 kB is 1.0 MB, not 1000.0 kB.
    while (unit + 1 < units.size() && std::round(value * 10.0) >= 10000.0) {
        value /= 1000.0;
        ++unit;
    }
    return QString::number(std::round(value * 10.0) / 10.0, 'f', 1) + u' ' +
           QString::fromLatin1(units[unit]);
}

QString durationText(qint64 seconds) {
    seconds = qMax<qint64>(0, seconds);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = seconds / 60 % 60;
    const QString rest = QStringLiteral("%1:%2").arg(
        hours > 0 ? QString::number(minutes).rightJustified(2, u'0') : QString::number(minutes),
        QString::number(seconds % 60).rightJustified(2, u'0'));
    return hours > 0 ? QString::number(hours) + u':' + rest : rest;
}

QString stateText(TransferState state) {
    MessageId id = MessageId::M162;
    switch (state) {
    case TransferState::Preparing:
        id = MessageId::M152;
        break;
    case TransferState::Offered:
        id = MessageId::M153;
        break;
    case TransferState::Asking:
        id = MessageId::M154;
        break;
    case TransferState::Connecting:
        id = MessageId::M155;
        break;
    case TransferState::Running:
        id = MessageId::M156;
        break;
    case TransferState::Paused:
        id = MessageId::M157;
        break;
    case TransferState::Waiting:
        id = MessageId::M158;
        break;
    case TransferState::Done:
        id = MessageId::M159;
        break;
    case TransferState::Declined:
        id = MessageId::M160;
        break;
    case TransferState::Cancelled:
        id = MessageId::M161;
        break;
    case TransferState::Failed:
        id = MessageId::M162;
        break;
    }
    return lang::GetMessageText(id);
}

QString oneLine(const QString& text) {
    return splitAtLineBreaks(text).join(u' ');
}

QString countAndSize(const transfer::TransferInfo& info) {
    QString inside = humanSize(info.totalBytes);
    if (info.files > 1)
        inside.prepend(lang::FormatMessage(lang::GetMessageText(MessageId::M134),
                                           {QString::number(info.files)}) +
                       QStringLiteral(", "));
    return QStringLiteral(" (") + inside + u')';
}

QString endReason(const transfer::TransferInfo& info) {
    // The service words its reasons in English, the states' names among them.
    if (info.error.trimmed().compare(QLatin1String(transfer::stateName(info.state)),
                                     Qt::CaseInsensitive) == 0)
        return {};
    return oneLine(info.error);
}

std::optional<ChatNotice> finishedNotice(const transfer::TransferInfo& info,
                                         const QString& computer) {
    const QString count = QString::number(info.files);
    const bool several = info.files > 1;
    const QString name = oneLine(info.name);
    const QString who = oneLine(computer);
    const auto text = [](MessageId id) { return lang::GetMessageText(id); };
    if (info.state == TransferState::Done) {
        const QString size = humanSize(info.totalBytes);
        if (info.outgoing)
            return ChatNotice{text(several ? MessageId::M126 : MessageId::M125),
                              {several ? count : name, size, who}};
        return ChatNotice{text(several ? MessageId::M128 : MessageId::M127),
                          {several ? count : name, size, who}};
    }
    MessageId outcome = MessageId::M131;
    if (info.state == TransferState::Declined)
        outcome = MessageId::M132;
    else if (info.state == TransferState::Cancelled)
        outcome = MessageId::M133;
    else if (info.state != TransferState::Failed)
        return std::nullopt;
    QString how = text(outcome);
    if (const QString why = endReason(info); !why.isEmpty())
        how += QStringLiteral(": ") + why;
    const QString what = several ? lang::FormatMessage(text(MessageId::M134), {count}) : name;
    return ChatNotice{text(info.outgoing ? MessageId::M129 : MessageId::M130), {what, who, how}};
}

} // namespace kalvento::app
