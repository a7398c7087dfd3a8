#pragma once
// The options window's Friends page: the friends, to remove one, some or all.

#include "dialogs/options_page.h"

class QListWidget;
class QPushButton;

namespace kalvento::dialogs {

class FriendsPage : public OptionsPage {
public:
    FriendsPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent);

    void fill(const settings::Settings& settings) override;
    void takeBack(settings::Settings& settings) const override;

private:
    void FrenditClick();
    void btnRemoveClick();
    void btnClearClick();

    const TOptionsIkkuna::Pickers& m_pickers;
    QListWidget* m_frendit = nullptr;
    QPushButton* m_btnRemove = nullptr;
    QPushButton* m_btnClear = nullptr;
};

} // namespace kalvento::dialogs
