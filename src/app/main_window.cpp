#include "app/main_window.h"

#include "app/chat_view.h"
#include "app/main_layout.h"
#include "app/window_placement.h"
#include "desktop/alert_icon.h"
#include "desktop/desktop_notification.h"
#include "desktop/new_message_alert.h"
#include "desktop/program_icon.h"
#include "desktop/sound_player.h"
#include "desktop/tray_icon.h"
#include "desktop/wayland_activation.h"
#include "dialogs/about_box.h"
#include "dialogs/help_window.h"
#include "dialogs/mline_window.h"
#include "dialogs/options_window.h"
#include "dialogs/splash_window.h"
#include "dialogs/update_window.h"
#include "dialogs/user_dialogs.h"
#include "dialogs/welcome_window.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "lang/qt_translation.h"
#include "messaging/mailslot_server.h"
#include "network/datagram_network.h"
#include "platform/atomic_file.h"
#include "platform/paths.h"
#include "platform/system_error.h"
#include "platform/trace.h"
#include "uisupport/apply_language.h"
#include "uisupport/qcolor_mapping.h"
#include "update/inet_detect.h"
#include "update/update_check.h"
#include "update/update_schedule.h"
#include "update/version.h"
#include "widgets/artwork.h"
#include "widgets/background.h"
#include "widgets/cursor_blink_timeout.h"
#include "widgets/glyph_button.h"
#include "widgets/title_button.h"
#include "widgets/toolbar.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>

#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <utility>
#include <variant>

namespace kalvento::app {

using desktop::AlertConditions;
using desktop::AlertIcon;
using desktop::AlertSettings;
using desktop::DesktopNotification;
using desktop::NewMessageAlert;
using desktop::onWayland;
using desktop::programIcon;
using desktop::restoreAndRaise;
using desktop::TTrayIcon;
using widgets::chooseBackgroundPicture;
using widgets::kSplashVersionTop;
using widgets::kuvatBigMessage;
using widgets::kuvatClose;
using widgets::kuvatComment;
using widgets::kuvatHelp;
using widgets::kuvatInfo;
using widgets::kuvatOptions;
using widgets::kuvatPrint;
using widgets::kuvatSend;
using widgets::kuvatUpdate;
using widgets::makeFrendi;
using widgets::makeIkoni1;
using widgets::makeIkoni2;
using widgets::makeSplashPicture;
using widgets::makeTausta;
using widgets::paintBackground;

namespace {

// The nine toolbar buttons: name, hint and the picture at rest.
constexpr std::array<widgets::ToolbarButton, 9> kButtons = {{
    {"btnSend", "Send message (ENTER)", kuvatSend},
    {"btnBigMessage", "Allows you to send big, multilined messages", kuvatBigMessage},
    {"btnComment", "Add as a comment", kuvatComment},
    {"btnPrint", "Print content of the chat", kuvatPrint},
    {"btnUpdate", "Check for Kalvento updates", kuvatUpdate},
    {"btnOptions", "Modify options", kuvatOptions},
    {"btnInfo", "About Kalvento...", kuvatInfo},
    {"btnHelp", "Help on Kalvento (F1)", kuvatHelp},
    {"btnClose", "Close Kalvento (ESC)", kuvatClose},
}};
enum ButtonIndex { iSend, iBigMessage, iComment, iPrint, iUpdate, iOptions, iInfo, iHelp, iClose };

constexpr int kItemHeight = 18;
constexpr int kHelpContextTopic = 101;
constexpr int kOptionsHelpTopic = 105;

// Draws the entries of `Computers` with the friend mark at the right end of a friend's line.
class ComputersDelegate : public QStyledItemDelegate {
public:
    ComputersDelegate(const QImage& mark, QObject* parent)
        : QStyledItemDelegate(parent), m_mark(QPixmap::fromImage(mark)) {}

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (index.data(network::PeerList::FriendRole).toBool())
            painter->drawPixmap(option.rect.right() + 1 - 18, option.rect.top() + 1, m_mark);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kItemHeight};
    }

private:
    QPixmap m_mark;
};

QAction* makeAction(QWidget* owner, const char* name, const QString& caption) {
    auto* action = new QAction(caption, owner);
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

// KALVENTO_TRACE: one line on stderr for each change of the list and each chat line shown,
// so that a test driving real windows can tell what they display.
void installTrace(TMainForm& form) {
    const auto trace = [](const QString& line) { platform::trace(line); };
    trace(QStringLiteral("platform %1, tray %2")
              .arg(QGuiApplication::platformName(), QSystemTrayIcon::isSystemTrayAvailable()
                                                        ? QStringLiteral("available")
                                                        : QStringLiteral("none")));
    if (const widgets::TTitlebtn* title = form.btnTitle())
        trace(QStringLiteral("title-button right %1 top %2 size %3x%4")
                  .arg(title->RightOffset())
                  .arg(title->TopOffset())
                  .arg(title->ButtonWidth())
                  .arg(title->ButtonHeight()));
    // Connected after the window's own handler: a line is traced once it is shown.
    QObject::connect(
        &form.node(), &messaging::ChatNode::chatEvent, &form,
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
            } else if (const auto* withheld = std::get_if<messaging::Withheld>(&event)) {
                // Listed computers that have not confirmed their address, beyond the few a
                // line goes to anyway: forged ones, or copies that answer no walk.
                if (withheld->what == messaging::Sending::Line)
                    trace(QStringLiteral("withheld %1").arg(withheld->count));
            }
        });
}

} // namespace

MainFormOptions defaultMainFormOptions(const QStringList& arguments) {
    MainFormOptions options;
    options.settingsPath = platform::settingsFilePath();
    options.resourceDirectory = platform::resourceDirectory();
    options.executablePath = QCoreApplication::applicationFilePath();
    options.autostartEntry = platform::autostartEntryPath();
    options.arguments = arguments;
    network::UdpNetwork& network = network::systemUdpNetwork();
    options.networkPort = network.config().port;
    options.applyNetworkSettings = [&network](const settings::Settings& chosen) {
        const network::UdpNetworkConfig config =
            network::UdpNetworkConfig::fromSettings(networkSettings(chosen));
        network.setRoutes(config.interfaces, config.peers);
        return config.port != network.config().port;
    };
    return options;
}

network::NetworkSettings networkSettings(const settings::Settings& s) {
    network::NetworkSettings network;
    if (s.networkPort >= 1 && s.networkPort <= 65535)
        network.port = quint16(s.networkPort);
    network.interfaces = s.networkInterfaces;
    network.peers = s.networkPeers;
    return network;
}

TMainForm::TMainForm(network::DatagramNetwork& network, MainFormOptions options, QWidget* parent)
    : QWidget(parent), m_options(std::move(options)), m_network(network) {
    m_dialogs =
        m_options.dialogs
            ? m_options.dialogs
            : std::make_shared<dialogs::MessageBoxes>(QString::fromLatin1(ApplicationTitle));
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromLatin1(ApplicationTitle));
    // Below the design size the chat and the list stop being usable.
    setMinimumSize(kMinimumClientWidth, kMinimumClientHeight);
    // The program's icon on every window it opens (this one, its dialogs, the wizard, the
    // message boxes): they take the application's.
    QApplication::setWindowIcon(programIcon().icon);
    // The chat opens this computer's receiving name and starts receiving at once.
    try {
        m_node = std::make_unique<messaging::ChatNode>(network);
    } catch (const messaging::EMailslotServerError& e) {
        if (e.errorNumber() != EADDRINUSE)
            throw;
        // Another program holds the port: say which one and where to change it, and run
        // without the network so that the user can reach the options.
        m_portInUse = true;
        m_offlineHub = std::make_unique<network::InMemoryHub>();
        m_offlineNetwork = std::make_unique<network::InMemoryNetwork>(
            *m_offlineHub, network.computerName(), network.groupName());
        m_node = std::make_unique<messaging::ChatNode>(*m_offlineNetwork);
        m_node->setOffline(true);
    }
    createComponents();
    createMenus();
    if (qEnvironmentVariableIsSet("KALVENTO_TRACE"))
        installTrace(*this);
    FormCreate();
    if (m_portInUse) {
        showOfflineStatus();
        reportError(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M040),
                                        {QString::number(m_options.networkPort)}));
    }
}

TMainForm::~TMainForm() {
    closeSplash(); // still up when the window goes within its first second
    // The alert icon goes with the window.
    if (m_alertIcon != nullptr)
        m_alertIcon->DeleteIcon();
}

widgets::TGlyphButton* TMainForm::button(const char* name) const {
    return findChild<widgets::TGlyphButton*>(QString::fromLatin1(name));
}

QAction* TMainForm::action(const char* name) const {
    return findChild<QAction*>(QString::fromLatin1(name));
}

void TMainForm::createComponents() {
    m_chat = new TChatView(this);
    m_chat->setObjectName(QStringLiteral("Chat"));
    // The conversation is no text to translate; its hint is.
    m_chat->setProperty(uisupport::TextIsDataProperty, true);

    m_label1 = new QLabel(QStringLiteral("Active computers on LAN:"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setTextFormat(Qt::PlainText);
    m_label1->setAttribute(Qt::WA_TranslucentBackground);

    m_frendi = makeFrendi();
    m_computers = new QListView(this);
    m_computers->setObjectName(QStringLiteral("Computers"));
    m_computers->setProperty(uisupport::TextIsDataProperty, true);
    m_computers->setToolTip(QStringLiteral("Select computers you wish to send a message to"));
    m_computers->setUniformItemSizes(true);
    m_computers->setModel(&m_node->listModel());
    m_computers->setItemDelegate(new ComputersDelegate(m_frendi, m_computers));
    m_computers->setContextMenuPolicy(Qt::CustomContextMenu);
    m_computers->viewport()->installEventFilter(this);
    connect(m_computers, &QListView::doubleClicked, this, &TMainForm::ComputersDblClick);

    m_paneeli = new QFrame(this);
    m_paneeli->setObjectName(QStringLiteral("Paneeli"));
    m_paneeli->setFrameShape(QFrame::StyledPanel);
    m_privaatti = new QCheckBox(QStringLiteral("Send a private message"), m_paneeli);
    m_privaatti->setObjectName(QStringLiteral("Privaatti"));
    m_privaatti->move(8, 8);
    m_privaatti->resize(273, 17);
    m_privaatti->setEnabled(false);

    m_label2 = new QLabel(QStringLiteral("Message:"), this);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->setTextFormat(Qt::PlainText);
    m_label2->setAttribute(Qt::WA_TranslucentBackground);

    m_message = new QLineEdit(this);
    m_message->setObjectName(QStringLiteral("Message"));
    // A line edit keeps 32,767 characters by default and cuts a longer paste without a word;
    // the chat sends any length, in as many datagrams as it takes.
    m_message->setMaxLength(std::numeric_limits<int>::max());
    m_message->installEventFilter(this);

    m_offlineStatus = new QLabel(this);
    m_offlineStatus->setObjectName(QStringLiteral("OfflineStatus"));
    m_offlineStatus->setTextFormat(Qt::PlainText);
    m_offlineStatus->setWordWrap(true);
    m_offlineStatus->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
    m_offlineStatus->hide();

    m_kuvat = widgets::makeKuvat();
    const QList<widgets::TGlyphButton*> toolbar = widgets::makeToolbar(this, kButtons, m_kuvat);
    std::copy(toolbar.begin(), toolbar.end(), m_buttons.begin());

    connect(m_buttons[iSend], &QAbstractButton::clicked, this, &TMainForm::btnSendClick);
    connect(m_buttons[iComment], &QAbstractButton::clicked, this, &TMainForm::btnCommentClick);
    connect(m_buttons[iPrint], &QAbstractButton::clicked, this, &TMainForm::btnPrintClick);
    connect(m_buttons[iHelp], &QAbstractButton::clicked, this, &TMainForm::btnHelpClick);
    connect(m_buttons[iOptions], &QAbstractButton::clicked, this, [this] { btnOptionsClick(); });
    connect(m_buttons[iUpdate], &QAbstractButton::clicked, this, &TMainForm::btnUpdateClick);
    connect(m_buttons[iBigMessage], &QAbstractButton::clicked, this,
            &TMainForm::btnBigMessageClick);
    connect(m_buttons[iInfo], &QAbstractButton::clicked, this, &TMainForm::btnInfoClick);
    connect(m_buttons[iClose], &QAbstractButton::clicked, this, &TMainForm::btnCloseClick);
    // Enter goes the way of the send button, which sends nothing for an empty or blank line.
    connect(m_message, &QLineEdit::returnPressed, this, &TMainForm::btnSendClick);
    connect(m_message, &QLineEdit::textChanged, this, &TMainForm::MessageChange);
    connect(m_chat, &TChatView::hasTextChanged, this, &TMainForm::updateChatEnabling);
    connect(m_chat, &TChatView::historyError, this, &TMainForm::reportError);

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &TMainForm::btnCloseClick);
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(f1, &QShortcut::activated, this, [this] { showHelp(kHelpContextTopic); });

    // What the chat reports: lines, ticks and failures. The list shows itself as the model.
    connect(m_node.get(), &messaging::ChatNode::chatEvent, this, &TMainForm::chatEvent);

    // Tray icon, alert icon and the alert sequence.
    m_trayIcon = new TTrayIcon(this);
    m_trayIcon->SetIcon(programIcon().icon);
    m_trayIcon->SetToolTip(lang::GetMessageText(lang::MessageId::M039));
    connect(m_trayIcon, &TTrayIcon::OnDblClick, this, &TMainForm::TrayIconDblClick);
    m_alertIcon = new AlertIcon(QIcon(QPixmap::fromImage(makeIkoni1())),
                                QIcon(QPixmap::fromImage(makeIkoni2())), this);
    const auto restore = [this] {
        if (m_trayIcon->Active())
            TrayIconDblClick();
        else
            restoreAndRaise(*this);
    };
    connect(m_alertIcon, &AlertIcon::restoreRequested, this, restore);
    m_notification = new DesktopNotification(this);
    connect(m_notification, &DesktopNotification::activated, this, restore);
    auto sound = std::make_shared<desktop::SoundPlayer>();
    NewMessageAlert::Hooks hooks;
    hooks.playSound = [sound](const desktop::SoundChoice& choice) { sound->play(choice); };
    hooks.makeIcon = [this] { m_alertIcon->MakeIcon(); };
    hooks.trayIconActive = [this] { return m_trayIcon->Active(); };
    hooks.restoreFromTray = [this] { TrayIconDblClick(); };
    hooks.restoreAndRaise = [this] { restoreAndRaise(*this); };
    m_alert = new NewMessageAlert(std::move(hooks), this);
    m_alert->setBoxParent(this);

    // The daily update check: its timer and the Internet detector start disabled; showing
    // arms them, and the window runs the check when the schedule says it is due.
    update::UpdateSchedule::Config schedule;
    schedule.settingsPath = m_options.settingsPath;
    schedule.automaticCheckBuilt = m_options.automaticUpdateCheck;
    schedule.today = m_options.today;
    schedule.internetSources = m_options.internetSources;
    m_updates = new update::UpdateSchedule(std::move(schedule), this);
    connect(m_updates, &update::UpdateSchedule::checkDue, this, &TMainForm::TarkistaPaivitykset);

    // A cursor that blinks on while nobody types would wake the program twice a second.
    new widgets::CursorBlinkTimeout(widgets::CursorBlinkTimeout::kDefaultTimeout, this);

    // The extra button by the top right corner: to the tray in one click.
    m_btnTitle = new widgets::TTitlebtn(this);
    m_btnTitle->setToolTip(QStringLiteral("Hide Kalvento to the tray"));
    m_btnTitle->SetAction([this](widgets::TTitlebtn*) { btnTitleAction(); });
    m_btnTitle->SetEnabled(true);
    m_btnTitle->SetVisible(true);
}

void TMainForm::createMenus() {
    m_trayPopUp = new QMenu(this);
    m_trayPopUp->setObjectName(QStringLiteral("TrayPopUp"));
    auto* startup = makeAction(this, "StartKalventoonstartup1", "Start Kalvento on Startup");
    auto* hide = makeAction(this, "Hidetothetrayonclose1", "Hide to the Tray on Close");
    auto* restore = makeAction(this, "Restore1", "Restore");
    auto* close = makeAction(this, "Close1", "Close");
    startup->setCheckable(true);
    hide->setCheckable(true);
    QFont bold = restore->font();
    bold.setBold(true); // the default item
    restore->setFont(bold);
    m_trayPopUp->addAction(startup);
    m_trayPopUp->addAction(hide);
    m_trayPopUp->addSeparator();
    m_trayPopUp->addAction(restore);
    m_trayPopUp->addAction(close);
    m_trayIcon->SetPopupMenu(m_trayPopUp);
    connect(startup, &QAction::triggered, this, &TMainForm::StartKalventoonstartup1Click);
    connect(hide, &QAction::triggered, this, &TMainForm::Hidetothetrayonclose1Click);
    connect(restore, &QAction::triggered, this, &TMainForm::TrayIconDblClick);
    connect(close, &QAction::triggered, this, &TMainForm::Close1Click);

    m_computerPopup = new QMenu(this);
    m_computerPopup->setObjectName(QStringLiteral("ComputerPopup"));
    auto* add = makeAction(this, "Addtofriends1", "Add to friends");
    auto* remove = makeAction(this, "Removefromfriends1", "Remove from friends");
    m_computerPopup->addAction(add);
    m_computerPopup->addAction(remove);
    connect(add, &QAction::triggered, this, &TMainForm::Addtofriends1Click);
    connect(remove, &QAction::triggered, this, &TMainForm::Removefromfriends1Click);
    connect(m_computerPopup, &QMenu::aboutToShow, this, &TMainForm::ComputerPopupPopup);
    connect(m_computers, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { m_computerPopup->popup(m_computers->mapToGlobal(at)); });
}

void TMainForm::FormCreate() {
    // What saves of a copy killed while writing left beside the files goes first.
    platform::removeStaleTemporaries(m_options.settingsPath);
    platform::removeStaleTemporaries(m_options.autostartEntry);
    // The settings; the size of the client area first.
    m_settings = settings::readAll(m_options.settingsPath, m_options.autostartEntry);
    m_firstRun = m_settings.languageIndexMissing;
    resize(m_settings.width, m_settings.height);
    restorePlace();
    if (m_settings.maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
    if (m_settings.showSplashscreen)
        showSplash();

    m_node->setIdentity(m_settings.identity);
    m_node->setDeliveries(m_settings.deliveries);
    m_node->setFriends(m_settings.friends);

    m_chat->clear();
    action("StartKalventoonstartup1")->setChecked(m_settings.startWithSystem);
    action("Hidetothetrayonclose1")->setChecked(m_settings.hideToTray);
    m_trayIcon->SetAlwaysVisible(m_settings.alwaysShowTrayIcon);
    m_node->clearList();

    m_defaultBackground = makeTausta();
    m_tausta = m_defaultBackground;
    loadBackground();

    // A first start asks its three questions before anything is shown (also with "-s").
    if (m_firstRun) {
        closeSplash();
        runWelcomeWizard();
    }

    // "-s", exactly and in any number, starts the program hidden in the tray.
    const bool startHidden = m_options.arguments.contains(QStringLiteral("-s"));
    if (startHidden)
        HideToTray();

    if (m_settings.languageIndex != 0) {
        const QString languageFile = lang::languageFileName(m_settings.language);
        lang::SetCurrentLanguageFile(
            lang::LoadLanguageFile(languageFile, m_options.resourceDirectory));
        platform::trace(
            QStringLiteral("language %1%2")
                .arg(m_options.resourceDirectory + languageFile,
                     lang::CurrentLanguageFile() ? QString() : QStringLiteral(" (not found)")));
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        applyLanguageBeyondWindows();
    }
    m_helpFile = lang::chooseHelpFile(m_settings.languageIndex, m_settings.language,
                                      m_options.resourceDirectory);

    applyChatDisplaySettings();
    platform::removeStaleTemporaries(TChatView::logFilePath(m_settings.saveMessagesPath));
    if (const platform::Result loaded = m_chat->startOfRunContent(
            TChatView::logFilePath(m_settings.saveMessagesPath), m_settings.saveMessagesLog,
            QFont(m_settings.messageFontName, m_settings.messageFontSize));
        !loaded)
        reportError(loaded.error);
    m_chat->setLogBaseline();

    MessageChange();
    m_chat->ChatChange();
    FormResize();
    m_message->setFocus();
    // The window is ready: it comes up behind the splash, which stays until it has been
    // seen (a start hidden in the tray has no window to wait for).
    if (startHidden)
        closeSplash();
    else
        closeSplashOnceSeen();
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

void TMainForm::applyLanguageBeyondWindows() {
    // The tray's tip and Qt's own dialogs speak the language too.
    m_trayIcon->SetToolTip(lang::GetMessageText(lang::MessageId::M039));
    lang::installQtTranslation(lang::CurrentLanguageFile().get());
    if (m_portInUse)
        showOfflineStatus();
}

QDate TMainForm::today() const {
    return m_options.today ? m_options.today() : QDate::currentDate();
}

void TMainForm::traceCreation(const QString& step) {
    if (m_options.creationTrace)
        m_options.creationTrace(step);
}

void TMainForm::restorePlace() {
    // A Wayland compositor places windows itself and tells no place.
    if (onWayland())
        return;
    QList<ScreenArea> screens;
    for (const QScreen* each : QGuiApplication::screens())
        screens.append(
            {each->name(), each->availableGeometry(), each == QGuiApplication::primaryScreen()});
    move(placeWindow(m_settings.position, m_settings.screen, size(), screens));
}

void TMainForm::showSplash() {
    m_splashClock.start();
    m_splash = new dialogs::TOdota(makeSplashPicture(), kSplashVersionTop, today());
    // The splash waits for the window system to show it. Datagrams that arrive meanwhile
    // wait too, as they do for the rest of the creation, so that nothing is shown before
    // the chat and the list are ready.
    m_node->pauseReception();
    m_splash->FormShow();
    m_node->resumeReception();
    traceCreation(QStringLiteral("splash shown"));
}

void TMainForm::closeSplashOnceSeen() {
    if (m_splash == nullptr)
        return;
    // The creation takes a few tens of milliseconds: the splash stays long enough to be seen,
    // while the window, ready, comes up behind it and takes what arrives.
    const auto shown = std::chrono::milliseconds(m_splashClock.elapsed());
    if (shown >= m_options.splashMinimum)
        closeSplash();
    else
        QTimer::singleShot(m_options.splashMinimum - shown, this, &TMainForm::closeSplash);
}

void TMainForm::closeSplash() {
    if (m_splash == nullptr)
        return;
    m_splash->close();
    delete m_splash;
    m_splash = nullptr;
    traceCreation(QStringLiteral("splash closed"));
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
    m_tausta = chooseBackgroundPicture(m_settings.backgroundIndex, m_settings.background,
                                       m_settings.disableBackground, m_tausta, m_defaultBackground);
    update();
}

void TMainForm::applyChatDisplaySettings() {
    ChatDisplaySettings display;
    display.showMessageTime = m_settings.showMessageTime;
    display.showSenderName = m_settings.showSenderName;
    display.ownColor = uisupport::toQColor(m_settings.ownMessageColor, palette());
    display.otherColor = uisupport::toQColor(m_settings.otherMessageColor, palette());
    display.privateColor = uisupport::toQColor(m_settings.privateMessageColor, palette());
    display.privateItalic = m_settings.showPrivateItalic;
    m_chat->setDisplaySettings(display);
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
    m_updates->setWindowAway(isMinimized() || m_trayIcon->Active());
}

// ---- Updates ------------------------------------------------------------------------

std::unique_ptr<dialogs::TUpdateIkkuna> TMainForm::makeUpdateWindow() {
    return std::make_unique<dialogs::TUpdateIkkuna>(m_settings, m_tausta, m_kuvat,
                                                    m_options.resourceDirectory, *m_dialogs, this);
}

void TMainForm::btnBigMessageClick() {
    dialogs::TMLineIkkuna::Host host;
    host.send = [this](const QStringList& lines) { return LahetaViesti(lines, true); };
    host.paintBackground = [this](QPainter& painter, const QWidget& window) {
        paintBackground(painter, window.size(), window.frameGeometry().size(), m_tausta,
                        m_settings.backgroundStyle, m_settings.disableBackground,
                        uisupport::toQColor(m_settings.backgroundColor, palette()));
    };
    host.chatFont = QFont(m_settings.messageFontName, m_settings.messageFontSize);
    host.color = uisupport::toQColor(m_settings.backgroundColor, palette());
    host.kuvat = m_kuvat;
    host.translate = m_settings.languageIndex != 0;
    host.today = [this] { return today(); };
    // A window of its own that frees itself when closed; several may be open.
    auto* window = new dialogs::TMLineIkkuna(std::move(host), this);
    m_mline = window;
    window->show();
}

dialogs::TMLineIkkuna* TMainForm::lastBigMessageWindow() const {
    return m_mline.data();
}

void TMainForm::btnInfoClick() {
    dialogs::TAboutBox box(m_defaultBackground, programIcon().icon.pixmap(64, 64).toImage(),
                           update::GetVersion(), today(), this);
    m_dialogs->runModal(box);
}

void TMainForm::btnTitleAction() {
    HideToTray();
}

void TMainForm::btnUpdateClick() {
    const std::unique_ptr<dialogs::TUpdateIkkuna> window = makeUpdateWindow();
    m_dialogs->runModal(*window);
}

void TMainForm::TarkistaPaivitykset() {
    // The button would open a window beside the check while it waits for the server.
    m_buttons[iUpdate]->setEnabled(false);
    update::UpdateCheck check;
    update::UpdateCheckHooks hooks;
    hooks.runCheck = [&] { return check.run(m_settings); };
    hooks.askResetCounter = [this](int count) {
        return askQuestion(dialogs::Severity::Warning,
                           lang::FormatMessage(lang::GetMessageText(lang::MessageId::M003),
                                               {QString::number(count)}));
    };
    hooks.askShowNewer = [this] {
        return askQuestion(dialogs::Severity::Information,
                           lang::GetMessageText(lang::MessageId::M002));
    };
    hooks.showNewer = [&] {
        const std::unique_ptr<dialogs::TUpdateIkkuna> window = makeUpdateWindow();
        window->showCheck(check);
        m_dialogs->runModal(*window);
    };
    hooks.reportError = [this](const QString& error) { reportError(error); };
    m_updates->TarkistaPaivitykset(hooks);
    m_buttons[iUpdate]->setEnabled(true);
}

bool TMainForm::askQuestion(dialogs::Severity severity, const QString& text) {
    platform::trace(QStringLiteral("question ") + text);
    return m_dialogs->askQuestion(this, severity, text);
}

void TMainForm::FormResize() {
    const MainLayout layout = computeMainLayout(size());
    m_chat->setGeometry(layout.Chat);
    // Labels keep their place; their width follows the text, which this desktop's fonts may
    // make wider than the layout's.
    m_label1->setGeometry(QRect(layout.Label1.topLeft(),
                                QSize(std::max(layout.Label1.width(), m_label1->sizeHint().width()),
                                      layout.Label1.height() + 3)));
    QRect computers = layout.Computers;
    if (m_offlineStatus->isVisible()) {
        // The status takes the foot of the list's place, where the user looks for the others.
        const int height =
            std::min(computers.height() / 2, m_offlineStatus->heightForWidth(computers.width()));
        m_offlineStatus->setGeometry(computers.left(), computers.bottom() + 1 - height,
                                     computers.width(), height);
        computers.setHeight(computers.height() - height - 2);
    }
    m_computers->setGeometry(computers);
    m_paneeli->setGeometry(layout.Paneeli);
    m_label2->setGeometry(QRect(layout.Label2.topLeft(),
                                QSize(std::max(layout.Label2.width(), m_label2->sizeHint().width()),
                                      layout.Label2.height() + 3)));
    m_message->setGeometry(layout.Message);
    const auto rects = layout.buttons();
    for (size_t i = 0; i < m_buttons.size(); ++i)
        m_buttons[i]->setGeometry(rects[i]);
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
    paintBackground(painter, size(), frameGeometry().size(), m_tausta, m_settings.backgroundStyle,
                    m_settings.disableBackground,
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
        if (m_notification && isActiveWindow())
            m_notification->close();
    }
    if (event->type() != QEvent::WindowStateChange)
        return;
    tellScheduleWhereTheWindowIs();
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    // Coming back from the minimized state stops the flashing.
    if ((change->oldState() & Qt::WindowMinimized) && !(windowState() & Qt::WindowMinimized))
        m_alertIcon->DeleteIcon();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_message && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() == Qt::NoModifier &&
            (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) &&
            recallSentLine(key->key() == Qt::Key_Up ? -1 : 1))
            return true;
    }
    // A right click selects the entry under the pointer, so the popup acts on it.
    if (watched == m_computers->viewport() && event->type() == QEvent::MouseButtonPress) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            // Through the selection model: the own entry, which is not enabled, too.
            if (const QModelIndex entry = m_computers->indexAt(mouse->position().toPoint());
                entry.isValid())
                m_computers->selectionModel()->setCurrentIndex(entry,
                                                               QItemSelectionModel::ClearAndSelect);
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMainForm::MessageChange() {
    const QString text = m_message->text();
    // A line of blanks says nothing: it is not sent.
    m_buttons[iSend]->setEnabled(!text.trimmed().isEmpty());
    m_buttons[iComment]->setEnabled(!text.isEmpty());
    // Typing leaves the lines sent before; Up starts from the last again.
    if (m_recalled < m_sentLines.size() && text != m_sentLines[m_recalled])
        m_recalled = m_sentLines.size();
}

bool TMainForm::recallSentLine(int step) {
    if (m_sentLines.isEmpty())
        return false;
    // Up recalls only into an empty box or over a line it recalled itself, so that nothing
    // the user is writing is replaced.
    const bool showingRecalled =
        m_recalled < m_sentLines.size() && m_message->text() == m_sentLines[m_recalled];
    if (!showingRecalled && !m_message->text().isEmpty())
        return false;
    const qsizetype next = m_recalled + step;
    if (next < 0)
        return true; // the oldest stays
    if (next >= m_sentLines.size()) {
        if (showingRecalled) {
            m_recalled = m_sentLines.size();
            m_message->clear();
        }
        return true;
    }
    m_recalled = next;
    m_message->setText(m_sentLines[next]);
    return true;
}

void TMainForm::ComputersDblClick(const QModelIndex& entry) {
    if (!entry.isValid() || !m_node->tickAlone(entry.row()))
        return;
    m_privaatti->setChecked(true);
    m_message->setFocus();
}

void TMainForm::showOfflineStatus() {
    const QString port = QString::number(m_options.networkPort);
    m_offlineStatus->setText(
        lang::FormatMessage(lang::GetMessageText(lang::MessageId::M061), {port}));
    m_offlineStatus->show();
    const QString title = windowTitle();
    const QString suffix =
        QStringLiteral(" (") + lang::GetMessageText(lang::MessageId::M063) + u')';
    if (!title.endsWith(suffix))
        setWindowTitle(title + suffix);
    m_trayIcon->SetToolTip(lang::GetMessageText(lang::MessageId::M039) + suffix);
    FormResize();
}

void TMainForm::updateChatEnabling(bool hasText) {
    m_buttons[iPrint]->setEnabled(hasText);
}

bool TMainForm::LahetaViesti(const QStringList& lines, bool multiLine) {
    // The chat decides who gets it; failures come as events and are reported there.
    const messaging::LineOutcome outcome = m_node->send(lines, multiLine, m_privaatti->isChecked());
    switch (outcome.status) {
    case messaging::LineOutcome::Status::Refused:
        reportError(lang::GetMessageText(lang::MessageId::M060));
        break;
    case messaging::LineOutcome::Status::Offline: {
        // Nothing can leave: the line is shown as not sent, never as said.
        const QString mark = lang::FormatMessage(lang::GetMessageText(lang::MessageId::M062),
                                                 {QString::number(m_options.networkPort)});
        for (const messaging::OutgoingMessage& message : outcome.messages)
            m_chat->appendUnsent(m_node->ownName(), message.lines, mark);
        break;
    }
    case messaging::LineOutcome::Status::Sent:
        // A private line is shown here: it does not come back. A failed send to one of the
        // recipients does not hide what went to the others; one that reached nobody is not
        // shown as said. Each message shows as it went out.
        if (outcome.showsEcho()) {
            for (const messaging::OutgoingMessage& message : outcome.messages)
                m_chat->appendPrivateEcho(outcome.recipients, message.lines.value(0),
                                          message.multiLine, message.lines);
        }
        break;
    }
    return outcome.accepted();
}

void TMainForm::chatEvent(const messaging::ChatEvent& event) {
    if (const auto* received = std::get_if<messaging::LineReceived>(&event)) {
        TerminaaliNewMessage(received->line);
    } else if (const auto* ticks = std::get_if<messaging::TicksChanged>(&event)) {
        // `Privaatti` is enabled exactly while an entry is ticked.
        m_privaatti->setEnabled(ticks->ticked > 0);
    } else if (const auto* failed = std::get_if<messaging::SendFailed>(&event)) {
        // The goodbye's failures are the shutdown's to report, with what else went wrong.
        if (failed->what != messaging::Sending::Goodbye)
            reportError(failed->error);
    } else if (const auto* walk = std::get_if<messaging::WalkFailed>(&event)) {
        // Whatever the walk found is still greeted.
        reportError(walk->error);
    } else if (const auto* reception = std::get_if<messaging::ReceptionFailed>(&event)) {
        qWarning("kalvento: reception: %s", qPrintable(reception->error));
    }
}

void TMainForm::btnSendClick() {
    const QString text = m_message->text();
    m_message->setFocus();
    if (text.trimmed().isEmpty())
        return; // nothing to say, as the greyed button shows
    // A line that reached nobody stays in the box to be sent again.
    if (!LahetaViesti({text}, false))
        return;
    if (m_sentLines.isEmpty() || m_sentLines.last() != text)
        m_sentLines.append(text);
    constexpr qsizetype kRecallDepth = 100;
    if (m_sentLines.size() > kRecallDepth)
        m_sentLines.removeFirst();
    m_recalled = m_sentLines.size();
    m_message->clear();
}

void TMainForm::btnCommentClick() {
    m_chat->appendComment(m_message->text());
    m_message->clear();
    m_message->setFocus();
}

void TMainForm::btnPrintClick() {
    QPrinter printer;
    QPrintDialog dialog(&printer, this);
    dialog.setObjectName(QStringLiteral("PrintDialog"));
    if (m_dialogs->runModal(dialog) == QDialog::Accepted)
        m_chat->print(&printer);
}

void TMainForm::btnHelpClick() {
    showHelp(0);
}

void TMainForm::showHelp(int topic) {
    if (!m_helpWindow)
        m_helpWindow = new dialogs::THelpWindow(this);
    m_helpWindow->showHelp(m_helpFile, topic);
}

void TMainForm::TerminaaliNewMessage(const messaging::ReceivedLine& line) {
    const bool mayAlert = m_chat->appendReceived(line);
    if (!mayAlert)
        return;
    // The window manager marks a window the user is not in (its task button, say).
    if (isVisible() && !isActiveWindow())
        QApplication::alert(this);
    AlertConditions conditions;
    conditions.trayIconActive = m_trayIcon->Active();
    conditions.windowMinimized = isMinimized();
    conditions.applicationActive = QApplication::activeWindow() != nullptr;
    conditions.showAlert = m_settings.showAlert;
    if (alertDue(conditions)) {
        m_alert->run(AlertSettings::from(m_settings));
        if (m_settings.desktopNotification)
            m_notification->show(line.senderName, line.text);
    }
}

bool TMainForm::isFriend(int entry) const {
    return m_node->peers().isFriend(entry);
}

int TMainForm::currentComputer() const {
    const QModelIndex current = m_computers->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void TMainForm::ComputerPopupPopup() {
    const int row = currentComputer();
    const bool selected = row >= 0 && row < m_node->peers().count();
    action("Addtofriends1")->setEnabled(selected && !isFriend(row));
    action("Removefromfriends1")->setEnabled(selected && isFriend(row));
}

void TMainForm::Addtofriends1Click() {
    const int row = currentComputer();
    if (row < 0 || row >= m_node->peers().count())
        return;
    QStringList friends = m_settings.friends;
    friends.append(m_node->peers().at(row).identity);
    m_settings.friends = settings::normalizeFriends(friends);
    m_node->setFriends(m_settings.friends);
    writeFriends();
}

// Friends are the user's work: they go to the file when they change, so that a crash or a
// kill before the end does not lose them.
void TMainForm::writeFriends() {
    if (const auto written = settings::writeFriendsSection(m_options.settingsPath, m_settings);
        !written)
        reportError(written.error);
}

void TMainForm::Removefromfriends1Click() {
    const int row = currentComputer();
    if (row < 0 || row >= m_node->peers().count())
        return;
    const QString identity = m_node->peers().at(row).identity;
    m_settings.friends.removeIf(
        [&](const QString& f) { return f.compare(identity, Qt::CaseInsensitive) == 0; });
    m_node->setFriends(m_settings.friends);
    writeFriends();
}

void TMainForm::HideToTray() {
    hideToTray(*this, *m_trayIcon);
    tellScheduleWhereTheWindowIs();
}

void TMainForm::TrayIconDblClick() {
    // The icon shown beside the window (always in the tray) brings it forward.
    if (!m_trayIcon->Active() && isVisible() && !isMinimized())
        restoreAndRaise(*this);
    else
        restoreFromTray(*this, *m_trayIcon);
    tellScheduleWhereTheWindowIs();
    m_alertIcon->DeleteIcon();
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
    ShutdownSequence(true);
    event->accept();
    m_trayIcon->SetActive(false);
    m_alertIcon->DeleteIcon();
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
    m_settings.maximized = isMaximized();
    if (!m_settings.maximized) {
        m_settings.width = width();
        m_settings.height = height();
        // The place, on X11; a Wayland compositor tells none, and the file keeps the last.
        if (!onWayland()) {
            m_settings.position = pos();
            m_settings.screen = screen() != nullptr ? screen()->name() : QString();
        }
    }
    if (const auto written = settings::writeClose(m_options.settingsPath, m_settings); !written)
        errors.append(written.error);
    if (const platform::Result written = m_chat->writeBackLog(
            TChatView::logFilePath(m_settings.saveMessagesPath), m_settings.saveMessagesLog);
        !written)
        errors.append(written.error);
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
    QAction* item = action("StartKalventoonstartup1");
    m_settings.startWithSystem = item->isChecked();
    // The check mark shows what was asked; a refusal is said, so that nobody counts on a
    // start at login that will not come.
    if (const platform::Result changed = settings::setStartWithSystem(
            m_settings.startWithSystem, m_options.executablePath, m_options.autostartEntry);
        !changed)
        reportError(changed.error);
}

void TMainForm::Hidetothetrayonclose1Click() {
    m_settings.hideToTray = action("Hidetothetrayonclose1")->isChecked();
    if (const auto written =
            settings::writeHideToTray(m_options.settingsPath, m_settings.hideToTray);
        !written)
        reportError(written.error);
}

// ---- The options window ------------------------------------------------------------

void TMainForm::btnOptionsClick() {
    dialogs::TOptionsIkkuna options(m_options.resourceDirectory, m_settings, this);
    options.fill(m_settings, QFont(m_settings.messageFontName, m_settings.messageFontSize));
    options.setAutomaticCheckAvailable(m_options.automaticUpdateCheck);
    // F1 in the options window opens the help at the options' topic.
    auto* f1 = new QShortcut(QKeySequence(Qt::Key_F1), &options);
    connect(f1, &QShortcut::activated, this, [this] { showHelp(kOptionsHelpTopic); });
    const bool confirmed = m_dialogs->runModal(options) == QDialog::Accepted;
    if (confirmed) {
        const settings::Settings old = m_settings; // applyOptions replaces m_settings
        applyOptions(old, options.result(old), options.chosenFont());
    }
}

void TMainForm::applyOptions(const settings::Settings& old, const settings::Settings& chosen,
                             const QFont& font) {
    // The values, friends included. An emptied folder means the default one, as it will
    // when the file is read again.
    m_settings = chosen;
    const settings::Settings defaults =
        settings::Settings::defaults(QFileInfo(m_options.settingsPath).absolutePath());
    if (m_settings.saveMessagesPath.isEmpty())
        m_settings.saveMessagesPath = defaults.saveMessagesPath;
    if (m_settings.saveUpdateDirectory.isEmpty())
        m_settings.saveUpdateDirectory = defaults.saveUpdateDirectory;
    applyChatDisplaySettings();
    m_node->setDeliveries(m_settings.deliveries);
    m_node->setFriends(m_settings.friends);

    m_chat->applyChatFont(font);
    action("StartKalventoonstartup1")->setChecked(m_settings.startWithSystem);
    action("Hidetothetrayonclose1")->setChecked(m_settings.hideToTray);
    m_trayIcon->SetAlwaysVisible(m_settings.alwaysShowTrayIcon);

    // New peers and interfaces are used at once, and greeted so that they list this copy;
    // a new port takes a new start.
    const bool routesChanged = m_settings.networkInterfaces != old.networkInterfaces ||
                               m_settings.networkPeers != old.networkPeers;
    const bool portChanged = m_settings.networkPort != old.networkPort;
    if (routesChanged || portChanged) {
        const bool restart =
            m_options.applyNetworkSettings ? m_options.applyNetworkSettings(m_settings) : true;
        if (routesChanged && !m_portInUse)
            m_node->greet();
        if (portChanged && restart)
            showNotice(lang::GetMessageText(lang::MessageId::M041));
    }

    // Letter case counts: others show the identity as it is spelt.
    if (m_settings.identity != old.identity) {
        m_node->announceIdentity(m_settings.identity); // failures come as events
    }

    if (dialogs::languageChange(old, m_settings) == dialogs::LanguageChange::Apply)
        applyLanguageToOpenWindows();

    loadBackground();
    armUpdateTimers();
    update();

    if (const auto written = settings::writeAll(m_options.settingsPath, m_settings,
                                                m_options.executablePath, m_options.autostartEntry);
        !written)
        reportError(written.error);
}

void TMainForm::applyLanguageToOpenWindows() {
    // The built-in English has no file: every window goes back to its own texts.
    lang::SetCurrentLanguageFile(
        m_settings.languageIndex == 0
            ? nullptr
            : lang::LoadLanguageFile(lang::languageFileName(m_settings.language),
                                     m_options.resourceDirectory));
    const lang::LanguageFile* file = lang::CurrentLanguageFile().get();
    uisupport::ApplyLanguage(this, file);
    // The other windows that are open (the big message windows, the options window that
    // chose the language); the help turns to the language's file.
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window != this && window->parentWidget() == this &&
            qobject_cast<QMenu*>(window) == nullptr && window != m_helpWindow)
            uisupport::ApplyLanguage(window, file);
    applyLanguageBeyondWindows();
    m_helpFile = lang::chooseHelpFile(m_settings.languageIndex, m_settings.language,
                                      m_options.resourceDirectory);
    if (m_helpWindow)
        m_helpWindow->setHelpFile(m_helpFile);
    FormResize(); // the labels follow their new texts
}

void TMainForm::showNotice(const QString& text) {
    m_dialogs->showNotice(this, dialogs::Severity::Information, text);
}

// ---- Errors -------------------------------------------------------------------------

void TMainForm::reportErrors(const QStringList& errors) {
    for (const QString& error : errors)
        reportError(error);
}

void TMainForm::reportError(const QString& error) {
    m_dialogs->reportError(this, error);
}

} // namespace kalvento::app
