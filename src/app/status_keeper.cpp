#include "app/status_keeper.h"

#include "app/main_layout.h"
#include "app/tray_presence.h"
#include "dialogs/user_dialogs.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "messaging/chat_node.h"
#include "platform/idle_monitor.h"
#include "platform/trace.h"
#include "settings/settings_store.h"
#include "uisupport/apply_language.h"

#include <QAction>
#include <QActionGroup>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QTextBoundaryFinder>
#include <QToolButton>

#include <chrono>
#include <utility>

namespace kalvento::app {

using network::PeerPresence;

namespace {

constexpr int kButtonHeight = 18;

PeerPresence chosenIn(const settings::Settings& settings) {
    switch (settings.status) {
    case 1:
        return PeerPresence::Away;
    case 2:
        return PeerPresence::Busy;
    default:
        return PeerPresence::Available;
    }
}

int settingOf(PeerPresence status) {
    return status == PeerPresence::Away ? 1 : status == PeerPresence::Busy ? 2 : 0;
}

} // namespace

QString statusWord(PeerPresence status) {
    switch (status) {
    case PeerPresence::Available:
        return lang::GetMessageText(lang::MessageId::M093);
    case PeerPresence::Away:
        return lang::GetMessageText(lang::MessageId::M094);
    case PeerPresence::Busy:
        return lang::GetMessageText(lang::MessageId::M095);
    case PeerPresence::Absent:
    case PeerPresence::Gone:
        break;
    }
    return {};
}

QColor statusColor(PeerPresence status) {
    switch (status) {
    case PeerPresence::Available:
        return {0x2E, 0xA0, 0x43};
    case PeerPresence::Away:
        return {0xE0, 0xA0, 0x10};
    case PeerPresence::Busy:
        return {0xD0, 0x30, 0x30};
    case PeerPresence::Absent:
    case PeerPresence::Gone:
        break;
    }
    return {0xA0, 0xA0, 0xA0};
}

QIcon statusIcon(PeerPresence status, int size) {
    QPixmap dot(size, size);
    dot.fill(Qt::transparent);
    QPainter painter(&dot);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(statusColor(status).darker(140));
    painter.setBrush(statusColor(status));
    painter.drawEllipse(QRectF(1, 1, size - 2, size - 2));
    return QIcon(dot);
}

QString statusToolTip(PeerPresence status, const QString& text) {
    QString word = statusWord(status);
    if (word.isEmpty() || text.isEmpty())
        return word;
    return word + QStringLiteral(": ") + text;
}

QString cutStatusText(const QString& text, int maxBytes) {
    if (text.toUtf8().size() <= maxBytes)
        return text;
    QTextBoundaryFinder characters(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (qsizetype next = characters.toNextBoundary(); next > 0;
         next = characters.toNextBoundary()) {
        if (QStringView(text).left(next).toUtf8().size() > maxBytes)
            break;
        end = next;
    }
    return text.left(end);
}

StatusKeeper::StatusKeeper(Parts parts, std::unique_ptr<platform::IdleSource> source)
    : QObject(&parts.window), m_parts(std::move(parts)), m_source(std::move(source)) {
    m_monitor = std::make_unique<platform::IdleMonitor>(*m_source);
    connect(m_monitor.get(), &platform::IdleMonitor::awayChanged, this, [this](bool away) {
        platform::trace(away ? u"status away by itself" : u"status back");
        publish();
    });
    createMenu();
}

StatusKeeper::~StatusKeeper() = default;

void StatusKeeper::createMenu() {
    QWidget& window = m_parts.window;
    m_menu = new QMenu(QStringLiteral("Status"), &window);
    m_menu->setObjectName(QStringLiteral("Status1"));
    m_group = new QActionGroup(m_menu);
    const auto item = [&](const char* name, PeerPresence status) {
        auto* action = new QAction(statusIcon(status), statusWord(status), &window);
        action->setObjectName(QString::fromLatin1(name));
        action->setCheckable(true);
        m_group->addAction(action);
        m_menu->addAction(action);
        connect(action, &QAction::triggered, this, [this, status] { choose(status); });
        return action;
    };
    m_available = item("StatusAvailable1", PeerPresence::Available);
    m_away = item("StatusAway1", PeerPresence::Away);
    m_busy = item("StatusBusy1", PeerPresence::Busy);
    m_menu->addSeparator();
    m_text = new QAction(QStringLiteral("Status text..."), &window);
    m_text->setObjectName(QStringLiteral("Statustext1"));
    m_menu->addAction(m_text);
    connect(m_text, &QAction::triggered, this, &StatusKeeper::askStatusText);

    m_button = new QToolButton(&window);
    m_button->setObjectName(QStringLiteral("StatusButton"));
    // Its text and tip are the status's, set as it changes, not the form's to translate.
    m_button->setProperty(uisupport::TextIsDataProperty, true);
    m_button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_button->setPopupMode(QToolButton::InstantPopup);
    m_button->setAutoRaise(true);
    m_button->setMenu(m_menu);
    m_parts.tray.addStatusMenu(m_menu);
}

PeerPresence StatusKeeper::shown() const {
    return awayByItself() ? PeerPresence::Away : chosenIn(m_parts.settings);
}

bool StatusKeeper::awayByItself() const {
    return m_monitor->away() && chosenIn(m_parts.settings) != PeerPresence::Away;
}

void StatusKeeper::apply() {
    // A file edited by hand may hold more than a sign of life carries: the others get
    // what it can carry, and so does the file at the next save.
    m_parts.settings.statusText = cutStatusText(m_parts.settings.statusText.simplified(),
                                                messaging::ChatNode::kMaxStatusText);
    m_monitor->setLimit(std::chrono::minutes(m_parts.settings.awayAfterMinutes));
    retranslate();
}

void StatusKeeper::choose(PeerPresence status) {
    m_parts.settings.status = settingOf(status);
    // Choosing is using the computer.
    m_monitor->userActive();
    save();
    publish();
}

void StatusKeeper::setStatusText(const QString& text) {
    const QString simplified = text.simplified();
    const QString cut = cutStatusText(simplified, messaging::ChatNode::kMaxStatusText);
    if (cut != simplified)
        m_parts.dialogs.showNotice(
            &m_parts.window, dialogs::Severity::Information,
            lang::FormatMessage(lang::GetMessageText(lang::MessageId::M097), {cut}));
    m_parts.settings.statusText = cut;
    save();
    publish();
}

void StatusKeeper::askStatusText() {
    QInputDialog dialog(&m_parts.window);
    dialog.setObjectName(QStringLiteral("StatusTextDialog"));
    dialog.setWindowTitle(statusWord(chosenIn(m_parts.settings)));
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setLabelText(
        lang::FormatMessage(lang::GetMessageText(lang::MessageId::M096),
                            {QString::number(messaging::ChatNode::kMaxStatusText)}));
    dialog.setTextValue(m_parts.settings.statusText);
    if (m_parts.dialogs.runModal(dialog) == QDialog::Accepted)
        setStatusText(dialog.textValue());
}

void StatusKeeper::retranslate() {
    m_available->setText(statusWord(PeerPresence::Available));
    m_away->setText(statusWord(PeerPresence::Away));
    m_busy->setText(statusWord(PeerPresence::Busy));
    publish();
}

void StatusKeeper::layOut(const MainLayout& layout, int leftmost) {
    const int right = layout.Computers.right();
    m_place = QRect(QPoint(std::min(leftmost, right), layout.Message.top() - kButtonHeight - 1),
                    QPoint(right, layout.Message.top() - 2));
    place();
}

void StatusKeeper::place() {
    if (m_place.isNull())
        return; // not laid out yet
    const int width = std::min(m_button->sizeHint().width(), m_place.width());
    m_button->setGeometry(m_place.right() + 1 - width, m_place.top(), width, m_place.height());
}

QString StatusKeeper::trayToolTip() const {
    QString tip = lang::GetMessageText(lang::MessageId::M039);
    if (m_parts.node.offline())
        tip += QStringLiteral(" (") + lang::GetMessageText(lang::MessageId::M063) + u')';
    return tip + u'\n' + statusToolTip(shown(), m_parts.settings.statusText);
}

void StatusKeeper::publish() {
    const PeerPresence status = shown();
    m_parts.node.setStatus(status, m_parts.settings.statusText);
    const PeerPresence chosen = chosenIn(m_parts.settings);
    m_available->setChecked(chosen == PeerPresence::Available);
    m_away->setChecked(chosen == PeerPresence::Away);
    m_busy->setChecked(chosen == PeerPresence::Busy);
    m_button->setIcon(statusIcon(status));
    m_button->setText(statusWord(status));
    place(); // a longer word takes more room
    m_button->setToolTip(
        uisupport::plainToolTip(statusToolTip(status, m_parts.settings.statusText)));
    m_parts.tray.setToolTip(trayToolTip());
}

void StatusKeeper::save() {
    if (const auto written = settings::writeStatus(m_parts.settingsPath, m_parts.settings);
        !written)
        m_parts.reportError(written.error);
}

} // namespace kalvento::app
