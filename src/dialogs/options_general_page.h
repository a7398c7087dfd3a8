#pragma once
// The options window's General page: start-up, the tray, the message log, the automatic
// update check, the deliveries of each announcement, and where received files go.

#include "dialogs/options_page.h"

class QLineEdit;
class QPushButton;

namespace kalvento::dialogs {

class GeneralPage : public OptionsPage {
public:
    GeneralPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

    // A build without the automatic check greys its two boxes and says why; their stored
    // values are kept.
    void setAutomaticCheckAvailable(bool available);

private:
    void SaveMessagesClick();
    void AutoUpdateClick();

    const TOptionsIkkuna::Pickers& m_pickers;
    bool m_automaticCheckAvailable = true;
    QCheckBox* m_showSplash = nullptr;
    QCheckBox* m_start = nullptr;
    QCheckBox* m_hideTray = nullptr;
    QCheckBox* m_alwaysTray = nullptr;
    QCheckBox* m_saveMessages = nullptr;
    QLineEdit* m_saveMessagesPath = nullptr;
    QPushButton* m_btnBrowse = nullptr;
    QCheckBox* m_autoUpdate = nullptr;
    QCheckBox* m_connected = nullptr;
    QSpinBox* m_deliveries = nullptr;
    QSpinBox* m_awayAfter = nullptr;
    QCheckBox* m_joinLeaveNotices = nullptr;
    QLineEdit* m_transferFolder = nullptr;
    QPushButton* m_btnTransferBrowse = nullptr;
    QCheckBox* m_acceptFromFriends = nullptr;
};

} // namespace kalvento::dialogs
