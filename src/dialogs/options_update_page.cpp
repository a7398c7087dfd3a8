#include "dialogs/options_update_page.h"

#include "platform/paths.h"

#include <QGridLayout>
#include <QLineEdit>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

UpdatePage::UpdatePage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent)
    : OptionsPage(parent), m_pickers(pickers) {
    setObjectName(u"Update"_s);
    m_proxyLabel = plainLabel(u"Name or IP-address of the proxy-server:"_s, "ProxyLabel", this);
    m_proxy = named(new QLineEdit(this), "Proxy");
    m_useProxy = checkBox(u"Use proxy server for the connection"_s, "UseProxy", this,
                          u"If you don't know what this is, leave this unchecked"_s);
    m_proxyPortLabel = plainLabel(u"Proxy port (0 as default port):"_s, "ProxyPortLabel", this);
    m_proxyPort = numberEdit("ProxyPort", 0, 32767, this);
    auto* addressLabel = plainLabel(u"Update info address:"_s, "AddressLabel", this);
    m_address =
        named(new QLineEdit(this), "Address", u"Do NOT modify unless Fennrake tells you so!"_s);
    auto* portLabel = plainLabel(u"Port:"_s, "PortLabel", this);
    m_port = numberEdit("Port", 0, 32767, this);
    // The field is kept for the settings file's sake; the check connects to the port the
    // address names.
    const QString portHint = u"Kept, not used: a port goes in the address, as in "
                             u"http://host:8080/Kalvento.ini"_s;
    m_port->setToolTip(portHint);
    portLabel->setToolTip(portHint);
    auto* portNote = plainLabel(u"A port other than 80 goes in the address: "
                                u"http://host:8080/..."_s,
                                "PortNote", this);
    portNote->setWordWrap(true);
    portNote->setEnabled(false);
    auto* saveToLabel = plainLabel(u"Save update to:"_s, "SaveToLabel", this);
    m_saveTo = named(new QLineEdit(this), "SaveTo", u"A directory to save the update to"_s);
    m_browseButton = smallButton("BrowseButton", u"Browse for folder..."_s, this);

    auto* grid = new QGridLayout(this);
    grid->addWidget(m_useProxy, 0, 0, 1, 3);
    grid->addWidget(m_proxyLabel, 1, 0, 1, 2);
    grid->addWidget(m_proxyPortLabel, 1, 2);
    grid->addWidget(m_proxy, 2, 0, 1, 2);
    grid->addWidget(m_proxyPort, 2, 2);
    grid->addWidget(addressLabel, 3, 0, 1, 2);
    grid->addWidget(portLabel, 3, 2);
    grid->addWidget(m_address, 4, 0, 1, 2);
    grid->addWidget(m_port, 4, 2);
    grid->addWidget(portNote, 5, 0, 1, 3);
    grid->addWidget(saveToLabel, 6, 0, 1, 3);
    grid->addWidget(m_saveTo, 7, 0, 1, 2);
    grid->addWidget(m_browseButton, 7, 2, Qt::AlignLeft);
    grid->setRowStretch(8, 1);
    grid->setColumnStretch(0, 1);

    connect(m_useProxy, &QCheckBox::toggled, this, &UpdatePage::UseProxyClick);
    connect(m_browseButton, &QToolButton::clicked, this,
            [this] { browseFolder(m_pickers, window(), m_saveTo); });
}

void UpdatePage::fill(const settings::Settings& s) {
    m_proxy->setText(s.proxyServer);
    m_proxyPort->setValue(s.proxyPort);
    m_useProxy->setChecked(s.useProxy);
    m_port->setValue(s.port);
    m_address->setText(s.updateAddress);
    m_saveTo->setText(s.saveUpdateDirectory);
    UseProxyClick();
}

void UpdatePage::takeBack(settings::Settings& s) const {
    // Greyed-out proxy fields keep and save what they hold.
    s.proxyServer = m_proxy->text();
    s.proxyPort = m_proxyPort->value();
    s.useProxy = m_useProxy->isChecked();
    s.port = m_port->value();
    s.updateAddress = m_address->text();
    s.saveUpdateDirectory = platform::withTrailingSlash(m_saveTo->text());
}

void UpdatePage::fitAddress() {
    m_address->setMinimumWidth(
        qMax(m_address->minimumSizeHint().width(),
             m_address->fontMetrics().horizontalAdvance(m_address->text()) + 16));
}

void UpdatePage::UseProxyClick() {
    const bool on = m_useProxy->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(m_proxyLabel), static_cast<QWidget*>(m_proxy),
                       static_cast<QWidget*>(m_proxyPortLabel), static_cast<QWidget*>(m_proxyPort)})
        w->setEnabled(on);
}

} // namespace kalvento::dialogs
