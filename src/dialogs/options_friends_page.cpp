#include "dialogs/options_friends_page.h"

#include "lang/language_file.h"
#include "lang/message_table.h"

#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

FriendsPage::FriendsPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent)
    : OptionsPage(parent), m_pickers(pickers) {
    setObjectName(u"Friends"_s);
    m_frendit = named(new QListWidget(this), "Frendit");
    // Kept in the friends' own order (sorted without regard to letter case) rather than
    // the list's case-sensitive sort.
    m_frendit->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_btnRemove =
        named(new QPushButton(u"&Remove"_s, this), "btnRemove", u"Remove selected friend(s)"_s);
    m_btnClear =
        named(new QPushButton(u"R&emove all"_s, this), "btnClear", u"Clear friends list"_s);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_btnRemove);
    buttons->addWidget(m_btnClear);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(m_frendit, 1);
    layout->addLayout(buttons);

    connect(m_frendit, &QListWidget::itemSelectionChanged, this, &FriendsPage::FrenditClick);
    connect(m_btnRemove, &QPushButton::clicked, this, &FriendsPage::btnRemoveClick);
    connect(m_btnClear, &QPushButton::clicked, this, &FriendsPage::btnClearClick);
}

void FriendsPage::fill(const settings::Settings& s) {
    m_frendit->clear();
    m_frendit->addItems(settings::normalizeFriends(s.friends));
    FrenditClick();
}

void FriendsPage::takeBack(settings::Settings& s) const {
    QStringList friends;
    for (int i = 0; i < m_frendit->count(); ++i)
        friends.append(m_frendit->item(i)->text());
    s.friends = settings::normalizeFriends(friends);
}

void FriendsPage::FrenditClick() {
    m_btnRemove->setEnabled(!m_frendit->selectedItems().isEmpty());
    m_btnClear->setEnabled(m_frendit->count() > 0);
}

void FriendsPage::btnRemoveClick() {
    for (int i = 0; i < m_frendit->count();) {
        if (m_frendit->item(i)->isSelected())
            delete m_frendit->takeItem(i);
        else
            ++i;
    }
    FrenditClick();
}

void FriendsPage::btnClearClick() {
    if (m_pickers.confirm(window(), lang::GetMessageText(lang::MessageId::M008)))
        m_frendit->clear();
    FrenditClick();
}

} // namespace kalvento::dialogs
