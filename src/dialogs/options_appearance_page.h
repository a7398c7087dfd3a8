#pragma once
// The options window's Appearance page: the background (picture, style, colour, none),
// the identity and the language.

#include "dialogs/options_page.h"

#include <functional>

class QComboBox;
class QLineEdit;
class QPushButton;

namespace kalvento::dialogs {

class AppearancePage : public OptionsPage {
public:
    // languagesFolder holds the language files (with a trailing "/").
    AppearancePage(const TOptionsIkkuna::Pickers& pickers, const QString& languagesFolder,
                   QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

    // Told the language chosen in the list (empty: the built-in English) when the list is
    // filled and whenever the user picks another.
    void setLanguageChosen(std::function<void(const QString& language)> chosen) {
        m_languageChosen = std::move(chosen);
    }

    // The stored colour value the colour box shows.
    quint32 backgroundColor() const;

private:
    void NoBGClick();
    void OpenBGButtonClick();
    // The colour box's custom entry asks for a colour; cancelling keeps the earlier choice.
    void BGColorSelect(int index);
    void LanguageSelect(int index);
    void selectBackgroundColor(quint32 value);
    void fillLanguages(const settings::Settings& settings);

    const TOptionsIkkuna::Pickers& m_pickers;
    std::function<void(const QString&)> m_languageChosen;
    int m_bgColorIndex = -1; // the colour box's selection before a custom pick
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
};

} // namespace kalvento::dialogs
