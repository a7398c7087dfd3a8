#pragma once
// The options window: every setting but the window geometry and the update bookkeeping, on
// six pages. It only keeps its controls consistent while the user works; the main window
// fills it, reads the result back on OK and applies it.

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
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QToolButton;

namespace kalvento::dialogs {

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
    void setSoundPlayer(std::function<void(const desktop::SoundChoice&)> play) {
        m_playSound = std::move(play);
    }
    // What the alert plays for the sound chosen now, as the settings will store it.
    desktop::SoundChoice chosenSound() const;

    // Shows settings (friends included) and the chat font in the controls, then runs the
    // enabling rules once.
    void fill(const settings::Settings& settings, const QFont& chatFont);
    // base with every value the window edits replaced by the controls' values. A list
    // without a selection (a language whose file is gone) leaves its setting as it was.
    settings::Settings result(settings::Settings base) const;
    QFont chosenFont() const { return m_font; }

    // Handlers.
    void TeeFonttiTeksti(QLabel* label, const QFont& font);
    void OwnColorClick(QLabel* label);
    void MessageFontClick();
    void UseProxyClick();
    void NoBGClick();
    void SaveMessagesClick();
    void AutoUpdateClick();
    // A build without the automatic check (KALVENTO_UPDATE_CHECK=OFF) greys its two boxes
    // and says why; their stored values are kept.
    void setAutomaticCheckAvailable(bool available);
    void AlertMessageClick();
    void FrenditClick();
    void btnBrowseClick();
    void BrowseButtonClick();
    void OpenBGButtonClick();
    void SelaaButtonClick();
    void PlaySoundClick();
    // Shows beside the sound list what the chosen entry plays on this desktop.
    void SoundChange();
    // The language chosen in the list is put on this window at once (the built-in English
    // too), so the user sees it before confirming.
    void LanguageSelect(int index);
    void btnRemoveClick();
    void btnClearClick();
    // The peers' edit says at once which lines are no peers.
    void PeersChange();
    // The interfaces the list offers: those detected (broadcastInterfaceNames by default).
    void setDetectedInterfaces(const QStringList& names) { m_detectedInterfaces = names; }
    // The colour box's custom entry asks for a colour; cancelling keeps the earlier choice.
    void BGColorSelect(int index);

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
    void createGeneralPage(QWidget* page);
    void createMessagesPage(QWidget* page);
    void createFriendsPage(QWidget* page);
    void createUpdatePage(QWidget* page);
    void createAppearancePage(QWidget* page);
    void createNetworkPage(QWidget* page);
    void fillInterfaces(const QStringList& chosen);
    void setLabelColor(QLabel* label, quint32 value);
    void selectSound(const QString& soundName);
    void addSound(const QString& storedName, const QString& text);
    void selectBackgroundColor(quint32 value);
    void fillLanguages(const settings::Settings& settings);
    // Grows the window to show every caption of the language in use whole.
    void fitToContents();
    void showEvent(QShowEvent* event) override;
    void browseFolder(QLineEdit* edit);

    QString m_resourceDirectory;
    Pickers m_pickers;
    QFont m_font;
    std::function<void(const desktop::SoundChoice&)> m_playSound;
    QString m_shownLanguage; // the language file whose texts the window shows; empty: English
    std::array<quint32, 3> m_colors{}; // own, other, private
    int m_bgColorIndex = -1;           // the colour box's selection before a custom pick

    QTabWidget* m_sivut = nullptr;
    // General
    QCheckBox* m_showSplash = nullptr;
    QCheckBox* m_start = nullptr;
    QCheckBox* m_hideTray = nullptr;
    QCheckBox* m_alwaysTray = nullptr;
    QCheckBox* m_saveMessages = nullptr;
    QLineEdit* m_saveMessagesPath = nullptr;
    QPushButton* m_btnBrowse = nullptr;
    QCheckBox* m_autoUpdate = nullptr;
    bool m_automaticCheckAvailable = true;
    QCheckBox* m_connected = nullptr;
    QSpinBox* m_deliveries = nullptr;
    // Messages
    QCheckBox* m_showTime = nullptr;
    QCheckBox* m_showName = nullptr;
    QCheckBox* m_italic = nullptr;
    std::array<QLabel*, 3> m_colorLabels{}; // OwnColor, OtherColor, PrivateColor
    QLabel* m_messageFont = nullptr;
    QCheckBox* m_alertMessage = nullptr;
    QGroupBox* m_notify = nullptr;
    QCheckBox* m_flashingIcon = nullptr;
    QCheckBox* m_bringOnTop = nullptr;
    QCheckBox* m_playASound = nullptr;
    QComboBox* m_sound = nullptr;
    QToolButton* m_selaaButton = nullptr;
    QToolButton* m_playSoundButton = nullptr;
    QLabel* m_soundPlays = nullptr;
    // Friends
    QListWidget* m_frendit = nullptr;
    QPushButton* m_btnRemove = nullptr;
    QPushButton* m_btnClear = nullptr;
    // Update
    QLabel* m_proxyLabel = nullptr;
    QLineEdit* m_proxy = nullptr;
    QCheckBox* m_useProxy = nullptr;
    QLabel* m_proxyPortLabel = nullptr;
    QSpinBox* m_proxyPort = nullptr;
    QLineEdit* m_address = nullptr;
    QSpinBox* m_port = nullptr;
    QLineEdit* m_saveTo = nullptr;
    QToolButton* m_browseButton = nullptr;
    // Appearance
    QLabel* m_backGroundLabel = nullptr;
    QComboBox* m_backGround = nullptr;
    QPushButton* m_openBGButton = nullptr;
    QLabel* m_bgStyleLabel = nullptr;
    QComboBox* m_bgStyle = nullptr;
    QComboBox* m_bgColor = nullptr;
    QCheckBox* m_noBG = nullptr;
    QLineEdit* m_identity = nullptr;
    QComboBox* m_language = nullptr;
    QLabel* m_langDir = nullptr;
    // Network
    QSpinBox* m_networkPort = nullptr;
    QListWidget* m_interfaces = nullptr;
    QPlainTextEdit* m_peers = nullptr;
    QLabel* m_peersProblem = nullptr;
    QLabel* m_networkOverride = nullptr;
    QStringList m_detectedInterfaces;
    // Desktop notification, on the Messages page
    QCheckBox* m_desktopNotification = nullptr;
};

} // namespace kalvento::dialogs
