#pragma once
// The update window: checks the update address for a newer version (update::UpdateCheck),
// shows what the server offers and downloads the offered file with a progress bar. The
// main window opens one for the update button, and one to show what the daily check,
// which runs without a window, found.

#include "settings/settings_store.h"
#include "update/update_check.h"
#include "update/update_info.h"
#include "update/update_schedule.h"

#include <QDialog>
#include <QImage>
#include <QList>
#include <QUrl>

#include <functional>

class QLabel;
class QProgressBar;

namespace kalvento::http {
class THttpCli;
}
namespace kalvento::widgets {
class TGlyphButton;
}

namespace kalvento::dialogs {

class UserDialogs;

class TUpdateIkkuna : public QDialog {
    Q_OBJECT
public:
    // The least client area; the window grows with its texts (a long address, an error's
    // text), up to kMaxValueChars characters a value, beyond which a value is cut with "..."
    // and shown whole in its tip.
    static constexpr int kClientWidth = 353;
    static constexpr int kClientHeight = 281;
    static constexpr int kMaxValueChars = 70;

    // settings: the in-memory settings (update address, proxy, save directory, language).
    // background: the main window's current picture, tiled over this one; kuvat: its image
    // list; resourceDirectory: where Languages/ is; dialogs: where the end of a download is
    // told.
    TUpdateIkkuna(const settings::Settings& settings, const QImage& background,
                  const QList<QImage>& kuvat, const QString& resourceDirectory,
                  UserDialogs& dialogs, QWidget* parent = nullptr);
    ~TUpdateIkkuna() override;

    // The handlers, named after their control.
    void btnCheckClick();
    void btnDownloadClick();
    void btnAbortClick();
    void MoreInfoClick();
    void DownloadURLClick();
    void HttpDocData();

    // Shows what a check that ran without this window found, as if its own had.
    void showCheck(const update::UpdateCheck& check);

    // What the last check found (update::TCheckResult).
    int CheckResult() const { return m_check.result(); }
    bool NewerAvailable() const { return m_newerAvailable; }
    bool Downloading() const { return m_downloading; }

    // Where links and the downloaded update's folder open (the user's browser and file
    // manager unless a test says otherwise).
    void setLinkOpener(std::function<void(const QUrl&)> open) { m_openLink = std::move(open); }
    // The time and size limits of the check and the download (shorter ones in tests).
    void setLimits(const update::TUpdateLimits& limits) {
        m_limits = limits;
        m_check.setLimits(limits);
    }
    const update::TUpdateLimits& limits() const { return m_limits; }

    http::THttpCli* Http() const { return m_http; }
    QLabel* label(const char* name) const;
    widgets::TGlyphButton* button(const char* name) const;
    QProgressBar* Edistys() const { return m_edistys; }

    // Closing (the close box, Escape) while a download runs aborts the download and leaves
    // the window open to show so; otherwise the window closes with the OK result, ending a
    // check that is under way.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void FormCreate();
    void FormShow();
    void setStatus(const QString& text);
    // The values and the status of a check that has ended.
    void showCheckResult(const update::UpdateCheck& check);
    // A value and its tip, the whole text; the window grows for it.
    void setValue(int row, const QString& text);
    // Grows the window (never shrinks it) to show its texts, within the screen.
    void growToText();
    void setDownloadButtons(bool downloading, bool downloadEnabled);
    void openLinkOf(const QLabel* label);

    settings::Settings m_settings;
    QImage m_background;
    QString m_resourceDirectory;
    UserDialogs& m_dialogs;
    http::THttpCli* m_http = nullptr;
    update::UpdateCheck m_check; // with m_http, which the download uses too
    bool m_newerAvailable = false;
    bool m_downloading = false;
    update::TUpdateLimits m_limits;

    QList<QLabel*> m_captions; // Label8, Label5, Label9, Label10, Label11, Label12, Label6
    QList<QLabel*> m_values;   // their value labels, in the same order
    QLabel* m_label7 = nullptr;
    QProgressBar* m_edistys = nullptr;
    widgets::TGlyphButton* m_btnDownload = nullptr;
    widgets::TGlyphButton* m_btnAbort = nullptr;
    widgets::TGlyphButton* m_btnCheck = nullptr;
    widgets::TGlyphButton* m_btnOk = nullptr;

    std::function<void(const QUrl&)> m_openLink;
};

// The file name a download gets: the part of url after its last "/", "\" or ":". Empty
// when that is no name a file may have here ("", "." or "..").
QString downloadFileName(const QString& url);

// Whether a link from the update description may be opened: web and mail addresses only.
bool isOpenableLink(const QUrl& url);

} // namespace kalvento::dialogs
