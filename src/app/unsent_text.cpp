#include "app/unsent_text.h"

#include "platform/atomic_file.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTimer>

#include <exception>
#include <utility>

namespace kalvento::app {

namespace {

// Far more than anybody types; a file larger than this is not one this program wrote.
constexpr qint64 kMaxFileBytes = qint64{64} * 1024 * 1024;

const QString kMessageKey = QStringLiteral("message");
const QString kBigMessagesKey = QStringLiteral("bigMessages");

} // namespace

QString keepUnsentText(const QString& path, const UnsentText& text) {
    if (text.isEmpty()) {
        QFile file(path);
        if (file.exists() && !file.remove())
            return QStringLiteral("%1: %2").arg(path, file.errorString());
        return {};
    }
    QJsonObject object;
    if (!text.message.isEmpty())
        object.insert(kMessageKey, text.message);
    if (!text.bigMessages.isEmpty())
        object.insert(kBigMessagesKey, QJsonArray::fromStringList(text.bigMessages));
    try {
        platform::writeFileAtomically(path, QJsonDocument(object).toJson(),
                                      platform::FileAccess::OwnerOnly);
    } catch (const std::exception& e) {
        return QStringLiteral("%1: %2").arg(path, QString::fromUtf8(e.what()));
    }
    return {};
}

TakenUnsentText takeUnsentText(const QString& path) {
    TakenUnsentText taken;
    QFile file(path);
    if (!file.exists())
        return taken;
    if (!file.open(QIODevice::ReadOnly)) {
        taken.error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return taken;
    }
    if (file.size() > kMaxFileBytes) {
        taken.error = QStringLiteral("%1: too large to be text kept by Kalvento").arg(path);
        return taken;
    }
    QJsonParseError parsed{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parsed);
    file.close();
    if (parsed.error != QJsonParseError::NoError || !document.isObject()) {
        taken.error =
            QStringLiteral("%1: not text kept by Kalvento (%2)")
                .arg(path, parsed.error != QJsonParseError::NoError ? parsed.errorString()
                                                                    : QStringLiteral("no object"));
        return taken;
    }
    const QJsonObject object = document.object();
    taken.text.message = object.value(kMessageKey).toString();
    const QJsonArray bigMessages = object.value(kBigMessagesKey).toArray();
    for (const QJsonValue value : bigMessages)
        if (const QString text = value.toString(); !text.isEmpty())
            taken.text.bigMessages.append(text);
    if (!file.remove())
        taken.error = QStringLiteral("%1: %2").arg(path, file.errorString());
    return taken;
}

UnsentTextKeeper::UnsentTextKeeper(QString path, std::function<UnsentText()> collect,
                                   std::function<void(const QString& error)> report,
                                   QObject* parent, int delayMs)
    : QObject(parent), m_path(std::move(path)), m_collect(std::move(collect)),
      m_report(std::move(report)), m_timer(new QTimer(this)) {
    m_timer->setSingleShot(true);
    m_timer->setInterval(delayMs);
    connect(m_timer, &QTimer::timeout, this, &UnsentTextKeeper::keepSoon);
}

void UnsentTextKeeper::changed() {
    // Not restarted by every key: a user who types without a pause is kept too.
    if (!m_timer->isActive())
        m_timer->start();
}

bool UnsentTextKeeper::isWaiting() const {
    return m_timer->isActive();
}

QString UnsentTextKeeper::keepNow() {
    m_timer->stop();
    QString error = keepUnsentText(m_path, m_collect());
    if (error.isEmpty())
        m_reported.clear();
    return error;
}

void UnsentTextKeeper::keepSoon() {
    const QString error = keepNow();
    if (error.isEmpty() || error == m_reported)
        return;
    m_reported = error;
    if (m_report)
        m_report(error);
}

} // namespace kalvento::app
