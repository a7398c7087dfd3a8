#pragma once
// The options window's Network page: the UDP port, the TCP port of file transfers, the
// network cards used, the computers beyond the broadcast domain, this computer's key and
// whether private lines go unencrypted to older copies.

#include "dialogs/options_page.h"

#include <QStringList>

class QListWidget;
class QPlainTextEdit;

namespace kalvento::dialogs {

class NetworkPage : public OptionsPage {
public:
    // detectedInterfaces: the cards the list offers.
    NetworkPage(const QStringList& detectedInterfaces, QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

    // The cards the list offers from the next fill on.
    void setDetectedInterfaces(const QStringList& names) { m_detectedInterfaces = names; }
    // Shows this computer's key fingerprint; empty: the copy has no key, and says so.
    void setOwnFingerprint(const QString& fingerprint);

private:
    void fillInterfaces(const QStringList& chosen);
    // The peers' edit says at once which lines are no peers.
    void PeersChange();
    // The firewall note names the ports chosen now.
    void PortsChange();

    QStringList m_detectedInterfaces;
    QSpinBox* m_networkPort = nullptr;
    QSpinBox* m_transferPort = nullptr;
    QLabel* m_firewallNote = nullptr;
    QListWidget* m_interfaces = nullptr;
    QPlainTextEdit* m_peers = nullptr;
    QLabel* m_peersProblem = nullptr;
    QLabel* m_networkOverride = nullptr;
    QLabel* m_ownFingerprint = nullptr;
    QCheckBox* m_plainPrivateLines = nullptr;
};

} // namespace kalvento::dialogs
