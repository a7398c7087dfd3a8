#pragma once
// The options window's Update page: the proxy, the address of the update description and
// the folder a downloaded update is saved to.

#include "dialogs/options_page.h"

class QLineEdit;

namespace kalvento::dialogs {

class UpdatePage : public OptionsPage {
public:
    UpdatePage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

    // An address is read whole: its box is made at least as wide as the address.
    void fitAddress();

private:
    void UseProxyClick();

    const TOptionsIkkuna::Pickers& m_pickers;
    QLabel* m_proxyLabel = nullptr;
    QLineEdit* m_proxy = nullptr;
    QCheckBox* m_useProxy = nullptr;
    QLabel* m_proxyPortLabel = nullptr;
    QSpinBox* m_proxyPort = nullptr;
    QLineEdit* m_address = nullptr;
    QSpinBox* m_port = nullptr;
    QLineEdit* m_saveTo = nullptr;
    QToolButton* m_browseButton = nullptr;
};

} // namespace kalvento::dialogs
