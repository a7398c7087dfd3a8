#include "dialogs/options_general_page.h"

#include "platform/paths.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

GeneralPage::GeneralPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent)
    : OptionsPage(parent), m_pickers(pickers) {
    setObjectName(u"General"_s);
    m_showSplash = checkBox(u"Show splashscreen on startup"_s, "ShowSplash", this,
                            u"A picture with the version, for a second while Kalvento starts"_s);
    m_start = checkBox(u"Start Kalvento on startup"_s, "Start", this);
    m_hideTray = checkBox(u"Hide to tray on close"_s, "HideTray", this);
    m_alwaysTray =
        checkBox(u"Always show the icon in the tray"_s, "AlwaysTray", this,
                 u"Keep Kalvento's icon in the tray while the window is shown too, with its "
                 u"menu"_s);
    m_saveMessages = checkBox(u"Save message log (log.rtf)"_s, "SaveMessages", this);
    m_saveMessagesPath = named(new QLineEdit(this), "SaveMessagesPath");
    m_btnBrowse =
        named(new QPushButton(u"&Browse"_s, this), "btnBrowse", u"Browse for folder..."_s);
    m_autoUpdate = checkBox(u"Check for updates automatically"_s, "AutoUpdate", this);
    m_connected = checkBox(u"Always connected to the Internet"_s, "Connected", this);
    m_deliveries = numberEdit("Deliveries", 1, 10, this);
    m_deliveries->setToolTip(
        u"Send notification messages X times, reduces amount of lost messages"_s);
    auto* deliveriesLabel = plainLabel(u"deliveries"_s, "DeliveriesLabel", this);
    auto* awayLabel = plainLabel(u"Set me away after"_s, "AwayAfterLabel", this);
    m_awayAfter = numberEdit("AwayAfter", 0, 1440, this);
    m_awayAfter->setToolTip(u"Others see you away while the computer is not used this many "
                            u"minutes, or its screen is locked; 0: never"_s);
    auto* awayUnit = plainLabel(u"minutes without use (0: never)"_s, "AwayAfterUnit", this);
    m_joinLeaveNotices =
        checkBox(u"Show join and leave notices"_s, "JoinLeaveNotices", this,
                 u"Say in the chat when a computer comes, goes, or changes its status"_s);
    auto* files = named(new QGroupBox(u"Received files"_s, this), "TransferFiles");
    auto* folderLabel = plainLabel(u"Save them in:"_s, "TransferFolderLabel", files);
    m_transferFolder = named(new QLineEdit(files), "TransferFolder");
    m_btnTransferBrowse =
        named(new QPushButton(u"B&rowse"_s, files), "btnTransferBrowse", u"Browse for folder..."_s);
    m_acceptFromFriends =
        checkBox(u"Accept files from friends without asking"_s, "AcceptFromFriends", files,
                 u"Only from friends whose key is pinned or verified; anyone else is asked"_s);
    auto* filesGrid = new QGridLayout(files);
    filesGrid->addWidget(folderLabel, 0, 0);
    filesGrid->addWidget(m_transferFolder, 0, 1);
    filesGrid->addWidget(m_btnTransferBrowse, 0, 2);
    filesGrid->addWidget(m_acceptFromFriends, 1, 0, 1, 3);
    filesGrid->setColumnStretch(1, 1);

    auto* grid = new QGridLayout(this);
    grid->addWidget(m_showSplash, 0, 0, 1, 3);
    grid->addWidget(m_start, 1, 0, 1, 3);
    grid->addWidget(m_hideTray, 2, 0, 1, 3);
    grid->addWidget(m_alwaysTray, 3, 0, 1, 3);
    grid->addWidget(m_saveMessages, 4, 0, 1, 3);
    grid->addWidget(m_saveMessagesPath, 5, 0, 1, 2);
    grid->addWidget(m_btnBrowse, 5, 2);
    grid->addWidget(m_autoUpdate, 6, 0, 1, 3);
    grid->addWidget(m_connected, 7, 0, 1, 3);
    auto* deliveriesRow = new QHBoxLayout;
    deliveriesRow->addWidget(m_deliveries);
    deliveriesRow->addWidget(deliveriesLabel);
    deliveriesRow->addStretch();
    grid->addLayout(deliveriesRow, 8, 0, 1, 3);
    auto* awayRow = new QHBoxLayout;
    awayRow->addWidget(awayLabel);
    awayRow->addWidget(m_awayAfter);
    awayRow->addWidget(awayUnit);
    awayRow->addStretch();
    grid->addLayout(awayRow, 9, 0, 1, 3);
    grid->addWidget(m_joinLeaveNotices, 10, 0, 1, 3);
    grid->addWidget(files, 11, 0, 1, 3);
    grid->setRowStretch(12, 1);
    grid->setColumnStretch(1, 1);

    connect(m_saveMessages, &QCheckBox::toggled, this, &GeneralPage::SaveMessagesClick);
    connect(m_autoUpdate, &QCheckBox::toggled, this, &GeneralPage::AutoUpdateClick);
    connect(m_btnBrowse, &QPushButton::clicked, this,
            [this] { browseFolder(m_pickers, window(), m_saveMessagesPath); });
    connect(m_btnTransferBrowse, &QPushButton::clicked, this,
            [this] { browseFolder(m_pickers, window(), m_transferFolder); });
}

void GeneralPage::fill(const settings::Settings& s) {
    m_showSplash->setChecked(s.showSplashscreen);
    m_deliveries->setValue(s.deliveries);
    m_start->setChecked(s.startWithSystem);
    m_hideTray->setChecked(s.hideToTray);
    m_alwaysTray->setChecked(s.alwaysShowTrayIcon);
    m_autoUpdate->setChecked(s.automaticUpdate);
    m_connected->setChecked(s.alwaysConnected);
    m_saveMessages->setChecked(s.saveMessagesLog);
    m_saveMessagesPath->setText(s.saveMessagesPath);
    m_awayAfter->setValue(s.awayAfterMinutes);
    m_joinLeaveNotices->setChecked(s.joinLeaveNotices);
    m_transferFolder->setText(s.transferSaveFolder);
    m_acceptFromFriends->setChecked(s.acceptFromFriends);
    SaveMessagesClick();
    AutoUpdateClick();
}

void GeneralPage::takeBack(settings::Settings& s) const {
    s.showSplashscreen = m_showSplash->isChecked();
    s.deliveries = m_deliveries->value();
    s.startWithSystem = m_start->isChecked();
    s.hideToTray = m_hideTray->isChecked();
    s.alwaysShowTrayIcon = m_alwaysTray->isChecked();
    s.automaticUpdate = m_autoUpdate->isChecked();
    s.alwaysConnected = m_connected->isChecked();
    s.saveMessagesLog = m_saveMessages->isChecked();
    s.awayAfterMinutes = m_awayAfter->value();
    s.joinLeaveNotices = m_joinLeaveNotices->isChecked();
    // The log's path is this folder followed directly by the file name.
    s.saveMessagesPath = platform::withTrailingSlash(m_saveMessagesPath->text());
    // Emptied, it is the default folder again (withDefaultFolders).
    s.transferSaveFolder = platform::withTrailingSlash(m_transferFolder->text().trimmed());
    s.acceptFromFriends = m_acceptFromFriends->isChecked();
}

void GeneralPage::setAutomaticCheckAvailable(bool available) {
    m_automaticCheckAvailable = available;
    AutoUpdateClick();
}

void GeneralPage::SaveMessagesClick() {
    const bool on = m_saveMessages->isChecked();
    m_saveMessagesPath->setEnabled(on);
    m_btnBrowse->setEnabled(on);
}

void GeneralPage::AutoUpdateClick() {
    enableAutomaticCheckBoxes(m_autoUpdate, m_connected, m_automaticCheckAvailable);
}

} // namespace kalvento::dialogs
