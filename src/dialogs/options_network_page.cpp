#include "dialogs/options_network_page.h"

#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "network/peer_address.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

NetworkPage::NetworkPage(const QStringList& detectedInterfaces, QWidget* parent)
    : OptionsPage(parent), m_detectedInterfaces(detectedInterfaces) {
    setObjectName(u"Network"_s);
    auto* portLabel =
        plainLabel(u"UDP port (the same on every computer):"_s, "NetworkPortLabel", this);
    m_networkPort = numberEdit("NetworkPort", 1, 65535, this);
    m_networkPort->setToolTip(u"The port Kalvento sends and receives on (5737 by default)"_s);
    auto* transferPortLabel =
        plainLabel(u"TCP port for files (0: the same number):"_s, "TransferPortLabel", this);
    m_transferPort = numberEdit("TransferPort", 0, 65535, this);
    m_transferPort->setToolTip(
        u"The port other computers connect to for the files you send; 0: the UDP port's number"_s);
    m_firewallNote = named(new QLabel(this), "FirewallNote");
    m_firewallNote->setWordWrap(true);
    auto* interfacesLabel =
        plainLabel(u"Network cards (none ticked: all of them):"_s, "InterfacesLabel", this);
    m_interfaces = named(new QListWidget(this), "Interfaces",
                         u"The network cards whose networks Kalvento greets and listens on"_s);
    auto* peersLabel =
        plainLabel(u"Computers beyond this network, one a line:"_s, "PeersLabel", this);
    m_peers = named(new QPlainTextEdit(this), "Peers",
                    u"An address (10.0.4.7), an address and port (10.0.4.7:5737) or a subnet of "
                    u"at most 1,024 addresses (10.0.4.0/24)"_s);
    m_peers->setTabChangesFocus(true);
    m_peersProblem = named(new QLabel(this), "PeersProblem");
    m_peersProblem->setWordWrap(true);
    QPalette warning = m_peersProblem->palette();
    warning.setColor(QPalette::WindowText, QColor(0xB0, 0x20, 0x20));
    m_peersProblem->setPalette(warning);
    m_networkOverride = named(new QLabel(this), "NetworkOverride");
    m_networkOverride->setWordWrap(true);
    QStringList overrides;
    for (const char* variable : {"KALVENTO_PORT", "KALVENTO_INTERFACES", "KALVENTO_PEERS"})
        if (qEnvironmentVariableIsSet(variable))
            overrides.append(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M042),
                                                 {QString::fromLatin1(variable)}));
    m_networkOverride->setText(overrides.join(u'\n'));
    m_networkOverride->setVisible(!overrides.isEmpty());

    auto* encryption = named(new QGroupBox(u"Identity and encryption"_s, this), "Encryption");
    auto* ownKeyLabel = plainLabel(u"This computer's key:"_s, "OwnFingerprintLabel", encryption);
    m_ownFingerprint = plainLabel(QString(), "OwnFingerprint", encryption);
    m_ownFingerprint->setToolTip(
        u"What the others compare when they verify this computer; select it to copy it"_s);
    // Read aloud and compared digit by digit: selectable, never editable.
    m_ownFingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                              Qt::TextSelectableByKeyboard);
    m_plainPrivateLines = checkBox(
        u"Send private lines unencrypted to older copies"_s, "PlainPrivateLines", encryption,
        u"Older copies of Kalvento cannot receive encrypted lines. Ticked, a private "
        u"line to one of them goes unencrypted and is marked \"not encrypted\" in your "
        u"chat; not ticked, it is not sent to them at all."_s);
    auto* keyGrid = new QGridLayout(encryption);
    keyGrid->addWidget(ownKeyLabel, 0, 0);
    keyGrid->addWidget(m_ownFingerprint, 0, 1);
    keyGrid->addWidget(m_plainPrivateLines, 1, 0, 1, 2);
    keyGrid->setColumnStretch(1, 1);
    setOwnFingerprint(QString());

    auto* grid = new QGridLayout(this);
    grid->addWidget(portLabel, 0, 0);
    grid->addWidget(m_networkPort, 0, 1, Qt::AlignLeft);
    grid->addWidget(transferPortLabel, 1, 0);
    grid->addWidget(m_transferPort, 1, 1, Qt::AlignLeft);
    grid->addWidget(m_firewallNote, 2, 0, 1, 2);
    grid->addWidget(interfacesLabel, 3, 0);
    grid->addWidget(peersLabel, 3, 1);
    grid->addWidget(m_interfaces, 4, 0);
    grid->addWidget(m_peers, 4, 1);
    grid->addWidget(m_peersProblem, 5, 0, 1, 2);
    grid->addWidget(m_networkOverride, 6, 0, 1, 2);
    grid->addWidget(encryption, 7, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    connect(m_peers, &QPlainTextEdit::textChanged, this, &NetworkPage::PeersChange);
    for (QSpinBox* port : {m_networkPort, m_transferPort})
        connect(port, &QSpinBox::valueChanged, this, &NetworkPage::PortsChange);
    PortsChange();
}

void NetworkPage::fill(const settings::Settings& s) {
    m_networkPort->setValue(s.networkPort);
    m_transferPort->setValue(s.transferPort);
    fillInterfaces(s.networkInterfaces);
    m_peers->setPlainText(s.networkPeers.join(u'\n'));
    m_plainPrivateLines->setChecked(s.plainPrivateLines);
    PeersChange();
}

void NetworkPage::takeBack(settings::Settings& s) const {
    s.networkPort = m_networkPort->value();
    s.transferPort = m_transferPort->value();
    s.networkInterfaces.clear();
    for (int i = 0; i < m_interfaces->count(); ++i)
        if (m_interfaces->item(i)->checkState() == Qt::Checked)
            s.networkInterfaces.append(m_interfaces->item(i)->data(Qt::UserRole).toString());
    // Lines are kept as typed (trimmed); one that is no peer is skipped when used.
    s.networkPeers.clear();
    for (const QString& line : m_peers->toPlainText().split(u'\n'))
        if (const QString entry = line.trimmed(); !entry.isEmpty())
            s.networkPeers.append(entry);
    s.plainPrivateLines = m_plainPrivateLines->isChecked();
}

void NetworkPage::setOwnFingerprint(const QString& fingerprint) {
    const bool noKey = fingerprint.isEmpty();
    m_ownFingerprint->setText(noKey ? lang::GetMessageText(lang::MessageId::M065) : fingerprint);
    // The groups in a fixed-width font line up for reading aloud; the sentence of a copy
    // without a key reads as the rest of the page and wraps with the window.
    QFont font = noKey ? QFont() : QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (!noKey)
        font.setPointSizeF(QFont().pointSizeF());
    m_ownFingerprint->setFont(font);
    m_ownFingerprint->setWordWrap(noKey);
}

void NetworkPage::fillInterfaces(const QStringList& chosen) {
    m_interfaces->clear();
    QStringList names = m_detectedInterfaces;
    // A chosen card that is not there now (unplugged, renamed) stays in the list.
    for (const QString& name : chosen)
        if (!names.contains(name))
            names.append(name);
    for (const QString& name : names) {
        auto* item = new QListWidgetItem(
            m_detectedInterfaces.contains(name) ? name : name + u" (not found)"_s, m_interfaces);
        item->setData(Qt::UserRole, name);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen.contains(name) ? Qt::Checked : Qt::Unchecked);
    }
}

void NetworkPage::PortsChange() {
    const int udp = m_networkPort->value();
    const int tcp = m_transferPort->value() == 0 ? udp : m_transferPort->value();
    m_firewallNote->setText(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M174),
                                                {QString::number(udp), QString::number(tcp)}));
}

void NetworkPage::PeersChange() {
    QStringList problems;
    const QStringList lines = m_peers->toPlainText().split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        const network::StaticPeerEntry entry =
            network::parsePeerEntry(lines[i], quint16(m_networkPort->value()));
        if (!entry.ok())
            problems.append(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M043),
                                                {QString::number(i + 1), entry.error}));
    }
    m_peersProblem->setText(problems.join(u'\n'));
    m_peersProblem->setVisible(!problems.isEmpty());
}

} // namespace kalvento::dialogs
