#pragma once
// The check for a newer version: fetches the update description from the update address
// into "Tolmirant.upd" in the save folder, reads its "UpdateInfo" section, deletes the file
// again and compares the offered version with the program's own. No window: the update
// window shows what it finds, and the daily check runs it with no window at all.

#include "settings/settings_store.h"
#include "update/update_info.h"
#include "update/update_schedule.h"

#include <QObject>
#include <QString>

namespace kalvento::http {
class THttpCli;
}

namespace kalvento::update {

class UpdateCheck : public QObject {
    Q_OBJECT
public:
    static constexpr char kDescriptionFile[] = "Tolmirant.upd";

    // http: the client to fetch with (the update window's, which downloads with it too);
    // null, the check makes one of its own.
    explicit UpdateCheck(http::THttpCli* http = nullptr, QObject* parent = nullptr);
    ~UpdateCheck() override;

    // Runs one check with the update address, proxy and save folder of settings, and waits
    // for its end in a local event loop. A call while a check runs starts nothing and
    // answers crNotSet.
    TCheckResult run(const settings::Settings& settings);
    // Ends a running check; it ends as failed.
    void abort();
    bool running() const { return m_running; }

    // What the last check found: its result, what the server offered ("N/A" where the
    // description is silent, all of it after a failure) and its status line.
    TCheckResult result() const { return m_result; }
    const TUpdateInfo& offered() const { return m_offered; }
    const QString& status() const { return m_status; }

    // How long and how much a server may take (shorter in tests).
    void setLimits(const TUpdateLimits& limits) { m_limits = limits; }
    const TUpdateLimits& limits() const { return m_limits; }
    http::THttpCli& http() const { return *m_http; }

signals:
    // Each status as the check goes (also written to the trace as "update-status").
    void statusChanged(const QString& text);

private:
    void setStatus(const QString& text);

    http::THttpCli* m_http;
    bool m_running = false;
    TCheckResult m_result = crNotSet;
    TUpdateInfo m_offered;
    QString m_status;
    TUpdateLimits m_limits;
};

} // namespace kalvento::update
