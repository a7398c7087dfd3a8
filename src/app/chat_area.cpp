#include "app/chat_area.h"

#include "app/chat_view.h"
#include "app/main_layout.h"
#include "app/status_keeper.h"
#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "network/peer_list.h"
#include "platform/text_codec.h"
#include "uisupport/apply_language.h"
#include "widgets/artwork.h"

#include <QCheckBox>
#include <QFrame>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMouseEvent>
#include <QPainter>
#include <QStyledItemDelegate>
#include <QTextDocument>
#include <QToolTip>

#include <algorithm>
#include <limits>

namespace kalvento::app {

namespace {

constexpr int kItemHeight = 18;
constexpr int kStatusDot = 10;

// Draws the entries of `Computers` with the friend mark at the right end of a friend's line,
// what is known of each one's key (a warning for a changed key, a tick for a verified one),
// and each one's status: a coloured dot before the name and its text after it. The tooltip
// says the status and the key.
class ComputersDelegate : public QStyledItemDelegate {
public:
    ComputersDelegate(const QImage& mark, QObject* parent)
        : QStyledItemDelegate(parent), m_mark(QPixmap::fromImage(mark)) {}

    void setTrustMarks(bool on) { m_trustMarks = on; }

    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QString tip = computerToolTip(index, m_trustMarks);
        if (tip.isEmpty())
            QToolTip::hideText();
        else // the status text is the peer's: plain text, whatever it looks like
            QToolTip::showText(event->globalPos(),
                               Qt::convertFromPlainText(tip, Qt::WhiteSpaceNormal), view);
        return true;
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        if (index.data(network::PeerList::FriendRole).toBool())
            painter->drawPixmap(option.rect.right() + 1 - 18, option.rect.top() + 1, m_mark);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), kItemHeight};
    }

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const auto trust = network::PeerTrust(index.data(network::PeerList::TrustRole).toInt());
        option->text = entryText(index);
        // Greyed while it has not been heard from; it may still be ticked.
        if (!presenceNote(
                 network::PeerPresence(index.data(network::PeerList::PresenceRole).toInt()),
                 index.data(network::PeerList::LastSeenRole).toDateTime())
                 .isEmpty())
            option->palette.setColor(QPalette::Text, QColor(0x80, 0x80, 0x80));
        if (trust == network::PeerTrust::Changed)
            option->palette.setColor(QPalette::Text, QColor(0xB0, 0x20, 0x20));
        // This copy's own entry has no dot: the button above the list shows its status.
        if (!(index.flags() & Qt::ItemIsEnabled))
            return;
        const auto presence =
            network::PeerPresence(index.data(network::PeerList::PresenceRole).toInt());
        option->icon = statusIcon(presence, kStatusDot);
        option->decorationSize = QSize(kStatusDot, kStatusDot);
        option->features |= QStyleOptionViewItem::HasDecoration;
    }

private:
    QPixmap m_mark;
    bool m_trustMarks = false;
};

// A label keeps its place; its width follows the text, which this desktop's fonts may make
// wider than the layout's.
QRect labelPlace(const QRect& place, const QLabel& label) {
    return {place.topLeft(),
            QSize(std::max(place.width(), label.sizeHint().width()), place.height() + 3)};
}

} // namespace

QString presenceNote(network::PeerPresence presence, const QDateTime& lastSeen) {
    if (presence != network::PeerPresence::Absent || !lastSeen.isValid())
        return {};
    return u'(' +
           lang::FormatMessage(lang::GetMessageText(lang::MessageId::M086),
                               {lastSeen.toLocalTime().toString(QStringLiteral("HH:mm"))}) +
           u')';
}

QString entryText(const QModelIndex& entry) {
    QString text = entry.data().toString();
    const QString note =
        presenceNote(network::PeerPresence(entry.data(network::PeerList::PresenceRole).toInt()),
                     entry.data(network::PeerList::LastSeenRole).toDateTime());
    if (!note.isEmpty())
        return text + u' ' + note;
    if (const QString status =
            entry.data(network::PeerList::StatusTextRole).toString().simplified();
        !status.isEmpty())
        text += QStringLiteral(" \u2013 ") + platform::isolatedText(status);
    return text;
}

QString computerToolTip(const QModelIndex& entry, bool trustMarks) {
    QStringList lines;
    if (entry.flags() & Qt::ItemIsEnabled) {
        const QString text = entry.data(network::PeerList::StatusTextRole).toString().simplified();
        lines << statusToolTip(
            network::PeerPresence(entry.data(network::PeerList::PresenceRole).toInt()),
            text.isEmpty() ? text : platform::isolatedText(text));
    }
    lines << entryToolTip(network::PeerTrust(entry.data(network::PeerList::TrustRole).toInt()),
                          trustMarks);
    lines.removeAll(QString());
    return lines.join(u'\n');
}

QString entryToolTip(network::PeerTrust trust, bool trustMarks) {
    switch (trust) {
    case network::PeerTrust::Plain:
        return trustMarks ? lang::GetMessageText(lang::MessageId::M078) : QString();
    case network::PeerTrust::Pinned:
        return lang::GetMessageText(lang::MessageId::M079);
    case network::PeerTrust::Verified:
        return lang::GetMessageText(lang::MessageId::M080);
    case network::PeerTrust::Changed:
        return lang::GetMessageText(lang::MessageId::M081);
    }
    return {};
}

ChatArea::ChatArea(QWidget& window, QAbstractItemModel& list) : QObject(&window) {
    m_chat = new TChatView(&window);
    m_chat->setObjectName(QStringLiteral("Chat"));
    // The conversation is no text to translate; its hint is.
    m_chat->setProperty(uisupport::TextIsDataProperty, true);

    m_label1 = makeLabel(window, "Label1", QStringLiteral("Active computers on LAN:"));
    createComputers(window, list);

    m_paneeli = new QFrame(&window);
    m_paneeli->setObjectName(QStringLiteral("Paneeli"));
    m_paneeli->setFrameShape(QFrame::StyledPanel);
    m_privaatti = new QCheckBox(QStringLiteral("Send a private message"), m_paneeli);
    m_privaatti->setObjectName(QStringLiteral("Privaatti"));
    m_privaatti->move(8, 8);
    m_privaatti->resize(273, 17);
    m_privaatti->setEnabled(false);

    m_label2 = makeLabel(window, "Label2", QStringLiteral("Message:"));
    m_message = new QLineEdit(&window);
    m_message->setObjectName(QStringLiteral("Message"));
    // A line edit keeps 32,767 characters by default and cuts a longer paste without a word;
    // the chat sends any length, in as many datagrams as it takes.
    m_message->setMaxLength(std::numeric_limits<int>::max());

    m_offlineStatus = new QLabel(&window);
    m_offlineStatus->setObjectName(QStringLiteral("OfflineStatus"));
    m_offlineStatus->setTextFormat(Qt::PlainText);
    m_offlineStatus->setWordWrap(true);
    m_offlineStatus->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
    m_offlineStatus->hide();
}

QLabel* ChatArea::makeLabel(QWidget& window, const char* name, const QString& text) {
    auto* label = new QLabel(text, &window);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAttribute(Qt::WA_TranslucentBackground);
    return label;
}

void ChatArea::createComputers(QWidget& window, QAbstractItemModel& list) {
    m_computers = new QListView(&window);
    m_computers->setObjectName(QStringLiteral("Computers"));
    m_computers->setProperty(uisupport::TextIsDataProperty, true);
    m_computers->setToolTip(QStringLiteral("Select computers you wish to send a message to"));
    m_computers->setUniformItemSizes(true);
    m_computers->setModel(&list);
    m_delegate = new ComputersDelegate(widgets::makeFrendi(), m_computers);
    m_computers->setItemDelegate(m_delegate);
    m_computers->setContextMenuPolicy(Qt::CustomContextMenu);
    m_computers->viewport()->installEventFilter(this);
}

void ChatArea::layOut(const MainLayout& layout) {
    m_chat->setGeometry(layout.Chat);
    m_label1->setGeometry(labelPlace(layout.Label1, *m_label1));
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
    m_label2->setGeometry(labelPlace(layout.Label2, *m_label2));
    m_message->setGeometry(layout.Message);
}

int ChatArea::messageLabelEnd() const {
    return m_label2->x() + m_label2->sizeHint().width();
}

void ChatArea::showOfflineStatus(const QString& text) {
    m_offlineStatus->setText(text);
    m_offlineStatus->show();
}

int ChatArea::currentComputer() const {
    const QModelIndex current = m_computers->currentIndex();
    return current.isValid() ? current.row() : -1;
}

bool ChatArea::eventFilter(QObject* watched, QEvent* event) {
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
    return QObject::eventFilter(watched, event);
}

void ChatArea::setTrustMarks(bool on) {
    static_cast<ComputersDelegate*>(m_delegate)->setTrustMarks(on);
    m_chat->setTrustMarks(on);
}

} // namespace kalvento::app
