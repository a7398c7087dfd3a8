#include "app/options_applier.h"

#include "app/chat_view.h"
#include "app/tray_presence.h"
#include "dialogs/options_window.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "lang/qt_translation.h"
#include "messaging/chat_node.h"
#include "uisupport/apply_language.h"
#include "uisupport/qcolor_mapping.h"

#include <QApplication>
#include <QFileInfo>
#include <QMenu>
#include <QWidget>

#include <utility>

namespace kalvento::app {

OptionsChange compareOptions(const settings::Settings& old, const settings::Settings& chosen) {
    OptionsChange change;
    change.routes = chosen.networkInterfaces != old.networkInterfaces ||
                    chosen.networkPeers != old.networkPeers;
    change.port = chosen.networkPort != old.networkPort;
    change.identity = chosen.identity != old.identity;
    change.language = dialogs::languageChange(old, chosen) == dialogs::LanguageChange::Apply;
    return change;
}

settings::Settings withDefaultFolders(settings::Settings chosen, const QString& settingsPath) {
    const settings::Settings defaults =
        settings::Settings::defaults(QFileInfo(settingsPath).absolutePath());
    if (chosen.saveMessagesPath.isEmpty())
        chosen.saveMessagesPath = defaults.saveMessagesPath;
    if (chosen.saveUpdateDirectory.isEmpty())
        chosen.saveUpdateDirectory = defaults.saveUpdateDirectory;
    if (chosen.transferSaveFolder.isEmpty())
        chosen.transferSaveFolder = defaults.transferSaveFolder;
    return chosen;
}

OptionsApplier::OptionsApplier(Parts parts, WindowHooks hooks)
    : m_parts(parts), m_hooks(std::move(hooks)) {}

void OptionsApplier::applyOptions(const settings::Settings& old, const settings::Settings& chosen,
                                  const QFont& font) {
    settings::Settings& s = m_parts.settings;
    // The values, friends included.
    s = withDefaultFolders(chosen, m_parts.options.settingsPath);
    const OptionsChange change = compareOptions(old, s);
    applyChatDisplaySettings();
    m_parts.node.setDeliveries(s.deliveries);
    m_parts.node.setFriends(s.friends);
    m_parts.node.setPlainPrivateAllowed(s.plainPrivateLines);
    m_parts.chat.applyChatFont(font);
    m_parts.tray.showSettings(s);
    applyNetwork(change);
    if (change.identity)
        m_parts.node.announceIdentity(s.identity); // failures come as events
    if (change.language)
        applyLanguageToOpenWindows();
    m_hooks.redraw();
    if (m_hooks.settingsApplied)
        m_hooks.settingsApplied();
    if (const auto written =
            settings::writeAll(m_parts.options.settingsPath, s, m_parts.options.executablePath,
                               m_parts.options.autostartEntry);
        !written)
        m_hooks.reportError(written.error);
}

// New peers and interfaces are used at once, and greeted so that they list this copy; a
// new port takes a new start.
void OptionsApplier::applyNetwork(const OptionsChange& change) {
    if (!change.routes && !change.port)
        return;
    const MainFormOptions& options = m_parts.options;
    const bool restart =
        options.applyNetworkSettings ? options.applyNetworkSettings(m_parts.settings) : true;
    if (change.routes && !m_parts.offline)
        m_parts.node.greet();
    if (change.port && restart)
        m_hooks.showNotice(lang::GetMessageText(lang::MessageId::M041));
}

void OptionsApplier::applyChatDisplaySettings() {
    const settings::Settings& s = m_parts.settings;
    const QPalette palette = m_parts.window.palette();
    ChatDisplaySettings display;
    display.showMessageTime = s.showMessageTime;
    display.showSenderName = s.showSenderName;
    display.ownColor = uisupport::toQColor(s.ownMessageColor, palette);
    display.otherColor = uisupport::toQColor(s.otherMessageColor, palette);
    display.privateColor = uisupport::toQColor(s.privateMessageColor, palette);
    display.privateItalic = s.showPrivateItalic;
    m_parts.chat.setDisplaySettings(display);
}

void OptionsApplier::applyLanguageToOpenWindows() {
    const settings::Settings& s = m_parts.settings;
    // The built-in English has no file: every window goes back to its own texts.
    lang::SetCurrentLanguageFile(s.languageIndex == 0
                                     ? nullptr
                                     : lang::LoadLanguageFile(lang::languageFileName(s.language),
                                                              m_parts.options.resourceDirectory));
    const lang::LanguageFile* file = lang::CurrentLanguageFile().get();
    QWidget* const window = &m_parts.window;
    uisupport::ApplyLanguage(window, file);
    // The other windows that are open (the big message windows, the options window that
    // chose the language); the help turns to the language's file.
    const QWidget* help = m_hooks.helpWindow();
    for (QWidget* each : QApplication::topLevelWidgets())
        if (each != window && each->parentWidget() == window &&
            qobject_cast<QMenu*>(each) == nullptr && each != help)
            uisupport::ApplyLanguage(each, file);
    applyLanguageBeyondWindows();
    m_hooks.languageApplied();
}

void OptionsApplier::applyLanguageBeyondWindows() {
    m_parts.tray.setToolTip(lang::GetMessageText(lang::MessageId::M039));
    lang::installQtTranslation(lang::CurrentLanguageFile().get());
    if (m_parts.offline)
        m_hooks.showOfflineStatus();
}

void OptionsApplier::StartKalventoonstartup1Click(bool checked) {
    m_parts.settings.startWithSystem = checked;
    // The check mark shows what was asked; a refusal is said, so that nobody counts on a
    // start at login that will not come.
    if (const platform::Result changed = settings::setStartWithSystem(
            checked, m_parts.options.executablePath, m_parts.options.autostartEntry);
        !changed)
        m_hooks.reportError(changed.error);
}

void OptionsApplier::Hidetothetrayonclose1Click(bool checked) {
    m_parts.settings.hideToTray = checked;
    if (const auto written = settings::writeHideToTray(m_parts.options.settingsPath, checked);
        !written)
        m_hooks.reportError(written.error);
}

void OptionsApplier::Addtofriends1Click(int row) {
    if (row < 0 || row >= m_parts.node.peers().count())
        return;
    QStringList friends = m_parts.settings.friends;
    friends.append(m_parts.node.peers().at(row).identity);
    m_parts.settings.friends = settings::normalizeFriends(friends);
    m_parts.node.setFriends(m_parts.settings.friends);
    if (m_hooks.settingsApplied)
        m_hooks.settingsApplied();
    writeFriends();
}

void OptionsApplier::Removefromfriends1Click(int row) {
    if (row < 0 || row >= m_parts.node.peers().count())
        return;
    const QString identity = m_parts.node.peers().at(row).identity;
    m_parts.settings.friends.removeIf(
        [&](const QString& f) { return f.compare(identity, Qt::CaseInsensitive) == 0; });
    m_parts.node.setFriends(m_parts.settings.friends);
    if (m_hooks.settingsApplied)
        m_hooks.settingsApplied();
    writeFriends();
}

// Friends are the user's work: they go to the file when they change, so that a crash or a
// kill before the end does not lose them.
void OptionsApplier::writeFriends() {
    if (const auto written =
            settings::writeFriendsSection(m_parts.options.settingsPath, m_parts.settings);
        !written)
        m_hooks.reportError(written.error);
}

} // namespace kalvento::app
