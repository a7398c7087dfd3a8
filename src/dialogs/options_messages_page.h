#pragma once
// The options window's Messages page: how lines are shown (time, name, italics, the three
// colours, the font) and how a new message is announced (tray icon, raising the window,
// a sound, a notification of the desktop).

#include "desktop/sound_player.h"
#include "dialogs/options_page.h"

#include <QFont>

#include <array>
#include <functional>

class QComboBox;
class QGroupBox;

namespace kalvento::dialogs {

class MessagesPage : public OptionsPage {
public:
    MessagesPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

    // The chat font is no key of its own here: the window's caller hands it in and takes
    // the chosen one back.
    void setChatFont(const QFont& font);
    QFont chatFont() const { return m_font; }
    void MessageFontClick();

    void setSoundPlayer(std::function<void(const desktop::SoundChoice&)> play) {
        m_playSound = std::move(play);
    }
    // What the alert plays for the sound chosen now, as the settings will store it.
    desktop::SoundChoice chosenSound() const;

    // The stored colour value a colour label shows; clDefault for any other label.
    quint32 labelColor(const QLabel* label) const;

private:
    void OwnColorClick(QLabel* label);
    void AlertMessageClick();
    void SelaaButtonClick();
    void PlaySoundClick();
    // Shows beside the sound list what the chosen entry plays on this desktop.
    void SoundChange();
    void setLabelColor(QLabel* label, quint32 value);
    void selectSound(const QString& soundName);
    void addSound(const QString& storedName, const QString& text);

    const TOptionsIkkuna::Pickers& m_pickers;
    QFont m_font;
    std::function<void(const desktop::SoundChoice&)> m_playSound;
    std::array<quint32, 3> m_colors{}; // own, other, private

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
    QCheckBox* m_desktopNotification = nullptr;
    QComboBox* m_sound = nullptr;
    QToolButton* m_selaaButton = nullptr;
    QToolButton* m_playSoundButton = nullptr;
    QLabel* m_soundPlays = nullptr;
};

} // namespace kalvento::dialogs
