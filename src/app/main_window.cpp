#include "app/main_window.h"

#include "app/chat_area.h"
#include "app/chat_controller.h"
#include "app/chat_view.h"
#include "app/file_transfers.h"
#include "app/log_saver.h"
#include "app/main_layout.h"
#include "app/main_toolbar.h"
#include "app/options_applier.h"
#include "app/presence_notices.h"
#include "app/send_to_dialog.h"
#include "app/side_windows.h"
#include "app/start_splash.h"
#include "app/status_keeper.h"
#include "app/transfer_offer_dialog.h"
#include "app/transfers_panel.h"
#include "app/unsent_text.h"
#include "app/window_placement.h"
#include "app/window_trace.h"
#include "app/window_updates.h"
#include "crypto/identity_key.h"
#include "desktop/desktop_idle.h"
#include "desktop/program_icon.h"
#include "dialogs/mline_window.h"
#include "dialogs/options_window.h"
#include "dialogs/welcome_window.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/mailslot_server.h"
#include "platform/atomic_file.h"
#include "platform/trace.h"
#include "uisupport/apply_language.h"
#include "uisupport/qcolor_mapping.h"
#include "widgets/artwork.h"
#include "widgets/background.h"
#include "widgets/cursor_blink_timeout.h"
#include "widgets/glyph_button.h"
#include "widgets/title_button.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>

#include <chrono>
#include <memory>
#include <utility>

namespace kalvento::app {

namespace {

constexpr int kHelpContextTopic = 101;
constexpr int kOptionsHelpTopic = 105;

} // namespace

TMainForm::TMainForm(network::DatagramNetwork& network, MainFormOptions options, QWidget* parent)
    : QWidget(parent), m_options(std::move(options)), m_network(network) {
    m_dialogs =
        m_options.dialogs
            ? m_options.dialogs
            : std::make_shared<dialogs::MessageBoxes>(QString::fromLatin1(ApplicationTitle));
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromLatin1(ApplicationTitle));
    // Below that size the chat and the list stop being usable.
    setMinimumSize(kMinimumClientWidth, kMinimumClientHeight);
    // The program's icon on every window it opens (this one, its dialogs, the wizard, the
    // message boxes): they take the application's.
    QApplication::setWindowIcon(desktop::programIcon().icon);
    createNode();
    createComponents();
    loadIdentity();
    if (platform::traceEnabled())
        installWindowTrace(*m_node, m_btnTitle, *this);
    FormCreate();
    if (m_portInUse) {
        showOfflineStatus();
        reportError(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M040),
                                        {QString::number(m_options.networkPort)}));
    }
}

// The chat opens this computer's receiving name and starts receiving at once.
void TMainForm::createNode() {
    try {
        m_node = std::make_unique<messaging::ChatNode>(m_network);
    } catch (const messaging::EMailslotServerError& e) {
        if (e.errorNumber() != EADDRINUSE)
            throw;
        // Another program holds the port: say which one and where to change it, and run
        // without the network so that the user can reach the options.
        m_portInUse = true;
        m_offlineHub = std::make_unique<network::InMemoryHub>();
        m_offlineNetwork = std::make_unique<network::InMemoryNetwork>(
            *m_offlineHub, m_network.computerName(), m_network.groupName());
        m_node = std::make_unique<messaging::ChatNode>(*m_offlineNetwork);
        m_node->setOffline(true);
    }
}

// The identity key of this computer's user and the book of the keys seen, beside the
// settings. A key that cannot be read is reported and left as it is: the copy then runs
// without one, as older copies do, rather than under a new identity nobody has pinned.
void TMainForm::loadIdentity() {
    const QString folder = QFileInfo(m_options.settingsPath).absolutePath() + u'/';
    const crypto::IdentityKey::Loaded loaded =
        crypto::IdentityKey::loadOrCreate(folder + QLatin1String(kIdentityKeyFile));
    if (!loaded.key) {
        reportError(loaded.error);
        return;
    }
    m_node->setIdentityKey(*loaded.key);
    // Without its floor the counters start from the clock, as they always could: nothing
    // the user needs to act on.
    if (const QString error = m_node->setCounterFloor(folder + QLatin1String(kCounterFile));
        !error.isEmpty())
        qWarning("%s", qUtf8Printable(error));
    m_area->setTrustMarks(true);
    if (const QString error = m_node->setTrustBook(folder + QLatin1String(kKnownKeysFile));
        !error.isEmpty())
        reportError(error);
    // Private lines that wait for a computer that is away, and the moment this copy was
    // last there (the lines said since are asked of the others).
    if (const QString error = m_node->setOutbox(folder + QLatin1String(kOutboxFile));
        !error.isEmpty())
        reportError(error);
    if (const QString error = m_node->setCatchUpMark(folder + QLatin1String(kCatchUpMarkFile));
        !error.isEmpty())
        reportError(error);
}

TMainForm::~TMainForm() {
    // The transfers stop (their state is kept) while the chat they go through is still there.
    m_transfers.reset();
    m_splash->close(); // still up when the window goes within its first second
    // The alert icon goes with the window.
    m_tray->stopFlashing();
}

widgets::TGlyphButton* TMainForm::button(const char* name) const {
    return findChild<widgets::TGlyphButton*>(QString::fromLatin1(name));
}

QString TMainForm::helpFile() const {
    return m_side->helpFile();
}

QMenu* TMainForm::ComputerPopup() const {
    return m_controller->ComputerPopup();
}

QAction* TMainForm::action(const char* name) const {
    return findChild<QAction*>(QString::fromLatin1(name));
}

void TMainForm::createComponents() {
    createChatArea();
    createToolbar();
    createTray();
    createStatus();
    m_controller = new ChatController(
        ChatController::Parts{*m_area, *m_node, *m_tray, m_settings, m_options.networkPort,
                              [this](const QString& error) { reportError(error); }, *m_dialogs},
        *this);
    connect(action("Addtofriends1"), &QAction::triggered, this, &TMainForm::Addtofriends1Click);
    connect(action("Removefromfriends1"), &QAction::triggered, this,
            &TMainForm::Removefromfriends1Click);
    m_side = new SideWindows(SideWindows::Parts{
        *this, m_settings, m_tausta, m_defaultBackground, m_toolbar->kuvat(), *m_chat, *m_dialogs,
        [this] { return today(); },
        [this](const QStringList& lines) { return LahetaViesti(lines, true); },
        [this] { return m_node->ownFingerprint(); }, [this] { unsentTextChanged(); }});
    createTransfers();
    createOptionsApplier();
    createUpdates();
    m_splash = new StartSplash(
        m_options.splashMinimum, [this](const QString& step) { traceCreation(step); }, this);

    // A cursor that blinks on while nobody types would wake the program twice a second.
    new widgets::CursorBlinkTimeout(widgets::CursorBlinkTimeout::kDefaultTimeout, this);

    // The extra button by the top right corner: to the tray in one click.
    m_btnTitle = new widgets::TTitlebtn(this);
    m_btnTitle->setToolTip(QStringLiteral("Hide Kalvento to the tray"));
    m_btnTitle->SetAction([this](widgets::TTitlebtn*) { btnTitleAction(); });
    m_btnTitle->SetEnabled(true);
    m_btnTitle->SetVisible(true);
}

void TMainForm::createChatArea() {
    m_area = new ChatArea(*this, m_node->listModel());
    m_chat = m_area->chat();
    m_computers = m_area->computers();
    m_privaatti = m_area->privaatti();
    m_message = m_area->message();
    connect(m_message, &QLineEdit::textChanged, this, &TMainForm::MessageChange);
    connect(m_message, &QLineEdit::textChanged, this, &TMainForm::unsentTextChanged);
    connect(m_chat, &TChatView::historyError, this, &TMainForm::reportError);
}

void TMainForm::createToolbar() {
    m_toolbar = new MainToolbar(*this);
    const auto onClick = [this](MainToolbar::Button which, void (TMainForm::*handler)()) {
        connect(m_toolbar->button(which), &QAbstractButton::clicked, this,
                [this, handler] { (this->*handler)(); });
    };
    onClick(MainToolbar::Send, &TMainForm::btnSendClick);
    onClick(MainToolbar::BigMessage, &TMainForm::btnBigMessageClick);
    onClick(MainToolbar::Comment, &TMainForm::btnCommentClick);
    onClick(MainToolbar::Print, &TMainForm::btnPrintClick);
    onClick(MainToolbar::Update, &TMainForm::btnUpdateClick);
    onClick(MainToolbar::Options, &TMainForm::btnOptionsClick);
    onClick(MainToolbar::Info, &TMainForm::btnInfoClick);
    onClick(MainToolbar::Help, &TMainForm::btnHelpClick);
    onClick(MainToolbar::Close, &TMainForm::btnCloseClick);
    connect(m_chat, &TChatView::hasTextChanged, m_toolbar, &MainToolbar::chatHasText);

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &TMainForm::btnCloseClick);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { m_side->showHelp(kHelpContextTopic); });
}

void TMainForm::createTray() {
    m_tray = new TrayPresence(*this);
    connect(m_tray, &TrayPresence::windowPlaceChanged, this,
            &TMainForm::tellScheduleWhereTheWindowIs);
    connect(m_tray->startWithSystemItem(), &QAction::triggered, this,
            &TMainForm::StartKalventoonstartup1Click);
    connect(m_tray->hideToTrayItem(), &QAction::triggered, this,
            &TMainForm::Hidetothetrayonclose1Click);
    connect(m_tray->closeItem(), &QAction::triggered, this, &TMainForm::Close1Click);
}

// The user's status and the notices of who came and went.
void TMainForm::createStatus() {
    std::unique_ptr<platform::IdleSource> idle =
        m_options.idleSource ? m_options.idleSource()
                             : std::make_unique<desktop::DesktopIdleSource>();
    m_status = new StatusKeeper(
        StatusKeeper::Parts{*this, m_settings, *m_node, *m_tray, *m_dialogs, m_options.settingsPath,
                            [this](const QString& error) { reportError(error); }},
        std::move(idle));
    m_notices = new PresenceNotices(*m_node, *m_chat, m_settings, m_options.greetingBurst, this);
}

void TMainForm::createOptionsApplier() {
    OptionsApplier::WindowHooks hooks;
    hooks.redraw = [this] {
        loadBackground();
        armUpdateTimers();
        update();
    };
    hooks.languageApplied = [this] {
        m_side->setHelpFile(lang::chooseHelpFile(m_settings.languageIndex, m_settings.language,
                                                 m_options.resourceDirectory));
        m_status->retranslate();
        retranslateTransfers();
        FormResize(); // the labels follow their new texts
    };
    hooks.helpWindow = [this] { return m_side->helpWindow(); };
    hooks.reportError = [this](const QString& error) { reportError(error); };
    hooks.showNotice = [this](const QString& text) {
        m_dialogs->showNotice(this, dialogs::Severity::Information, text);
    };
    hooks.showOfflineStatus = [this] { showOfflineStatus(); };
    hooks.settingsApplied = [this] { m_transfers->applySettings(); };
    m_applier = std::make_unique<OptionsApplier>(
        OptionsApplier::Parts{*this, m_settings, *m_node, *m_chat, *m_tray, m_options, m_portInUse},
        std::move(hooks));
}

// The transfers' panel, menus and button; the service itself starts once the settings are
// read (FormCreate).
void TMainForm::createTransfers() {
    m_transfers = std::make_unique<FileTransfers>(FileTransfers::Parts{
        *this, *m_node, *m_chat, m_settings, *m_dialogs, *m_controller->ComputerPopup(),
        [this] { return m_area->currentComputer(); }, m_options.networkPort,
        QFileInfo(m_options.settingsPath).absolutePath(), m_options.transfers});
    connect(m_transfers->panel(), &TransfersPanel::layoutChanged, this, &TMainForm::FormResize);
    // An offer waits for the user: the alerts of a line, the question in its own window.
    connect(m_transfers.get(), &FileTransfers::offerArrived, this,
            [this](const QString& title, const QString& text) {
                m_tray->alertOffer(title, text, m_settings);
            });
    connect(m_transfers.get(), &FileTransfers::offersAnswered, m_tray,
            &TrayPresence::offersAnswered);
    connect(m_toolbar->button(MainToolbar::SendFiles), &QAbstractButton::clicked, this,
            &TMainForm::btnSendFilesClick);
    setAcceptDrops(true);
    m_message->installEventFilter(this);
}

// The daily update check: the window runs it when the schedule says it is due.
void TMainForm::createUpdates() {
    update::UpdateSchedule::Config schedule;
    schedule.settingsPath = m_options.settingsPath;
    schedule.automaticCheckBuilt = m_options.automaticUpdateCheck;
    schedule.today = m_options.today;
    schedule.internetSources = m_options.internetSources;
    m_updateActions =
        new WindowUpdates(WindowUpdates::Parts{*this, m_settings, m_tausta, m_toolbar->kuvat(),
                                               m_options.resourceDirectory, *m_dialogs,
                                               *m_toolbar->button(MainToolbar::Update)},
                          std::move(schedule));
    m_updates = &m_updateActions->schedule();
}

void TMainForm::FormCreate() {
    readSettings();
    restoreWindowPlace(*this, m_settings);
    if (m_settings.showSplashscreen)
        m_splash->show(today(), *m_node);
    m_node->setIdentity(m_settings.identity);
    m_node->setDeliveries(m_settings.deliveries);
    m_node->setFriends(m_settings.friends);
    m_node->setPlainPrivateAllowed(m_settings.plainPrivateLines);
    m_transfers->start();
    m_chat->clear();
    m_tray->showSettings(m_settings);
    m_node->clearList();
    m_defaultBackground = widgets::makeTausta();
    m_tausta = m_defaultBackground;
    loadBackground();

    // A first start asks its three questions before anything is shown (also with "-s").
    if (m_firstRun) {
        m_splash->close();
        runWelcomeWizard();
    }
    // "-s", exactly and in any number, starts the program hidden in the tray.
    const bool startHidden = m_options.arguments.contains(QStringLiteral("-s"));
    if (startHidden)
        HideToTray();
    loadLanguage();
    m_applier->applyChatDisplaySettings();
    m_status->apply();
    loadChatLog();
    restoreUnsentText();
    MessageChange();
    m_chat->ChatChange();
    FormResize();
    m_message->setFocus();
    finishCreation(startHidden);
}

void TMainForm::readSettings() {
    // What saves of a copy killed while writing left beside the files goes first.
    platform::removeStaleTemporaries(m_options.settingsPath);
    platform::removeStaleTemporaries(m_options.autostartEntry);
    m_settings = settings::readAll(m_options.settingsPath, m_options.autostartEntry);
    m_firstRun = m_settings.languageIndexMissing;
}

void TMainForm::loadLanguage() {
    if (m_settings.languageIndex != 0) {
        const QString languageFile = lang::languageFileName(m_settings.language);
        lang::SetCurrentLanguageFile(
            lang::LoadLanguageFile(languageFile, m_options.resourceDirectory));
        platform::trace(
            QStringLiteral("language %1%2")
                .arg(m_options.resourceDirectory + languageFile,
                     lang::CurrentLanguageFile() ? QString() : QStringLiteral(" (not found)")));
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        m_applier->applyLanguageBeyondWindows();
        // Transfers of the last run are shown before the language is loaded.
        retranslateTransfers();
    }
    m_side->setHelpFile(lang::chooseHelpFile(m_settings.languageIndex, m_settings.language,
                                             m_options.resourceDirectory));
}

void TMainForm::retranslateTransfers() {
    m_transfers->panel()->retranslate();
    for (TransferOfferDialog* offer : m_transfers->openOffers())
        offer->retranslate();
    for (SendToDialog* question : m_transfers->openSendTo())
        question->retranslate();
}

// The chat of the last run, from the log, before anything new.
void TMainForm::loadChatLog() {
    platform::removeStaleTemporaries(TChatView::logFilePath(m_settings.saveMessagesPath));
    if (const platform::Result loaded = m_chat->startOfRunContent(
            TChatView::logFilePath(m_settings.saveMessagesPath), m_settings.saveMessagesLog,
            QFont(m_settings.messageFontName, m_settings.messageFontSize));
        !loaded)
        reportError(loaded.error);
    m_chat->setLogBaseline();
    m_logSaver =
        new LogSaver(*m_chat,
                     {[this] { return TChatView::logFilePath(m_settings.saveMessagesPath); },
                      [this] { return m_settings.saveMessagesLog; },
                      [this](const QString& error) { reportError(error); },
                      // A copy killed later catches up from here, not on lines its log
                      // holds already.
                      [this] {
                          if (const QString error = m_node->saveCatchUpMark(); !error.isEmpty())
                              m_dialogs->logError(error);
                      }},
                     this);
}

QString TMainForm::unsentTextPath() const {
    return QFileInfo(m_options.settingsPath).absolutePath() + u'/' + QLatin1String(kUnsentTextFile);
}

// What is written and not sent: the message box, and each big message window whose text
// was never sent or changed since (one the user chose to lose is closed by now).
UnsentText TMainForm::unsentText() const {
    UnsentText text;
    if (!m_message->text().trimmed().isEmpty())
        text.message = m_message->text();
    for (dialogs::TMLineIkkuna* window : findChildren<dialogs::TMLineIkkuna*>())
        if (window->isVisible() && window->hasUnsentText())
            text.bigMessages.append(window->RE()->toPlainText());
    return text;
}

void TMainForm::unsentTextChanged() {
    if (m_unsentKeeper)
        m_unsentKeeper->changed();
}

// What the last end kept goes back where it was written, and the chat says so. From here
// on the text is kept while it is written, so that a copy killed without an end loses
// little of it; not before, or a write would replace what is still to be given back.
void TMainForm::restoreUnsentText() {
    const TakenUnsentText taken = takeUnsentText(unsentTextPath());
    if (!taken.error.isEmpty())
        reportError(taken.error);
    m_unsentKeeper = new UnsentTextKeeper(
        unsentTextPath(), [this] { return unsentText(); },
        [this](const QString& error) { reportError(error); }, this);
    if (taken.text.isEmpty())
        return;
    if (!taken.text.message.isEmpty())
        m_message->setText(taken.text.message);
    for (const QString& big : taken.text.bigMessages) {
        m_side->btnBigMessageClick();
        if (dialogs::TMLineIkkuna* window = m_side->lastBigMessageWindow())
            window->RE()->setPlainText(big);
    }
    m_chat->appendNotice(lang::GetMessageText(lang::MessageId::M181), {});
}

void TMainForm::finishCreation(bool startHidden) {
    // The window is ready: it comes up behind the splash, which stays until it has been
    // seen (a start hidden in the tray has no window to wait for).
    if (startHidden)
        m_splash->close();
    else
        m_splash->closeOnceSeen();
    traceCreation(QStringLiteral("created"));

    // Started hidden in the tray (at login): greet once the creation is over, as the first
    // show would, so that the others list this copy and their lines reach it. Nothing is
    // sent during the creation itself.
    if (startHidden)
        QTimer::singleShot(0, this, [this] {
            if (!isVisible())
                FormShow();
        });
}

QDate TMainForm::today() const {
    return m_options.today ? m_options.today() : QDate::currentDate();
}

void TMainForm::traceCreation(const QString& step) {
    if (m_options.creationTrace)
        m_options.creationTrace(step);
}

// The first-run wizard: its answers go into the settings and the file. It has no cancel;
// whatever it shows when it ends is the answer.
void TMainForm::runWelcomeWizard() {
    traceCreation(QStringLiteral("wizard"));
    dialogs::TWelcomeIkkuna wizard;
    wizard.fillLanguages(m_options.resourceDirectory);
    wizard.setAutomaticCheckAvailable(m_options.automaticUpdateCheck);
    m_dialogs->runModal(wizard);
    m_settings.languageIndex = wizard.languageIndex();
    m_settings.language = wizard.language();
    m_settings.automaticUpdate = wizard.automaticUpdate();
    m_settings.alwaysConnected = wizard.alwaysConnected();
    m_settings.identity = wizard.identity();
    m_settings.languageIndexMissing = false;
    m_node->setIdentity(m_settings.identity);
    if (const auto written = settings::writeFirstRun(m_options.settingsPath, m_settings); !written)
        reportError(written.error);
}

void TMainForm::loadBackground() {
    m_tausta = widgets::chooseBackgroundPicture(m_settings.backgroundIndex, m_settings.background,
                                                m_settings.disableBackground, m_tausta,
                                                m_defaultBackground);
    update();
}

void TMainForm::FormShow() {
    // The walk does not hold up the window: the greeting goes out when it ends.
    m_node->greet();
    armUpdateTimers();
    m_updates->windowShown();
}

void TMainForm::armUpdateTimers() {
    m_updates->follow(m_settings.automaticUpdate, m_settings.alwaysConnected);
}

void TMainForm::tellScheduleWhereTheWindowIs() {
    m_updates->setWindowAway(isMinimized() || m_tray->active());
}

void TMainForm::btnBigMessageClick() {
    m_side->btnBigMessageClick();
}

dialogs::TMLineIkkuna* TMainForm::lastBigMessageWindow() const {
    return m_side->lastBigMessageWindow();
}

void TMainForm::btnInfoClick() {
    m_side->btnInfoClick();
}

void TMainForm::btnTitleAction() {
    HideToTray();
}

void TMainForm::btnUpdateClick() {
    m_updateActions->btnUpdateClick();
}

void TMainForm::TarkistaPaivitykset() {
    m_updateActions->TarkistaPaivitykset();
}

void TMainForm::FormResize() {
    MainLayout layout = computeMainLayout(size());
    // The transfers, when shown, take the foot of the chat: the lines stay above them.
    TransfersPanel* panel = m_transfers ? m_transfers->panel() : nullptr;
    if (panel != nullptr && panel->isVisibleTo(this)) {
        const int height = std::min(panel->wantedHeight(), layout.Chat.height() / 2);
        panel->setGeometry(layout.Chat.left(), layout.Chat.bottom() + 1 - height,
                           layout.Chat.width(), height);
        panel->raise();
        layout.Chat.setHeight(std::max(0, layout.Chat.height() - height - 4));
    }
    m_area->layOut(layout);
    m_toolbar->layOut(layout);
    m_status->layOut(layout, m_area->messageLabelEnd() + 8);
    update();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TMainForm::paintEvent(QPaintEvent*) {
    // KALVENTO_TRACE: when the window was first drawn, as Unix time in milliseconds, so
    // that a benchmark can tell how long the start took.
    if (!m_painted) {
        m_painted = true;
        platform::trace(QStringLiteral("first-paint %1")
                            .arg(std::chrono::duration<double, std::milli>(
                                     std::chrono::system_clock::now().time_since_epoch())
                                     .count(),
                                 0, 'f', 3));
    }
    QPainter painter(this);
    widgets::paintBackground(painter, size(), frameGeometry().size(), m_tausta,
                             m_settings.backgroundStyle, m_settings.disableBackground,
                             uisupport::toQColor(m_settings.backgroundColor, palette()));
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange) {
        platform::trace(isActiveWindow() ? u"window active" : u"window inactive");
        // The user is looking at the chat: the notification has done its work.
        if (m_tray != nullptr && isActiveWindow())
            m_tray->windowActivated();
        // Coming to the window is using the computer.
        if (m_status != nullptr && isActiveWindow())
            m_status->idleMonitor().userActive();
    }
    if (event->type() != QEvent::WindowStateChange)
        return;
    tellScheduleWhereTheWindowIs();
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    // Coming back from the minimized state stops the flashing.
    if ((change->oldState() & Qt::WindowMinimized) && !(windowState() & Qt::WindowMinimized))
        m_tray->stopFlashing();
}

void TMainForm::MessageChange() {
    m_toolbar->messageChanged(m_message->text());
}

void TMainForm::ComputersDblClick(const QModelIndex& entry) {
    m_controller->ComputersDblClick(entry);
}

void TMainForm::showOfflineStatus() {
    const QString port = QString::number(m_options.networkPort);
    m_area->showOfflineStatus(
        lang::FormatMessage(lang::GetMessageText(lang::MessageId::M061), {port}));
    const QString title = windowTitle();
    const QString suffix =
        QStringLiteral(" (") + lang::GetMessageText(lang::MessageId::M063) + u')';
    if (!title.endsWith(suffix))
        setWindowTitle(title + suffix);
    m_tray->setToolTip(m_status->trayToolTip());
    FormResize();
}

bool TMainForm::LahetaViesti(const QStringList& lines, bool multiLine) {
    return m_controller->LahetaViesti(lines, multiLine);
}

void TMainForm::btnSendClick() {
    m_controller->btnSendClick();
}

void TMainForm::btnCommentClick() {
    m_controller->btnCommentClick();
}

void TMainForm::btnPrintClick() {
    m_side->btnPrintClick();
}

void TMainForm::btnHelpClick() {
    m_side->showHelp(0);
}

bool TMainForm::isFriend(int entry) const {
    return m_node->peers().isFriend(entry);
}

void TMainForm::ComputerPopupPopup() {
    m_controller->ComputerPopupPopup();
}

void TMainForm::Addtofriends1Click() {
    m_applier->Addtofriends1Click(m_area->currentComputer());
}

void TMainForm::Removefromfriends1Click() {
    m_applier->Removefromfriends1Click(m_area->currentComputer());
}

void TMainForm::HideToTray() {
    m_tray->HideToTray();
}

void TMainForm::TrayIconDblClick() {
    m_tray->TrayIconDblClick();
}

void TMainForm::btnCloseClick() {
    if (m_settings.hideToTray)
        HideToTray();
    else
        close();
}

void TMainForm::Close1Click() {
    m_closing = true;
    close();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!m_closing && m_settings.hideToTray) {
        event->ignore();
        HideToTray();
        return;
    }
    // A big message still being written asks before it goes with the program; kept, the
    // program stays.
    for (dialogs::TMLineIkkuna* window : findChildren<dialogs::TMLineIkkuna*>()) {
        if (window->isVisible() && window->hasUnsentText() && !window->close()) {
            m_closing = false;
            event->ignore();
            return;
        }
    }
    ShutdownSequence(true);
    event->accept();
    m_tray->remove();
    QCoreApplication::quit();
}

void TMainForm::SessionEnding(bool mayAsk) {
    ShutdownSequence(mayAsk);
}

void TMainForm::ShutdownSequence(bool mayAsk) {
    // Every step runs whatever the one before it did: a failed goodbye must not cost the
    // user the settings or the log.
    QStringList errors = m_node->SendGoodbye().errors;
    const qsizetype goodbyeErrors = errors.size();
    rememberWindowPlace(*this, m_settings);
    if (const auto written = settings::writeClose(m_options.settingsPath, m_settings); !written)
        errors.append(written.error);
    // The keys seen and their replay marks: a copy that forgot them would take a recorded
    // datagram again, and ask about keys it knew.
    if (const QString written = m_node->saveTrustBook(); !written.isEmpty())
        errors.append(written);
    if (const platform::Result written = m_chat->writeBackLog(
            TChatView::logFilePath(m_settings.saveMessagesPath), m_settings.saveMessagesLog);
        !written)
        errors.append(written.error);
    // Before the start has given back what an earlier end kept there is nothing to keep,
    // and the file is left for the next start.
    if (m_unsentKeeper)
        if (const QString error = m_unsentKeeper->keepNow(); !error.isEmpty())
            errors.append(error);
    for (const QString& error : errors)
        m_dialogs->logError(error);
    // The user is leaving: a message box is the last place where a failed save can still
    // be seen. The goodbye's failures are not the user's work and stay on stderr.
    const QStringList unsaved = errors.mid(goodbyeErrors);
    if (mayAsk && !unsaved.isEmpty())
        m_dialogs->showNotice(this, dialogs::Severity::Warning,
                              lang::GetMessageText(lang::MessageId::M064) + u'\n' +
                                  unsaved.join(u'\n'));
}

void TMainForm::StartKalventoonstartup1Click() {
    m_applier->StartKalventoonstartup1Click(action("StartKalventoonstartup1")->isChecked());
}

void TMainForm::Hidetothetrayonclose1Click() {
    m_applier->Hidetothetrayonclose1Click(action("Hidetothetrayonclose1")->isChecked());
}

void TMainForm::btnOptionsClick() {
    dialogs::TOptionsIkkuna options(m_options.resourceDirectory, m_settings, this);
    options.fill(m_settings, QFont(m_settings.messageFontName, m_settings.messageFontSize));
    options.setAutomaticCheckAvailable(m_options.automaticUpdateCheck);
    options.setOwnFingerprint(m_node->ownFingerprint());
    // F1 in the options window opens the help at the options' topic.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), &options);
    connect(f1, &QShortcut::activated, this, [this] { m_side->showHelp(kOptionsHelpTopic); });
    const bool confirmed = m_dialogs->runModal(options) == QDialog::Accepted;
    if (confirmed) {
        const settings::Settings old = m_settings; // applyOptions replaces m_settings
        m_applier->applyOptions(old, options.result(old), options.chosenFont());
        m_status->apply(); // the minutes without use
    }
}

void TMainForm::btnSendFilesClick() {
    m_transfers->sendToTicked(false);
}

HandoffAnswer TMainForm::sendFromCommandLine(const SendRequest& request) {
    return m_transfers->sendFromCommandLine(request);
}

void TMainForm::bringToFront() {
    m_tray->bringBack();
}

void TMainForm::sendWhenListed(const SendRequest& request) {
    m_transfers->sendWhenListed(request);
}

namespace {

// The local files and folders a drag carries; none when it carries anything else.
QStringList droppedPaths(const QMimeData* data) {
    QStringList paths;
    if (data == nullptr || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    return paths;
}

} // namespace

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (!droppedPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
    if (!droppedPaths(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
    const QStringList paths = droppedPaths(event->mimeData());
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    QStringList computers;
    QWidget* viewport = m_computers->viewport();
    const QPoint at = viewport->mapFrom(this, event->position().toPoint());
    if (viewport->rect().contains(at)) {
        const QModelIndex entry = m_computers->indexAt(at);
        if (entry.isValid()) {
            if (!m_node->peers().at(entry.row()).enabled)
                return; // this computer itself
            computers.append(m_node->peers().at(entry.row()).computerName);
        }
    }
    m_transfers->sendPaths(paths, computers);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_message) {
        switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDragMoveEvent*>(event);
            if (droppedPaths(drag->mimeData()).isEmpty())
                break;
            drag->acceptProposedAction();
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            const QStringList paths = droppedPaths(drop->mimeData());
            if (paths.isEmpty())
                break;
            drop->acceptProposedAction();
            m_transfers->sendPaths(paths, {});
            return true;
        }
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::reportError(const QString& error) {
    m_dialogs->reportError(this, error);
}

} // namespace kalvento::app
