#include "dialogs/update_window.h"

#include "dialogs/user_dialogs.h"
#include "http/document_file.h"
#include "http/http_client.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "platform/atomic_file.h"
#include "platform/trace.h"
#include "uisupport/apply_language.h"
#include "update/update_info.h"
#include "update/version.h"
#include "widgets/elided_label.h"
#include "widgets/glyph_button.h"
#include "widgets/toolbar.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QScreen>

#include <climits>
#include <cstdio>

namespace kalvento::dialogs {

namespace {

using lang::GetMessageText;
using lang::MessageId;

constexpr int kMargin = 8;
constexpr char kIdle[] = "Idle!";

// A value: one line, as wide as its text up to kMaxValueChars characters; narrower than its
// text, it shows the text cut with "..." (an address in the middle, so that its host and its
// file stay in sight), and its tip holds the whole. The server's texts are plain, never markup.
class ValueLabel : public widgets::ElidedLabel {
public:
    ValueLabel(QWidget* parent, Qt::TextElideMode elide) : ElidedLabel(parent, elide) {
        setAttribute(Qt::WA_TranslucentBackground);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    }

    QSize sizeHint() const override {
        QSize size = ElidedLabel::sizeHint();
        size.setWidth(
            qMin(size.width(), fontMetrics().averageCharWidth() * TUpdateIkkuna::kMaxValueChars));
        return size;
    }
    QSize minimumSizeHint() const override {
        return {fontMetrics().averageCharWidth() * 8, ElidedLabel::minimumSizeHint().height()};
    }
};

// A value label that acts as a link: underlined, a hand over it, a click opens it.
class LinkLabel : public ValueLabel {
public:
    LinkLabel(QWidget* parent, std::function<void()> clicked)
        : ValueLabel(parent, Qt::ElideMiddle), m_clicked(std::move(clicked)) {
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        QLabel::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            m_clicked();
    }

private:
    std::function<void()> m_clicked;
};

struct Row {
    const char* caption;
    const char* captionText;
    const char* value;
    bool gapAbove; // a little room between the groups of rows
};
// Caption labels and their value labels, top to bottom.
constexpr Row kRows[] = {
    {"Label8", "Current program version:", "CurrentVersion", false},
    {"Label5", "Address:", "RemoteAddress", false},
    {"Label9", "Program version available:", "VersionAvailable", true},
    {"Label10", "Program details:", "VersionDetails", false},
    {"Label11", "More program info at:", "MoreInfo", true},
    {"Label12", "Program download URL:", "DownloadURL", false},
    {"Label6", "Status:", "Status", true},
};
enum {
    rCurrentVersion,
    rRemoteAddress,
    rVersionAvailable,
    rVersionDetails,
    rMoreInfo,
    rDownloadURL,
    rStatus
};

constexpr widgets::ToolbarButton kButtons[] = {
    {"btnDownload", "Download program update", widgets::kuvatSend},
    {"btnAbort", "Abort download", widgets::kuvatAbort},
    {"btnCheck", "Check for an update", widgets::kuvatUpdate},
    {"btnOk", "Close this dialog (ESC)", widgets::kuvatClose},
};

QLabel* plainLabel(QWidget* parent, const char* name, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText); // the server's texts are data, never markup
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

} // namespace

QString downloadFileName(const QString& url) {
    qsizetype cut = -1;
    for (const QChar separator : {u'/', u'\\', u':'})
        cut = qMax(cut, url.lastIndexOf(separator));
    QString name = url.mid(cut + 1);
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return name;
}

bool isOpenableLink(const QUrl& url) {
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
                             scheme == QLatin1String("ftp") || scheme == QLatin1String("mailto"));
}

TUpdateIkkuna::TUpdateIkkuna(const settings::Settings& settings, const QImage& background,
                             const QList<QImage>& kuvat, const QString& resourceDirectory,
                             UserDialogs& dialogs, QWidget* parent)
    : QDialog(parent), m_settings(settings), m_background(background),
      m_resourceDirectory(resourceDirectory), m_dialogs(dialogs), m_http(new http::THttpCli(this)),
      m_check(m_http) {
    setObjectName(QStringLiteral("UpdateIkkuna"));
    setWindowTitle(QStringLiteral("Check for updates"));
    // A dialog: closed, never minimized or maximized; it grows with its texts by itself.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_openLink = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    // The check traces its statuses itself; the window shows them.
    connect(&m_check, &update::UpdateCheck::statusChanged, this,
            [this](const QString& text) { setValue(rStatus, text); });

    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
    grid->setHorizontalSpacing(kMargin);
    grid->setVerticalSpacing(2);
    grid->setColumnStretch(1, 1);
    int line = 0;
    QPalette blue = palette();
    blue.setColor(QPalette::WindowText, Qt::blue);
    for (const Row& row : kRows) {
        if (row.gapAbove)
            grid->setRowMinimumHeight(line++, kMargin);
        QLabel* caption = plainLabel(this, row.caption, QString::fromLatin1(row.captionText));
        ValueLabel* value = nullptr;
        if (QLatin1String(row.value) == QLatin1String("MoreInfo"))
            value = new LinkLabel(this, [this] { MoreInfoClick(); });
        else if (QLatin1String(row.value) == QLatin1String("DownloadURL"))
            value = new LinkLabel(this, [this] { DownloadURLClick(); });
        else if (QLatin1String(row.value) == QLatin1String("RemoteAddress"))
            value = new ValueLabel(this, Qt::ElideMiddle);
        else
            value = new ValueLabel(this, Qt::ElideRight);
        value->setObjectName(QString::fromLatin1(row.value));
        value->setPalette(blue);
        grid->addWidget(caption, line, 0);
        grid->addWidget(value, line, 1);
        ++line;
        m_captions.append(caption);
        m_values.append(value);
    }
    grid->setRowMinimumHeight(line++, kMargin);
    m_label7 = plainLabel(this, "Label7", QStringLiteral("Download progress:"));
    grid->addWidget(m_label7, line++, 0, 1, 2);
    m_edistys = new QProgressBar(this);
    m_edistys->setObjectName(QStringLiteral("Edistys"));
    m_edistys->setFixedHeight(18);
    m_edistys->setTextVisible(false);
    m_edistys->setValue(0);
    grid->addWidget(m_edistys, line++, 0, 1, 2);
    grid->setRowStretch(line++, 1);

    auto* buttonRow = new QHBoxLayout;
    buttonRow->setSpacing(0);
    buttonRow->addStretch(1);
    for (widgets::TGlyphButton* b : widgets::makeToolbar(this, kButtons, kuvat)) {
        b->setFixedSize(b->size());
        buttonRow->addWidget(b);
    }
    buttonRow->addStretch(1);
    grid->addLayout(buttonRow, line++, 0, 1, 2);
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    m_btnDownload = button("btnDownload");
    m_btnAbort = button("btnAbort");
    m_btnCheck = button("btnCheck");
    m_btnOk = button("btnOk");
    connect(m_btnDownload, &QAbstractButton::clicked, this, &TUpdateIkkuna::btnDownloadClick);
    connect(m_btnAbort, &QAbstractButton::clicked, this, &TUpdateIkkuna::btnAbortClick);
    connect(m_btnCheck, &QAbstractButton::clicked, this, &TUpdateIkkuna::btnCheckClick);
    connect(m_btnOk, &QAbstractButton::clicked, this, &QDialog::accept);

    m_http->SetOnDocData([this](http::THttpCli*, const char*, int) { HttpDocData(); });
    FormCreate();
}

TUpdateIkkuna::~TUpdateIkkuna() = default;

QLabel* TUpdateIkkuna::label(const char* name) const {
    return findChild<QLabel*>(QString::fromLatin1(name));
}

widgets::TGlyphButton* TUpdateIkkuna::button(const char* name) const {
    return findChild<widgets::TGlyphButton*>(QString::fromLatin1(name));
}

void TUpdateIkkuna::FormCreate() {
    m_newerAvailable = false;
    m_btnAbort->setEnabled(false);
    m_btnDownload->setEnabled(false);
    setValue(rCurrentVersion, update::GetVersion());
    setValue(rRemoteAddress, m_settings.updateAddress);
    setStatus(QString::fromLatin1(kIdle));
}

void TUpdateIkkuna::setValue(int row, const QString& text) {
    m_values[row]->setText(text);
    m_values[row]->setToolTip(uisupport::plainToolTip(text)); // the server's, or a path
    growToText();
}

void TUpdateIkkuna::growToText() {
    QLayout* grid = layout();
    if (grid == nullptr)
        return;
    grid->activate();
    QSize wanted = sizeHint().expandedTo(minimumSize());
    if (const QScreen* shownOn = screen())
        wanted = wanted.boundedTo(shownOn->availableGeometry().size() * 9 / 10);
    resize(size().expandedTo(wanted));
}

void TUpdateIkkuna::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TUpdateIkkuna::FormShow() {
    if (m_settings.languageIndex != 0) {
        lang::SetCurrentLanguageFile(lang::LoadLanguageFile(
            lang::languageFileName(m_settings.language), m_resourceDirectory));
        // The values are data (versions, addresses, what a check found): a translation
        // replaces only the status that nothing has happened yet.
        QStringList values;
        for (const QLabel* value : m_values)
            values << value->text();
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        for (qsizetype i = 0; i < m_values.size(); ++i)
            if (i != rStatus || values[i] != QLatin1String(kIdle))
                m_values[i]->setText(values[i]);
        m_values[rStatus]->setToolTip(uisupport::plainToolTip(m_values[rStatus]->text()));
    }
    growToText(); // the captions of the language in use
}

void TUpdateIkkuna::paintEvent(QPaintEvent*) {
    if (m_background.isNull() || m_background.width() <= 0 || m_background.height() <= 0)
        return;
    // The main window's picture, tiled from the top-left corner row by row.
    QPainter painter(this);
    painter.drawTiledPixmap(rect(), QPixmap::fromImage(m_background));
}

void TUpdateIkkuna::setStatus(const QString& text) {
    setValue(rStatus, text);
    // KALVENTO_TRACE: the whole-program tests follow the check on stderr.
    platform::trace(QStringLiteral("update-status ") + text);
}

void TUpdateIkkuna::btnCheckClick() {
    // A request already under way (a second click) is not a second check.
    if (m_check.running() || m_downloading)
        return;
    for (int row : {rVersionAvailable, rVersionDetails, rMoreInfo, rDownloadURL}) {
        m_values[row]->clear();
        m_values[row]->setToolTip(QString());
    }
    m_check.run(m_settings);
    showCheckResult(m_check);
}

void TUpdateIkkuna::showCheck(const update::UpdateCheck& check) {
    showCheckResult(check);
}

void TUpdateIkkuna::showCheckResult(const update::UpdateCheck& check) {
    if (check.result() != update::crFailed && check.result() != update::crNotSet) {
        const update::TUpdateInfo& info = check.offered();
        const std::pair<int, QString> values[] = {{rVersionAvailable, info.Version},
                                                  {rDownloadURL, info.UpdateURL},
                                                  {rMoreInfo, info.ReadmeURL},
                                                  {rVersionDetails, info.Details}};
        for (const auto& [row, text] : values)
            setValue(row, text);
    }
    m_newerAvailable = check.result() == update::crNewer;
    m_btnDownload->setEnabled(m_newerAvailable);
    if (!check.status().isEmpty())
        setValue(rStatus, check.status());
}

void TUpdateIkkuna::setDownloadButtons(bool downloading, bool downloadEnabled) {
    m_btnAbort->setEnabled(downloading);
    m_btnDownload->setEnabled(downloadEnabled);
    m_btnCheck->setEnabled(!downloading);
    m_btnOk->setEnabled(!downloading);
}

void TUpdateIkkuna::btnDownloadClick() {
    if (m_check.running() || m_downloading)
        return;
    const QString url = m_values[rDownloadURL]->text();
    const QString name = downloadFileName(url);
    // With the reason when there is one to tell (a full disk, a server that stopped); an
    // abort, which the user asked for, and a name that is no file's need none.
    auto failed = [this](const QString& reason = QString()) {
        setStatus(reason.isEmpty()
                      ? GetMessageText(MessageId::M031)
                      : lang::FormatMessage(GetMessageText(MessageId::M035), {reason}));
        setDownloadButtons(false, true);
    };
    // A name that is no file's ("", "." or "..") is refused; the name never holds a
    // separator, so the file stays inside the save directory.
    if (name.isEmpty()) {
        failed();
        return;
    }
    const QString directory = m_settings.saveUpdateDirectory;
    setStatus(GetMessageText(MessageId::M030));
    m_http->SetURL(url);

    // The download goes to a temporary file and replaces an older one only when complete.
    platform::ReplacementFile target(directory + name);
    if (!QDir().mkpath(directory)) {
        failed(QStringLiteral("cannot make the folder %1").arg(directory));
        return;
    }
    if (const platform::Result opened = target.open(); !opened) {
        failed(opened.error);
        return;
    }
    // A download may take long, but only while it moves.
    m_http->SetTimeout(m_limits.idleTimeout);
    m_http->SetDeadline(0);
    m_http->SetMinimumRate(m_limits.downloadMinimumRate, m_limits.downloadRateWindow);
    m_http->SetMaxDocumentSize(0);
    auto* file = qobject_cast<QFileDevice*>(target.device());
    if (file == nullptr) {
        failed(QStringLiteral("the download has no file to go to"));
        return;
    }
    http::TDocumentFile stream(*file);
    m_http->SetDocumentStream(&stream);
    m_downloading = true;
    setDownloadButtons(true, false);
    bool ok = true;
    QString reason;
    try {
        m_http->GetSync();
    } catch (const http::EHttpException&) {
        ok = false;
        if (m_http->DoneError() != http::httperr::Aborted)
            reason = m_http->ResponseText();
    }
    m_http->SetDocumentStream(nullptr);
    m_downloading = false;
    if (ok) {
        if (const platform::Result committed = target.commit(); !committed) {
            ok = false;
            reason = committed.error;
        }
    }
    if (!ok) {
        target.discard();
        failed(reason);
        return;
    }
    setStatus(GetMessageText(MessageId::M032));
    m_btnAbort->setEnabled(false);
    m_btnDownload->setEnabled(false);
    m_btnCheck->setEnabled(true);
    m_btnOk->setEnabled(true);
    m_newerAvailable = false;
    // Where the file is, and how a Linux system installs it; a translation written before
    // the message named the file gets the file's path on a line of its own.
    const QString path = QFileInfo(directory + name).absoluteFilePath();
    QString text = lang::FormatMessage(GetMessageText(MessageId::M033), {path});
    if (!text.contains(path))
        text += QStringLiteral("\r\n") + path;
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(path).absolutePath());
    if (m_dialogs.showNotice(this, Severity::Information, text, GetMessageText(MessageId::M045)))
        m_openLink(folder);
}

void TUpdateIkkuna::HttpDocData() {
    // Progress is shown for the download only, never for the check.
    if (!m_btnAbort->isEnabled())
        return;
    const qint64 length = m_http->ResponseLength();
    const qint64 received = m_http->ReceivedBytes();
    if (length < 0) {
        m_edistys->setRange(0, 0); // no length: a bar that says only "busy"
    } else {
        // The bar counts in int; a file over 2 GB is counted in kilobytes.
        const int shift = length > INT_MAX ? 10 : 0;
        m_edistys->setRange(0, int(length >> shift));
        m_edistys->setValue(int(qMin(received, length) >> shift));
    }
    setStatus(
        lang::FormatMessage(GetMessageText(MessageId::M037),
                            {lang::ThousandsNumber(received), lang::ThousandsNumber(length)}));
}

void TUpdateIkkuna::btnAbortClick() {
    m_http->Abort();
    setStatus(GetMessageText(MessageId::M029));
}

void TUpdateIkkuna::openLinkOf(const QLabel* label) {
    const QUrl url(label->text(), QUrl::StrictMode);
    if (isOpenableLink(url))
        m_openLink(url);
}

void TUpdateIkkuna::MoreInfoClick() {
    openLinkOf(m_values[rMoreInfo]);
}

void TUpdateIkkuna::DownloadURLClick() {
    openLinkOf(m_values[rDownloadURL]);
}

void TUpdateIkkuna::reject() {
    if (m_downloading) {
        btnAbortClick();
        return;
    }
    m_check.abort(); // a check under way ends as failed, and the window closes
    accept();
}

} // namespace kalvento::dialogs
