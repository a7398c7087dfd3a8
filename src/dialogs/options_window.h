#pragma once
// The options window: every setting but the window geometry and the update bookkeeping, on
// six pages, each a class of its own (options_*_page) that shows and takes back its part of
// the settings. The window assembles them, shows the language chosen, and fits its size;
// the main window fills it, reads the result back on OK and applies it.

#include "desktop/sound_player.h"
#include "settings/settings_store.h"

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QIcon>
#include <QString>

#include <array>
#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QTabWidget;

namespace kalvento::dialogs {

class OptionsPage;
class GeneralPage;
class MessagesPage;
class FriendsPage;
class UpdatePage;
class AppearancePage;
class NetworkPage;

// The hint of the automatic-check boxes in a build without the automatic check.
inline constexpr char NoAutomaticCheckHint[] =
    "This build of Kalvento does not check for updates by itself (your system's packages "
    "bring new versions); the update button still checks when you ask.";

// Greys the two automatic-check boxes of a window (with the hint) when the build has no
// automatic check; "Always connected" is enabled only while the check is ticked.
void enableAutomaticCheckBoxes(QCheckBox* autoUpdate, QCheckBox* connected, bool available);

// What confirming the window does about the language.
enum class LanguageChange {
    None,  // same language as before
    Apply, // put the new language (a file, or the built-in English) on the open windows
};

// Going from one built-in English to the other (index 0 both times, whatever text was
// stored) changes nothing; a language file is applied when it is new or English was shown,
// and the built-in English when another language was shown.
LanguageChange languageChange(const settings::Settings& before, const settings::Settings& after);

// Where the sound file dialog opens: the folder of the sound chosen now when it is a file,
// else the desktop's sounds (/usr/share/sounds) when they are there, else the user's home.
QString soundFolder(const QString& chosenSound,
                    const QString& systemSounds = QStringLiteral("/usr/share/sounds"));

class TOptionsIkkuna : public QDialog {
    Q_OBJECT
public:
    // The dialogs the window opens. Each gives nothing when the user cancels; tests put
    // their own in place so that no modal dialog runs.
    struct Pickers {
        std::function<std::optional<QColor>(QWidget* parent, const QColor& initial)> color;
        std::function<std::optional<QFont>(QWidget* parent, const QFont& initial)> font;
        std::function<std::optional<QString>(QWidget* parent, const QString& title)> folder;
        std::function<std::optional<QString>(QWidget* parent, const QString& filter)> picture;
        std::function<std::optional<QString>(QWidget* parent, const QString& filter,
                                             const QString& folder)>
            sound;
        // A Yes/No question; true for Yes.
        std::function<bool(QWidget* parent, const QString& text)> confirm;

        static Pickers real();
    };

    // Filters of the file pickers, in the file dialog's syntax.
    static const QString PictureFilter;
    static const QString SoundFilter;
    // The eight system sounds, "Sound index" 0 to 7.
    static const std::array<const char*, 8> SystemSoundNames;

    // Runs FormCreate: resourceDirectory holds "Languages/" (with a trailing "/"); the
    // language of current is put on the window when its index is not 0.
    TOptionsIkkuna(const QString& resourceDirectory, const settings::Settings& current,
                   QWidget* parent = nullptr);
    ~TOptionsIkkuna() override;

    Pickers& pickers() { return m_pickers; }
    // Plays what the Play button asks for (the alert's sound player unless a test says
    // otherwise).
    void setSoundPlayer(std::function<void(const desktop::SoundChoice&)> play);
    // What the alert plays for the sound chosen now, as the settings will store it.
    desktop::SoundChoice chosenSound() const;

    // Shows settings (friends included) and the chat font in the controls, then runs the
    // enabling rules once.
    void fill(const settings::Settings& settings, const QFont& chatFont);
    // base with every value the window edits replaced by the controls' values. A list
    // without a selection (a language whose file is gone) leaves its setting as it was.
    settings::Settings result(settings::Settings base) const;
    QFont chosenFont() const;

    // Asks for the chat font, as a click on the font's label does.
    void MessageFontClick();
    // A build without the automatic check (KALVENTO_UPDATE_CHECK=OFF) greys its two boxes
    // and says why; their stored values are kept.
    void setAutomaticCheckAvailable(bool available);
    // The interfaces the list offers: those detected (broadcastInterfaceNames by default).
    void setDetectedInterfaces(const QStringList& names);
    // This computer's key fingerprint on the Network page ("05870 41293 ..."); empty: the
    // copy has no key, and the page says that its lines are neither signed nor encrypted.
    void setOwnFingerprint(const QString& fingerprint);

    // The stored colour value shown by a colour label or the colour box.
    quint32 labelColor(const QLabel* label) const;
    quint32 backgroundColor() const;

    // The language list's pictures: 0 for the built-in English, 1 for a language without a
    // picture of its own.
    static QIcon languagePicture(int index);
    // The item data of a sound entry that holds the name the settings store ("System hand",
    // or a file's path) whatever language the list is shown in.
    static constexpr int StoredSoundRole = Qt::UserRole + 1;
    // The freedesktop sound a system sound entry plays.
    static constexpr int SoundEventRole = Qt::UserRole + 2;

private:
    void FormCreate(const settings::Settings& current);
    // The language chosen in the list is put on this window at once (the built-in English
    // too), so the user sees it before confirming.
    void showLanguage(const QString& language);
    // Grows the window to show every caption of the language in use whole.
    void fitToContents();
    void showEvent(QShowEvent* event) override;

    QString m_resourceDirectory;
    Pickers m_pickers;
    QString m_shownLanguage; // the language file whose texts the window shows; empty: English

    QTabWidget* m_sivut = nullptr;
    GeneralPage* m_general = nullptr;
    MessagesPage* m_messages = nullptr;
    FriendsPage* m_friends = nullptr;
    UpdatePage* m_update = nullptr;
    AppearancePage* m_appearance = nullptr;
    NetworkPage* m_network = nullptr;
    // Each page in the order its part of the settings is shown and taken back.
    std::array<OptionsPage*, 6> m_pages{};
};

} // namespace kalvento::dialogs
