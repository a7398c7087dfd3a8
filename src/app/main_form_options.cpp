#include "app/main_form_options.h"

#include "network/datagram_network.h"
#include "platform/paths.h"

#include <QCoreApplication>

namespace kalvento::app {

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

} // namespace kalvento::app
