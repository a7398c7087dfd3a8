#pragma once
// Puts settings the user chose to use in the running program: OK of the options window,
// and the few settings changed outside it (the tray menu's check marks, friends added or
// removed in the list). It changes the parts of the window it is given and writes the file;
// the window keeps what it draws itself.

#include "app/main_form_options.h"
#include "settings/settings_store.h"

#include <QString>

#include <functional>

class QFont;
class QWidget;

namespace kalvento::dialogs {
class UserDialogs;
}
namespace kalvento::messaging {
class ChatNode;
}

namespace kalvento::app {

class TChatView;
class TrayPresence;

// What a change of the options touches beyond the values themselves.
struct OptionsChange {
    bool routes = false;   // interfaces or peers: used at once, and greeted
    bool port = false;     // the network's port: takes a new start
    bool identity = false; // announced to the others (letter case counts)
    bool language = false; // every open window turns to it
};

OptionsChange compareOptions(const settings::Settings& old, const settings::Settings& chosen);

// The chosen settings as the program keeps them: an emptied folder means the default one,
// as it will when the file is read again.
settings::Settings withDefaultFolders(settings::Settings chosen, const QString& settingsPath);

class OptionsApplier {
public:
    // What the window does itself once settings changed.
    struct WindowHooks {
        std::function<void()> redraw;            // background, update timers, repaint
        std::function<void()> languageApplied;   // help file and layout
        std::function<void()> showOfflineStatus; // in the language now in use
        std::function<QWidget*()> helpWindow;    // left to its own language file
        std::function<void(const QString&)> reportError;
        std::function<void(const QString&)> showNotice;
        // The settings changed (the options, a friend): what else follows them takes them.
        std::function<void()> settingsApplied;
    };
    struct Parts {
        QWidget& window;
        settings::Settings& settings;
        messaging::ChatNode& node;
        TChatView& chat;
        TrayPresence& tray;
        const MainFormOptions& options;
        // The copy runs without the network: nobody to greet.
        bool offline = false;
    };

    OptionsApplier(Parts parts, WindowHooks hooks);

    // OK of the options window: old is what was in use, chosen what the user asked for.
    void applyOptions(const settings::Settings& old, const settings::Settings& chosen,
                      const QFont& font);
    // The colours and marks of the chat lines, from the settings.
    void applyChatDisplaySettings();
    // The language of the settings (a file or the built-in English) on every open window.
    void applyLanguageToOpenWindows();
    // The tray's tip and Qt's own dialogs speak the language of the file in use.
    void applyLanguageBeyondWindows();

    void StartKalventoonstartup1Click(bool checked);
    void Hidetothetrayonclose1Click(bool checked);
    // The entry of the list at row: to the friends or out of them, at once in the file.
    void Addtofriends1Click(int row);
    void Removefromfriends1Click(int row);

private:
    void applyNetwork(const OptionsChange& change);
    void writeFriends();

    Parts m_parts;
    WindowHooks m_hooks;
};

} // namespace kalvento::app
