#include "update/update_check.h"

#include "http/document_file.h"
#include "http/http_client.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/trace.h"
#include "update/version.h"

#include <QDir>
#include <QFile>
#include <QScopedValueRollback>

namespace kalvento::update {

using lang::GetMessageText;
using lang::MessageId;

UpdateCheck::UpdateCheck(http::THttpCli* http, QObject* parent)
    : QObject(parent), m_http(http != nullptr ? http : new http::THttpCli(this)) {}

UpdateCheck::~UpdateCheck() = default;

void UpdateCheck::setStatus(const QString& text) {
    m_status = text;
    // KALVENTO_TRACE: the whole-program tests follow the check on stderr.
    platform::trace(QStringLiteral("update-status ") + text);
    emit statusChanged(text);
}

void UpdateCheck::abort() {
    if (m_running)
        m_http->Abort();
}

TCheckResult UpdateCheck::run(const settings::Settings& settings) {
    // A request already under way (a second click) is not a second check.
    if (m_running)
        return crNotSet;
    QScopedValueRollback running(m_running, true);
    m_offered = TUpdateInfo();
    const QString directory = settings.saveUpdateDirectory;
    const QString descriptionPath = directory + QLatin1String(kDescriptionFile);
    QFile::remove(descriptionPath);

    if (settings.useProxy) {
        m_http->SetProxy(settings.proxyServer);
        m_http->SetProxyPort(QString::number(settings.proxyPort));
    } else {
        m_http->SetProxy(QString());
        m_http->SetProxyPort(QStringLiteral("80"));
    }
    m_http->SetURL(settings.updateAddress);
    setStatus(GetMessageText(MessageId::M034));

    // A description is small and comes at once: a larger one, or one that takes longer,
    // is refused while it arrives.
    m_http->SetTimeout(m_limits.idleTimeout);
    m_http->SetDeadline(m_limits.checkDeadline);
    m_http->SetMinimumRate(0, 0);
    m_http->SetMaxDocumentSize(m_limits.descriptionMaxBytes);
    QString failure;
    {
        QFile description(descriptionPath);
        if (!QDir().mkpath(directory) ||
            !description.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            failure = description.errorString();
        } else {
            http::TDocumentFile stream(description);
            m_http->SetDocumentStream(&stream);
            try {
                m_http->GetSync();
            } catch (const http::EHttpException&) {
                failure = m_http->ResponseText();
            }
            m_http->SetDocumentStream(nullptr);
            description.close();
        }
    }
    if (!failure.isNull()) {
        QFile::remove(descriptionPath);
        m_result = crFailed;
        setStatus(lang::FormatMessage(GetMessageText(MessageId::M035), {failure}));
        return m_result;
    }

    m_offered = readUpdateInfo(descriptionPath);
    QFile::remove(descriptionPath);
    if (CompareVersions(GetVersion(), m_offered.Version)) {
        m_result = crNewer;
        setStatus(GetMessageText(MessageId::M028));
    } else {
        m_result = crNoNewer;
        setStatus(GetMessageText(MessageId::M036));
    }
    return m_result;
}

} // namespace kalvento::update
