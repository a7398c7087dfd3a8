#include "dialogs/options_window.h"

#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "network/peer_address.h"
#include "network/udp_network.h"
#include "platform/paths.h"
#include "settings/colors.h"
#include "uisupport/apply_language.h"
#include "uisupport/qcolor_mapping.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

namespace {

// The client area the window was laid out for; Linux fonts may ask for more, never less.
constexpr QSize kDesignClientSize(465, 265);
constexpr int kPictureSize = 16;

// A label that acts on a click: the colour and font labels of the Messages page.
class ClickLabel : public QLabel {
public:
    ClickLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
        setTextFormat(Qt::PlainText);
        setCursor(Qt::PointingHandCursor);
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
    }
    std::function<void()> onClick;

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        QLabel::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) &&
            onClick)
            onClick();
    }
};

// The sound list's entries with, at their right end and dimmed, the freedesktop sound each
// system sound plays on this desktop.
class SoundItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyledItemDelegate::paint(painter, option, index);
        const QString event = index.data(TOptionsIkkuna::SoundEventRole).toString();
        if (event.isEmpty())
            return;
        painter->save();
        const bool selected = option.state.testFlag(QStyle::State_Selected);
        QColor dim = option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text);
        dim.setAlphaF(0.6f);
        painter->setPen(dim);
        painter->drawText(option.rect.adjusted(0, 0, -kMargin, 0),
                          Qt::AlignRight | Qt::AlignVCenter, event);
        painter->restore();
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QString event = index.data(TOptionsIkkuna::SoundEventRole).toString();
        if (!event.isEmpty())
            size.rwidth() += option.fontMetrics.horizontalAdvance(event) + 3 * kMargin;
        return size;
    }

private:
    static constexpr int kMargin = 6;
};

struct ReadableColor {
    quint32 value;
    const char* name;
};

// The colour box's list: the standard colours, the extended ones, then the desktop's.
constexpr ReadableColor kBoxColors[] = {
    {settings::clBlack, "Black"},
    {settings::clMaroon, "Maroon"},
    {settings::clGreen, "Green"},
    {settings::clOlive, "Olive"},
    {settings::clNavy, "Navy"},
    {settings::clPurple, "Purple"},
    {settings::clTeal, "Teal"},
    {settings::clGray, "Gray"},
    {settings::clSilver, "Silver"},
    {settings::clRed, "Red"},
    {settings::clLime, "Lime"},
    {settings::clYellow, "Yellow"},
    {settings::clBlue, "Blue"},
    {settings::clFuchsia, "Fuchsia"},
    {settings::clAqua, "Aqua"},
    {settings::clWhite, "White"},
    {settings::clMoneyGreen, "Money Green"},
    {settings::clSkyBlue, "Sky Blue"},
    {settings::clCream, "Cream"},
    {settings::clMedGray, "Medium Gray"},
    {settings::clScrollBar, "Scroll Bar"},
    {settings::clBackground, "Background"},
    {settings::clActiveCaption, "Active Caption"},
    {settings::clInactiveCaption, "Inactive Caption"},
    {settings::clMenu, "Menu"},
    {settings::clWindow, "Window"},
    {settings::clWindowFrame, "Window Frame"},
    {settings::clMenuText, "Menu Text"},
    {settings::clWindowText, "Window Text"},
    {settings::clCaptionText, "Caption Text"},
    {settings::clActiveBorder, "Active Border"},
    {settings::clInactiveBorder, "Inactive Border"},
    {settings::clAppWorkSpace, "Application Workspace"},
    {settings::clHighlight, "Highlight"},
    {settings::clHighlightText, "Highlight Text"},
    {settings::clBtnFace, "Button Face"},
    {settings::clBtnShadow, "Button Shadow"},
    {settings::clGrayText, "Gray Text"},
    {settings::clBtnText, "Button Text"},
    {settings::clInactiveCaptionText, "Inactive Caption Text"},
    {settings::clBtnHighlight, "Button Highlight"},
    {settings::cl3DDkShadow, "3D Dark Shadow"},
    {settings::cl3DLight, "3D Light"},
    {settings::clInfoText, "Info Text"},
    {settings::clInfoBk, "Info Background"},
    {settings::clHotLight, "Hot Light"},
    {settings::clGradientActiveCaption, "Gradient Active Caption"},
    {settings::clGradientInactiveCaption, "Gradient Inactive Caption"},
    {settings::clMenuHighlight, "Menu Highlight"},
    {settings::clMenuBar, "Menu Bar"},
};
// The custom colour is the box's first entry.
constexpr int kCustomColorEntry = 0;

QIcon swatch(const QColor& color) {
    QPixmap pixmap(kPictureSize, kPictureSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::black);
    painter.setBrush(color.isValid() ? color : QColor(Qt::transparent));
    painter.drawRect(1, 2, kPictureSize - 3, kPictureSize - 5);
    return QIcon(pixmap);
}

QLabel* plainLabel(const QString& text, const char* name, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    return label;
}

template <typename W> W* named(W* widget, const char* name, const QString& hint = QString()) {
    widget->setObjectName(QString::fromLatin1(name));
    if (!hint.isEmpty())
        widget->setToolTip(hint);
    return widget;
}

QCheckBox* checkBox(const QString& caption, const char* name, QWidget* parent,
                    const QString& hint = QString()) {
    return named(new QCheckBox(caption, parent), name, hint);
}

QSpinBox* numberEdit(const char* name, int minimum, int maximum, QWidget* parent) {
    auto* box = named(new QSpinBox(parent), name);
    box->setRange(minimum, maximum);
    return box;
}

QToolButton* smallButton(const char* name, const QString& hint, QWidget* parent) {
    auto* button = named(new QToolButton(parent), name, hint);
    button->setText(u"..."_s);
    return button;
}

// Entry index of text in the combo box, letter case ignored; -1 when absent.
int findEntry(const QComboBox* box, const QString& text) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemText(i).compare(text, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int findSound(const QComboBox* box, const QString& storedName) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i, TOptionsIkkuna::StoredSoundRole)
                .toString()
                .compare(storedName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<QString> nonEmpty(const QString& text) {
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

} // namespace

const QString TOptionsIkkuna::PictureFilter =
    u"All (*.gif *.jpg *.jpeg *.bmp *.ico *.emf *.wmf);;GIF Image (*.gif);;"
    u"JPEG Image File (*.jpg *.jpeg);;Bitmaps (*.bmp);;Icons (*.ico);;"
    u"Enhanced Metafiles (*.emf);;Metafiles (*.wmf)"_s;
const QString TOptionsIkkuna::SoundFilter = u"WAV files (*.wav);;All files (*)"_s;
const std::array<const char*, 8> TOptionsIkkuna::SystemSoundNames = {
    "System start",    "System exit",        "System hand",    "System asterisk",
    "System question", "System exclamation", "System welcome", "System default",
};

LanguageChange languageChange(const settings::Settings& before, const settings::Settings& after) {
    if (after.languageIndex == 0)
        return before.languageIndex != 0 ? LanguageChange::Apply : LanguageChange::None;
    if (before.languageIndex == 0 || after.language != before.language)
        return LanguageChange::Apply;
    return LanguageChange::None;
}

QString soundFolder(const QString& chosenSound, const QString& systemSounds) {
    if (desktop::chooseSound(chosenSound, 0).kind == desktop::SoundChoice::File) {
        if (const QFileInfo file(chosenSound); file.isAbsolute() && file.dir().exists())
            return file.absolutePath();
    }
    if (QFileInfo(systemSounds).isDir())
        return systemSounds;
    return QDir::homePath();
}

TOptionsIkkuna::Pickers TOptionsIkkuna::Pickers::real() {
    Pickers p;
    p.color = [](QWidget* parent, const QColor& initial) -> std::optional<QColor> {
        const QColor chosen = QColorDialog::getColor(initial, parent);
        if (!chosen.isValid())
            return std::nullopt;
        return chosen;
    };
    p.font = [](QWidget* parent, const QFont& initial) -> std::optional<QFont> {
        bool ok = false;
        const QFont chosen = QFontDialog::getFont(&ok, initial, parent);
        if (!ok)
            return std::nullopt;
        return chosen;
    };
    p.folder = [](QWidget* parent, const QString& title) {
        return nonEmpty(QFileDialog::getExistingDirectory(parent, title));
    };
    p.picture = [](QWidget* parent, const QString& filter) {
        return nonEmpty(QFileDialog::getOpenFileName(parent, QString(), QString(), filter));
    };
    p.sound = [](QWidget* parent, const QString& filter, const QString& startFolder) {
        return nonEmpty(QFileDialog::getOpenFileName(parent, QString(), startFolder, filter));
    };
    p.confirm = [](QWidget* parent, const QString& text) {
        QMessageBox box(QMessageBox::Question, u"Confirm"_s, text,
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setTextFormat(Qt::PlainText);
        return box.exec() == QMessageBox::Yes;
    };
    return p;
}

TOptionsIkkuna::TOptionsIkkuna(const QString& resourceDirectory, const settings::Settings& current,
                               QWidget* parent)
    : QDialog(parent), m_resourceDirectory(platform::withTrailingSlash(resourceDirectory)),
      m_pickers(Pickers::real()), m_detectedInterfaces(network::broadcastInterfaceNames()) {
    setObjectName(u"OptionsIkkuna"_s);
    setWindowTitle(u"Options"_s);
    // A dialog: closed or confirmed, never minimized or maximized.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    // The player of the alerts' kind, made when first asked to play.
    m_playSound = [player = std::shared_ptr<desktop::SoundPlayer>()](
                      const desktop::SoundChoice& choice) mutable {
        if (!player)
            player = std::make_shared<desktop::SoundPlayer>();
        player->play(choice);
    };

    m_sivut = named(new QTabWidget(this), "OptionsSivut");
    // Every page's tab in sight: the window is made as wide as the tabs need rather than
    // scrolling them, which would hide the first ones behind arrows.
    m_sivut->setUsesScrollButtons(false);
    struct PageDesign {
        const char* name;
        QStyle::StandardPixmap picture;
        void (TOptionsIkkuna::*create)(QWidget*);
    };
    const PageDesign pages[] = {
        {"General", QStyle::SP_ComputerIcon, &TOptionsIkkuna::createGeneralPage},
        {"Messages", QStyle::SP_MessageBoxInformation, &TOptionsIkkuna::createMessagesPage},
        {"Friends", QStyle::SP_DirHomeIcon, &TOptionsIkkuna::createFriendsPage},
        {"Update", QStyle::SP_BrowserReload, &TOptionsIkkuna::createUpdatePage},
        {"Appearance", QStyle::SP_DesktopIcon, &TOptionsIkkuna::createAppearancePage},
        {"Network", QStyle::SP_DriveNetIcon, &TOptionsIkkuna::createNetworkPage},
    };
    for (const PageDesign& design : pages) {
        auto* page = named(new QWidget(m_sivut), design.name);
        // Every page counts for the window's size, the hidden ones too, so that switching
        // pages never finds one too small for its texts.
        QSizePolicy policy = page->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        page->setSizePolicy(policy);
        (this->*design.create)(page);
        m_sivut->addTab(page, style()->standardIcon(design.picture),
                        QString::fromLatin1(design.name));
    }
    m_sivut->setCurrentIndex(0);

    auto* btnOk = named(new QPushButton(u"&Ok"_s, this), "btnOk", u"Save changes (enter)"_s);
    auto* btnCancel =
        named(new QPushButton(u"&Cancel"_s, this), "btnCancel", u"Undo changes (esc)"_s);
    btnOk->setDefault(true);
    connect(btnOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnOk);
    buttons->addWidget(btnCancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_sivut);
    layout->addLayout(buttons);

    FormCreate(current);
}

TOptionsIkkuna::~TOptionsIkkuna() = default;

void TOptionsIkkuna::FormCreate(const settings::Settings& current) {
    setMinimumSize(kDesignClientSize);
    resize(sizeHint().expandedTo(kDesignClientSize));
    const QString langDir = m_resourceDirectory + QString::fromLatin1(lang::LanguagesFolder) + u'/';
    m_langDir->setText(langDir);
    m_langDir->setToolTip(langDir);
    if (current.languageIndex != 0) {
        lang::SetCurrentLanguageFile(
            lang::LoadLanguageFile(lang::languageFileName(current.language), m_resourceDirectory));
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        m_shownLanguage = current.language;
    }
}

void TOptionsIkkuna::LanguageSelect(int index) {
    const QString language = index > 0 ? m_language->itemText(index) : QString();
    if (index < 0 || language == m_shownLanguage)
        return;
    m_shownLanguage = language;
    // Only this window: the program takes the language when the window is confirmed.
    const auto file = language.isEmpty() ? nullptr
                                         : lang::LoadLanguageFile(lang::languageFileName(language),
                                                                  m_resourceDirectory);
    uisupport::ApplyLanguage(this, file.get());
    if (isVisible())
        fitToContents();
}

void TOptionsIkkuna::createGeneralPage(QWidget* page) {
    m_showSplash = checkBox(u"Show splashscreen on startup"_s, "ShowSplash", page,
                            u"A picture with the version, for a second while Kalvento starts"_s);
    m_start = checkBox(u"Start Kalvento on startup"_s, "Start", page);
    m_hideTray = checkBox(u"Hide to tray on close"_s, "HideTray", page);
    m_alwaysTray =
        checkBox(u"Always show the icon in the tray"_s, "AlwaysTray", page,
                 u"Keep Kalvento's icon in the tray while the window is shown too, with its "
                 u"menu"_s);
    m_saveMessages = checkBox(u"Save message log (log.rtf)"_s, "SaveMessages", page);
    m_saveMessagesPath = named(new QLineEdit(page), "SaveMessagesPath");
    m_btnBrowse =
        named(new QPushButton(u"&Browse"_s, page), "btnBrowse", u"Browse for folder..."_s);
    m_autoUpdate = checkBox(u"Check for updates automatically"_s, "AutoUpdate", page);
    m_connected = checkBox(u"Always connected to the Internet"_s, "Connected", page);
    m_deliveries = numberEdit("Deliveries", 1, 10, page);
    m_deliveries->setToolTip(
        u"Send notification messages X times, reduces amount of lost messages"_s);
    auto* deliveriesLabel = plainLabel(u"deliveries"_s, "DeliveriesLabel", page);

    auto* grid = new QGridLayout(page);
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
    grid->setRowStretch(9, 1);
    grid->setColumnStretch(1, 1);

    connect(m_saveMessages, &QCheckBox::toggled, this, &TOptionsIkkuna::SaveMessagesClick);
    connect(m_autoUpdate, &QCheckBox::toggled, this, &TOptionsIkkuna::AutoUpdateClick);
    connect(m_btnBrowse, &QPushButton::clicked, this, &TOptionsIkkuna::btnBrowseClick);
}

void TOptionsIkkuna::createMessagesPage(QWidget* page) {
    m_showTime = checkBox(u"Show message time"_s, "ShowTime", page);
    m_showName = checkBox(u"Show sender's name"_s, "ShowName", page);
    m_italic = checkBox(u"Show private messages in italic"_s, "Italic", page);
    const std::array<std::pair<const char*, QString>, 3> colorDesigns = {{
        {"OwnColor", u"Own message color (click to change)"_s},
        {"OtherColor", u"Other message color (click to change)"_s},
        {"PrivateColor", u"Private message color (click to change)"_s},
    }};
    for (size_t i = 0; i < colorDesigns.size(); ++i) {
        auto* label = named(new ClickLabel(colorDesigns[i].second, page), colorDesigns[i].first);
        label->onClick = [this, label] { OwnColorClick(label); };
        m_colorLabels[i] = label;
    }
    auto* fontLabel =
        plainLabel(u"Default message font (click it to change):"_s, "MessageFontLabel", page);
    auto* messageFont = named(new ClickLabel(QString(), page), "MessageFont");
    messageFont->onClick = [this] { MessageFontClick(); };
    m_messageFont = messageFont;

    m_alertMessage = checkBox(u"Notify when a new message comes"_s, "AlertMessage", page);
    m_notify = named(new QGroupBox(u"Notify with"_s, page), "Notify");
    m_flashingIcon =
        checkBox(u"Flashing icon on system tray"_s, "FlashingIcon", m_notify,
                 u"Display a flashing icon on the system tray when a new message arrives"_s);
    m_bringOnTop = checkBox(u"Bringing Kalvento on top"_s, "BringOnTop", m_notify,
                            u"Bring Kalvento on top when a new message arrives"_s);
    m_playASound = checkBox(u"Playing a sound"_s, "PlayASound", m_notify,
                            u"Play a sound when a new message arrives"_s);
    m_desktopNotification =
        checkBox(u"Desktop notification"_s, "DesktopNotification", m_notify,
                 u"Show the sender and the first line in a notification of the desktop"_s);
    m_sound = named(new QComboBox(m_notify), "Sound");
    m_sound->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_sound->setMinimumContentsLength(12);
    m_sound->setItemDelegate(new SoundItemDelegate(m_sound));
    // The system sounds are the list's first entries for good, so that a language can name
    // them; what a setting stores is their English name.
    for (const char* name : SystemSoundNames)
        addSound(QString::fromLatin1(name), QString::fromLatin1(name));
    m_selaaButton = smallButton("SelaaButton", u"Browse for sound files..."_s, m_notify);
    m_playSoundButton = smallButton("PlaySound", u"Play the chosen sound"_s, m_notify);
    m_playSoundButton->setIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    m_soundPlays = named(new QLabel(m_notify), "SoundPlays",
                         u"What the chosen sound plays: a sound of the desktop's sound theme, or "
                         u"the file"_s);
    m_soundPlays->setTextFormat(Qt::PlainText);
    QPalette dimmed = m_soundPlays->palette(); // it tells, it does nothing
    dimmed.setColor(QPalette::WindowText, dimmed.color(QPalette::Disabled, QPalette::WindowText));
    m_soundPlays->setPalette(dimmed);
    m_soundPlays->setMinimumWidth(1); // a long file name is cut, never widening the window

    auto* notifyLayout = new QGridLayout(m_notify);
    notifyLayout->addWidget(m_flashingIcon, 0, 0, 1, 3);
    notifyLayout->addWidget(m_bringOnTop, 1, 0, 1, 3);
    notifyLayout->addWidget(m_playASound, 2, 0, 1, 3);
    notifyLayout->addWidget(m_sound, 3, 0);
    notifyLayout->addWidget(m_selaaButton, 3, 1);
    notifyLayout->addWidget(m_playSoundButton, 3, 2);
    notifyLayout->addWidget(m_soundPlays, 4, 0, 1, 3);
    notifyLayout->addWidget(m_desktopNotification, 5, 0, 1, 3);
    notifyLayout->setColumnStretch(0, 1);

    auto* left = new QVBoxLayout;
    left->addWidget(m_showTime);
    left->addWidget(m_showName);
    left->addWidget(m_italic);
    for (QLabel* label : m_colorLabels)
        left->addWidget(label);
    left->addWidget(fontLabel);
    left->addWidget(m_messageFont);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(m_alertMessage);
    right->addWidget(m_notify);
    right->addStretch();
    auto* columns = new QHBoxLayout(page);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    connect(m_alertMessage, &QCheckBox::toggled, this, &TOptionsIkkuna::AlertMessageClick);
    connect(m_selaaButton, &QToolButton::clicked, this, &TOptionsIkkuna::SelaaButtonClick);
    connect(m_playSoundButton, &QToolButton::clicked, this, &TOptionsIkkuna::PlaySoundClick);
    connect(m_sound, &QComboBox::currentIndexChanged, this, &TOptionsIkkuna::SoundChange);
    SoundChange();
}

void TOptionsIkkuna::createFriendsPage(QWidget* page) {
    m_frendit = named(new QListWidget(page), "Frendit");
    // Kept in the friends' own order (sorted without regard to letter case) rather than
    // the list's case-sensitive sort.
    m_frendit->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_btnRemove =
        named(new QPushButton(u"&Remove"_s, page), "btnRemove", u"Remove selected friend(s)"_s);
    m_btnClear =
        named(new QPushButton(u"R&emove all"_s, page), "btnClear", u"Clear friends list"_s);

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(m_btnRemove);
    buttons->addWidget(m_btnClear);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->addWidget(m_frendit, 1);
    layout->addLayout(buttons);

    connect(m_frendit, &QListWidget::itemSelectionChanged, this, &TOptionsIkkuna::FrenditClick);
    connect(m_btnRemove, &QPushButton::clicked, this, &TOptionsIkkuna::btnRemoveClick);
    connect(m_btnClear, &QPushButton::clicked, this, &TOptionsIkkuna::btnClearClick);
}

void TOptionsIkkuna::createUpdatePage(QWidget* page) {
    m_proxyLabel = plainLabel(u"Name or IP-address of the proxy-server:"_s, "ProxyLabel", page);
    m_proxy = named(new QLineEdit(page), "Proxy");
    m_useProxy = checkBox(u"Use proxy server for the connection"_s, "UseProxy", page,
                          u"If you don't know what this is, leave this unchecked"_s);
    m_proxyPortLabel = plainLabel(u"Proxy port (0 as default port):"_s, "ProxyPortLabel", page);
    m_proxyPort = numberEdit("ProxyPort", 0, 32767, page);
    auto* addressLabel = plainLabel(u"Update info address:"_s, "AddressLabel", page);
    m_address =
        named(new QLineEdit(page), "Address", u"Do NOT modify unless Fennrake tells you so!"_s);
    auto* portLabel = plainLabel(u"Port:"_s, "PortLabel", page);
    m_port = numberEdit("Port", 0, 32767, page);
    // The field is kept for the settings file's sake; the check connects to the port the
    // address names.
    const QString portHint = u"Kept, not used: a port goes in the address, as in "
                             u"http://host:8080/Kalvento.ini"_s;
    m_port->setToolTip(portHint);
    portLabel->setToolTip(portHint);
    auto* portNote = plainLabel(u"A port other than 80 goes in the address: "
                                u"http://host:8080/..."_s,
                                "PortNote", page);
    portNote->setWordWrap(true);
    portNote->setEnabled(false);
    auto* saveToLabel = plainLabel(u"Save update to:"_s, "SaveToLabel", page);
    m_saveTo = named(new QLineEdit(page), "SaveTo", u"A directory to save the update to"_s);
    m_browseButton = smallButton("BrowseButton", u"Browse for folder..."_s, page);

    auto* grid = new QGridLayout(page);
    grid->addWidget(m_useProxy, 0, 0, 1, 3);
    grid->addWidget(m_proxyLabel, 1, 0, 1, 2);
    grid->addWidget(m_proxyPortLabel, 1, 2);
    grid->addWidget(m_proxy, 2, 0, 1, 2);
    grid->addWidget(m_proxyPort, 2, 2);
    grid->addWidget(addressLabel, 3, 0, 1, 2);
    grid->addWidget(portLabel, 3, 2);
    grid->addWidget(m_address, 4, 0, 1, 2);
    grid->addWidget(m_port, 4, 2);
    grid->addWidget(portNote, 5, 0, 1, 3);
    grid->addWidget(saveToLabel, 6, 0, 1, 3);
    grid->addWidget(m_saveTo, 7, 0, 1, 2);
    grid->addWidget(m_browseButton, 7, 2, Qt::AlignLeft);
    grid->setRowStretch(8, 1);
    grid->setColumnStretch(0, 1);

    connect(m_useProxy, &QCheckBox::toggled, this, &TOptionsIkkuna::UseProxyClick);
    connect(m_browseButton, &QToolButton::clicked, this, &TOptionsIkkuna::BrowseButtonClick);
}

void TOptionsIkkuna::createAppearancePage(QWidget* page) {
    m_backGroundLabel = plainLabel(u"Background:"_s, "BackGroundLabel", page);
    m_backGround = named(new QComboBox(page), "BackGround");
    m_backGround->addItem(u"Default"_s);
    m_backGround->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_backGround->setMinimumContentsLength(12);
    m_openBGButton = named(new QPushButton(u"O&pen"_s, page), "OpenBGButton",
                           u"Open a custom image file for background"_s);
    m_bgStyleLabel = plainLabel(u"Background style:"_s, "BGStyleLabel", page);
    m_bgStyle = named(new QComboBox(page), "BGStyle");
    m_bgStyle->addItems({u"Tile"_s, u"Center"_s, u"Stretch"_s});
    auto* bgColorLabel = plainLabel(u"Background color:"_s, "BGColorLabel", page);
    m_bgColor = named(new QComboBox(page), "BGColor");
    m_bgColor->addItem(swatch(QColor()), u"Custom..."_s, QVariant::fromValue(settings::clBlack));
    for (const ReadableColor& color : kBoxColors)
        m_bgColor->addItem(swatch(uisupport::toQColor(color.value, palette())),
                           QString::fromLatin1(color.name), QVariant::fromValue(color.value));
    m_noBG = checkBox(u"No background"_s, "NoBG", page);
    auto* identityLabel = plainLabel(u"Identity:"_s, "IdentityLabel", page);
    m_identity = named(new QLineEdit(page), "Identity");
    auto* languageLabel = plainLabel(u"Language:"_s, "LanguageLabel", page);
    m_language = named(new QComboBox(page), "Language");
    m_language->setIconSize(QSize(kPictureSize, kPictureSize));
    m_language->setMaxVisibleItems(8);
    m_langDir = plainLabel(QString(), "LangDir", page);
    m_langDir->setWordWrap(true);

    auto* grid = new QGridLayout(page);
    grid->addWidget(m_backGroundLabel, 0, 0, 1, 2);
    grid->addWidget(m_backGround, 1, 0);
    grid->addWidget(m_openBGButton, 1, 1);
    grid->addWidget(m_bgStyleLabel, 2, 0, 1, 2);
    grid->addWidget(m_bgStyle, 3, 0, 1, 2);
    grid->addWidget(bgColorLabel, 4, 0, 1, 2);
    grid->addWidget(m_bgColor, 5, 0, 1, 2);
    grid->addWidget(m_noBG, 6, 0, 1, 2);
    grid->addWidget(identityLabel, 0, 2);
    grid->addWidget(m_identity, 1, 2);
    grid->addWidget(languageLabel, 2, 2);
    grid->addWidget(m_language, 3, 2);
    grid->addWidget(m_langDir, 4, 2, 3, 1, Qt::AlignTop);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(7, 1);

    connect(m_noBG, &QCheckBox::toggled, this, &TOptionsIkkuna::NoBGClick);
    connect(m_openBGButton, &QPushButton::clicked, this, &TOptionsIkkuna::OpenBGButtonClick);
    connect(m_bgColor, &QComboBox::activated, this, &TOptionsIkkuna::BGColorSelect);
    connect(m_language, &QComboBox::currentIndexChanged, this, &TOptionsIkkuna::LanguageSelect);
}

void TOptionsIkkuna::createNetworkPage(QWidget* page) {
    auto* portLabel =
        plainLabel(u"UDP port (the same on every computer):"_s, "NetworkPortLabel", page);
    m_networkPort = numberEdit("NetworkPort", 1, 65535, page);
    m_networkPort->setToolTip(u"The port Kalvento sends and receives on (5737 by default)"_s);
    auto* interfacesLabel =
        plainLabel(u"Network cards (none ticked: all of them):"_s, "InterfacesLabel", page);
    m_interfaces = named(new QListWidget(page), "Interfaces",
                         u"The network cards whose networks Kalvento greets and listens on"_s);
    auto* peersLabel =
        plainLabel(u"Computers beyond this network, one a line:"_s, "PeersLabel", page);
    m_peers = named(new QPlainTextEdit(page), "Peers",
                    u"An address (10.0.4.7), an address and port (10.0.4.7:5737) or a subnet of "
                    u"at most 1,024 addresses (10.0.4.0/24)"_s);
    m_peers->setTabChangesFocus(true);
    m_peersProblem = named(new QLabel(page), "PeersProblem");
    m_peersProblem->setWordWrap(true);
    QPalette warning = m_peersProblem->palette();
    warning.setColor(QPalette::WindowText, QColor(0xB0, 0x20, 0x20));
    m_peersProblem->setPalette(warning);
    m_networkOverride = named(new QLabel(page), "NetworkOverride");
    m_networkOverride->setWordWrap(true);
    QStringList overrides;
    for (const char* variable : {"KALVENTO_PORT", "KALVENTO_INTERFACES", "KALVENTO_PEERS"})
        if (qEnvironmentVariableIsSet(variable))
            overrides.append(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M042),
                                                 {QString::fromLatin1(variable)}));
    m_networkOverride->setText(overrides.join(u'\n'));
    m_networkOverride->setVisible(!overrides.isEmpty());

    auto* grid = new QGridLayout(page);
    grid->addWidget(portLabel, 0, 0);
    grid->addWidget(m_networkPort, 0, 1, Qt::AlignLeft);
    grid->addWidget(interfacesLabel, 1, 0);
    grid->addWidget(peersLabel, 1, 1);
    grid->addWidget(m_interfaces, 2, 0);
    grid->addWidget(m_peers, 2, 1);
    grid->addWidget(m_peersProblem, 3, 0, 1, 2);
    grid->addWidget(m_networkOverride, 4, 0, 1, 2);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);

    connect(m_peers, &QPlainTextEdit::textChanged, this, &TOptionsIkkuna::PeersChange);
}

void TOptionsIkkuna::fillInterfaces(const QStringList& chosen) {
    m_interfaces->clear();
    QStringList names = m_detectedInterfaces;
    // A chosen card that is not there now (unplugged, renamed) stays in the list.
    for (const QString& name : chosen)
        if (!names.contains(name))
            names.append(name);
    for (const QString& name : names) {
        auto* item = new QListWidgetItem(
            m_detectedInterfaces.contains(name) ? name : name + u" (not found)"_s, m_interfaces);
        item->setData(Qt::UserRole, name);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(chosen.contains(name) ? Qt::Checked : Qt::Unchecked);
    }
}

void TOptionsIkkuna::PeersChange() {
    QStringList problems;
    const QStringList lines = m_peers->toPlainText().split(u'\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (lines[i].trimmed().isEmpty())
            continue;
        const network::StaticPeerEntry entry =
            network::parsePeerEntry(lines[i], quint16(m_networkPort->value()));
        if (!entry.ok())
            problems.append(lang::FormatMessage(lang::GetMessageText(lang::MessageId::M043),
                                                {QString::number(i + 1), entry.error}));
    }
    m_peersProblem->setText(problems.join(u'\n'));
    m_peersProblem->setVisible(!problems.isEmpty());
}

void TOptionsIkkuna::fill(const settings::Settings& s, const QFont& chatFont) {
    m_showSplash->setChecked(s.showSplashscreen);
    m_showTime->setChecked(s.showMessageTime);
    m_showName->setChecked(s.showSenderName);
    setLabelColor(m_colorLabels[0], s.ownMessageColor);
    setLabelColor(m_colorLabels[1], s.otherMessageColor);
    m_proxy->setText(s.proxyServer);
    m_proxyPort->setValue(s.proxyPort);
    m_useProxy->setChecked(s.useProxy);
    m_port->setValue(s.port);
    m_address->setText(s.updateAddress);
    m_saveTo->setText(s.saveUpdateDirectory);
    m_alertMessage->setChecked(s.showAlert);
    m_deliveries->setValue(s.deliveries);
    while (m_sound->count() > int(SystemSoundNames.size()))
        m_sound->removeItem(m_sound->count() - 1);
    m_flashingIcon->setChecked(s.flashingIcon);
    m_bringOnTop->setChecked(s.bringOnTop);
    m_playASound->setChecked(s.playSound);
    m_desktopNotification->setChecked(s.desktopNotification);
    selectSound(s.soundName);
    m_start->setChecked(s.startWithSystem);
    m_hideTray->setChecked(s.hideToTray);
    m_alwaysTray->setChecked(s.alwaysShowTrayIcon);
    m_autoUpdate->setChecked(s.automaticUpdate);
    m_connected->setChecked(s.alwaysConnected);
    m_saveMessages->setChecked(s.saveMessagesLog);
    m_saveMessagesPath->setText(s.saveMessagesPath);
    m_italic->setChecked(s.showPrivateItalic);
    setLabelColor(m_colorLabels[2], s.privateMessageColor);
    m_font = chatFont;
    TeeFonttiTeksti(m_messageFont, m_font);

    while (m_backGround->count() > 1)
        m_backGround->removeItem(1);
    m_backGround->setCurrentIndex(0);
    if (s.backgroundIndex != 0) {
        m_backGround->addItem(s.background);
        m_backGround->setCurrentIndex(m_backGround->count() - 1);
    }
    m_bgStyle->setCurrentIndex(
        s.backgroundStyle >= 0 && s.backgroundStyle < m_bgStyle->count() ? s.backgroundStyle : -1);
    selectBackgroundColor(s.backgroundColor);
    m_noBG->setChecked(s.disableBackground);
    m_identity->setText(s.identity);
    fillLanguages(s);
    m_frendit->clear();
    m_frendit->addItems(settings::normalizeFriends(s.friends));
    m_networkPort->setValue(s.networkPort);
    fillInterfaces(s.networkInterfaces);
    m_peers->setPlainText(s.networkPeers.join(u'\n'));

    UseProxyClick();
    NoBGClick();
    SaveMessagesClick();
    AutoUpdateClick();
    AlertMessageClick();
    FrenditClick();
    PeersChange();
}

void TOptionsIkkuna::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Only a shown window knows the sizes its texts take in the language in use.
    if (!event->spontaneous())
        fitToContents();
}

void TOptionsIkkuna::fitToContents() {
    // An address is read whole: its box is at least as wide as the address.
    m_address->setMinimumWidth(
        qMax(m_address->minimumSizeHint().width(),
             m_address->fontMetrics().horizontalAdvance(m_address->text()) + 16));
    // The window and its pages grow with the texts of the language in use; the size they
    // were laid out at is the least. Pages not shown yet are not polished yet, and their texts
    // would be measured in the wrong font.
    for (QWidget* widget : findChildren<QWidget*>())
        widget->ensurePolished();
    for (QLayout* each : findChildren<QLayout*>())
        each->invalidate();
    layout()->activate();
    setMinimumSize(layout()->minimumSize().expandedTo(kDesignClientSize));
    resize(size().expandedTo(sizeHint()).expandedTo(minimumSize()));
}

void TOptionsIkkuna::selectSound(const QString& soundName) {
    if (soundName.isEmpty()) {
        m_sound->setCurrentIndex(0);
        return;
    }
    int entry = findSound(m_sound, soundName);
    if (entry < 0) {
        addSound(soundName, soundName);
        entry = m_sound->count() - 1;
    }
    m_sound->setCurrentIndex(entry);
}

void TOptionsIkkuna::addSound(const QString& storedName, const QString& text) {
    const int entry = m_sound->count();
    m_sound->addItem(text);
    m_sound->setItemData(entry, storedName, StoredSoundRole);
    const desktop::SoundChoice plays = desktop::chooseSound(storedName, entry);
    if (plays.kind == desktop::SoundChoice::SystemSound)
        m_sound->setItemData(entry, QString::fromLatin1(desktop::systemSoundEventId(entry)),
                             SoundEventRole);
    else
        m_sound->setItemData(entry, storedName, Qt::ToolTipRole); // the whole path
}

desktop::SoundChoice TOptionsIkkuna::chosenSound() const {
    const int entry = m_sound->currentIndex();
    return desktop::chooseSound(m_sound->itemData(entry, StoredSoundRole).toString(), entry);
}

void TOptionsIkkuna::SoundChange() {
    const desktop::SoundChoice plays = chosenSound();
    m_soundPlays->setText(
        plays.kind == desktop::SoundChoice::File
            ? QFileInfo(plays.fileName).fileName()
            : QString::fromLatin1(desktop::systemSoundEventId(plays.systemSound)));
    m_playSoundButton->setEnabled(m_sound->currentIndex() >= 0);
}

void TOptionsIkkuna::PlaySoundClick() {
    if (m_sound->currentIndex() >= 0)
        m_playSound(chosenSound());
}

void TOptionsIkkuna::selectBackgroundColor(quint32 value) {
    int entry = -1;
    for (int i = kCustomColorEntry + 1; i < m_bgColor->count() && entry < 0; ++i) {
        if (m_bgColor->itemData(i).value<quint32>() == value)
            entry = i;
    }
    if (entry < 0) {
        // A colour the list does not name: the custom entry holds it.
        entry = kCustomColorEntry;
        m_bgColor->setItemData(entry, QVariant::fromValue(value));
        m_bgColor->setItemIcon(entry, swatch(uisupport::toQColor(value, palette())));
    }
    m_bgColor->setCurrentIndex(entry);
    m_bgColorIndex = entry;
}

void TOptionsIkkuna::fillLanguages(const settings::Settings& s) {
    const QString folder = m_langDir->text();
    const QStringList names = lang::languageList(folder);
    // Filling the list is not choosing from it.
    QSignalBlocker blocker(m_language);
    m_language->clear();
    m_language->addItem(languagePicture(0), names.first());
    for (qsizetype i = 1; i < names.size(); ++i) {
        QIcon picture = languagePicture(1);
        const QString file = folder + names[i] + u".bmp"_s;
        if (QFileInfo(file).isFile()) {
            // The picture's top-left corner, as much as fits the list.
            const QImage image(file);
            if (!image.isNull())
                picture = QIcon(QPixmap::fromImage(image.copy(0, 0, kPictureSize, kPictureSize)));
        }
        m_language->addItem(picture, names[i]);
    }
    if (s.languageIndex != 0)
        m_language->setCurrentIndex(findEntry(m_language, s.language));
    else
        m_language->setCurrentIndex(0);
    blocker.unblock();
    LanguageSelect(m_language->currentIndex());
}

QIcon TOptionsIkkuna::languagePicture(int index) {
    QImage image(kPictureSize, kPictureSize, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    if (index == 0) {
        // The built-in language: a blue flag crossed in white and red.
        painter.fillRect(QRect(1, 3, 14, 10), QColor(0x1F, 0x3A, 0x93));
        painter.setPen(QPen(Qt::white, 3));
        painter.drawLine(8, 3, 8, 12);
        painter.drawLine(1, 8, 14, 8);
        painter.setPen(QPen(QColor(0xC8, 0x10, 0x2E), 1));
        painter.drawLine(8, 3, 8, 12);
        painter.drawLine(1, 8, 14, 8);
    } else {
        // Any other language: a plain white flag on a pole.
        painter.setPen(QColor(0x60, 0x40, 0x20));
        painter.drawLine(2, 1, 2, 15);
        painter.setPen(QColor(0x80, 0x80, 0x80));
        painter.setBrush(Qt::white);
        painter.drawRect(3, 2, 11, 7);
    }
    painter.end();
    return QIcon(QPixmap::fromImage(image));
}

settings::Settings TOptionsIkkuna::result(settings::Settings s) const {
    s.showSplashscreen = m_showSplash->isChecked();
    s.showMessageTime = m_showTime->isChecked();
    s.showSenderName = m_showName->isChecked();
    s.ownMessageColor = m_colors[0];
    s.otherMessageColor = m_colors[1];
    // Greyed-out proxy fields keep and save what they hold.
    s.proxyServer = m_proxy->text();
    s.proxyPort = m_proxyPort->value();
    s.useProxy = m_useProxy->isChecked();
    s.port = m_port->value();
    s.updateAddress = m_address->text();
    s.saveUpdateDirectory = platform::withTrailingSlash(m_saveTo->text());
    s.showAlert = m_alertMessage->isChecked();
    s.deliveries = m_deliveries->value();
    s.flashingIcon = m_flashingIcon->isChecked();
    s.bringOnTop = m_bringOnTop->isChecked();
    s.playSound = m_playASound->isChecked();
    s.desktopNotification = m_desktopNotification->isChecked();
    if (m_sound->currentIndex() >= 0) {
        s.soundName = m_sound->currentData(StoredSoundRole).toString();
        s.soundIndex = m_sound->currentIndex();
    }
    s.startWithSystem = m_start->isChecked();
    s.hideToTray = m_hideTray->isChecked();
    s.alwaysShowTrayIcon = m_alwaysTray->isChecked();
    s.automaticUpdate = m_autoUpdate->isChecked();
    s.alwaysConnected = m_connected->isChecked();
    s.saveMessagesLog = m_saveMessages->isChecked();
    // The log's path is this folder followed directly by the file name.
    s.saveMessagesPath = platform::withTrailingSlash(m_saveMessagesPath->text());
    s.showPrivateItalic = m_italic->isChecked();
    s.privateMessageColor = m_colors[2];
    s.messageFontName = m_font.family();
    if (const int size = qRound(m_font.pointSizeF()); size > 0)
        s.messageFontSize = size;

    if (m_backGround->currentIndex() >= 0) {
        s.backgroundIndex = m_backGround->currentIndex();
        if (s.backgroundIndex != 0)
            s.background = m_backGround->currentText();
    }
    QStringList friends;
    for (int i = 0; i < m_frendit->count(); ++i)
        friends.append(m_frendit->item(i)->text());
    s.friends = settings::normalizeFriends(friends);
    if (m_bgStyle->currentIndex() >= 0)
        s.backgroundStyle = m_bgStyle->currentIndex();
    s.backgroundColor = backgroundColor();
    s.disableBackground = m_noBG->isChecked();
    s.identity = m_identity->text();
    if (m_language->currentIndex() >= 0) {
        s.languageIndex = m_language->currentIndex();
        s.language = m_language->currentText();
    }
    s.networkPort = m_networkPort->value();
    s.networkInterfaces.clear();
    for (int i = 0; i < m_interfaces->count(); ++i)
        if (m_interfaces->item(i)->checkState() == Qt::Checked)
            s.networkInterfaces.append(m_interfaces->item(i)->data(Qt::UserRole).toString());
    // Lines are kept as typed (trimmed); one that is no peer is skipped when used.
    s.networkPeers.clear();
    for (const QString& line : m_peers->toPlainText().split(u'\n'))
        if (const QString entry = line.trimmed(); !entry.isEmpty())
            s.networkPeers.append(entry);
    return s;
}

void TOptionsIkkuna::TeeFonttiTeksti(QLabel* label, const QFont& font) {
    const int size = font.pointSize() > 0 ? font.pointSize() : qRound(font.pointSizeF());
    label->setText(font.family() + u", "_s + QString::number(size) + u"pt"_s);
}

void TOptionsIkkuna::setLabelColor(QLabel* label, quint32 value) {
    const auto index = size_t(std::find(m_colorLabels.begin(), m_colorLabels.end(), label) -
                              m_colorLabels.begin());
    if (index >= m_colors.size())
        return;
    // The stored value is kept as it is, so a desktop colour stays a desktop colour.
    m_colors[index] = value;
    QPalette colors = label->palette();
    colors.setColor(QPalette::WindowText, uisupport::toQColor(value, palette()));
    label->setPalette(colors);
}

quint32 TOptionsIkkuna::labelColor(const QLabel* label) const {
    for (size_t i = 0; i < m_colorLabels.size(); ++i) {
        if (m_colorLabels[i] == label)
            return m_colors[i];
    }
    return settings::clDefault;
}

quint32 TOptionsIkkuna::backgroundColor() const {
    return m_bgColor->currentData().value<quint32>();
}

void TOptionsIkkuna::OwnColorClick(QLabel* label) {
    const std::optional<QColor> chosen =
        m_pickers.color(this, uisupport::toQColor(labelColor(label), palette()));
    if (chosen)
        setLabelColor(label, uisupport::fromQColor(*chosen));
}

void TOptionsIkkuna::MessageFontClick() {
    if (const std::optional<QFont> chosen = m_pickers.font(this, m_font)) {
        m_font = *chosen;
        TeeFonttiTeksti(m_messageFont, m_font);
    }
}

void TOptionsIkkuna::BGColorSelect(int index) {
    if (index == kCustomColorEntry) {
        const quint32 current = m_bgColor->itemData(m_bgColorIndex).value<quint32>();
        const std::optional<QColor> chosen =
            m_pickers.color(this, uisupport::toQColor(current, palette()));
        if (!chosen) {
            m_bgColor->setCurrentIndex(m_bgColorIndex);
            return;
        }
        // A picked colour that has a name in the list selects that entry.
        selectBackgroundColor(uisupport::fromQColor(*chosen));
        return;
    }
    m_bgColorIndex = index;
}

void TOptionsIkkuna::UseProxyClick() {
    const bool on = m_useProxy->isChecked();
    for (QWidget* w : {static_cast<QWidget*>(m_proxyLabel), static_cast<QWidget*>(m_proxy),
                       static_cast<QWidget*>(m_proxyPortLabel), static_cast<QWidget*>(m_proxyPort)})
        w->setEnabled(on);
}

void TOptionsIkkuna::NoBGClick() {
    const bool on = !m_noBG->isChecked();
    for (QWidget* w :
         {static_cast<QWidget*>(m_backGround), static_cast<QWidget*>(m_bgStyle),
          static_cast<QWidget*>(m_openBGButton), static_cast<QWidget*>(m_backGroundLabel),
          static_cast<QWidget*>(m_bgStyleLabel)})
        w->setEnabled(on);
}

void TOptionsIkkuna::SaveMessagesClick() {
    const bool on = m_saveMessages->isChecked();
    m_saveMessagesPath->setEnabled(on);
    m_btnBrowse->setEnabled(on);
}

void enableAutomaticCheckBoxes(QCheckBox* autoUpdate, QCheckBox* connected, bool available) {
    autoUpdate->setEnabled(available);
    connected->setEnabled(available && autoUpdate->isChecked());
    if (!available) {
        autoUpdate->setToolTip(QString::fromLatin1(NoAutomaticCheckHint));
        connected->setToolTip(QString::fromLatin1(NoAutomaticCheckHint));
    }
}

void TOptionsIkkuna::AutoUpdateClick() {
    enableAutomaticCheckBoxes(m_autoUpdate, m_connected, m_automaticCheckAvailable);
}

void TOptionsIkkuna::setAutomaticCheckAvailable(bool available) {
    m_automaticCheckAvailable = available;
    AutoUpdateClick();
}

void TOptionsIkkuna::AlertMessageClick() {
    // The controls inside the group, not the group: its title stays readable.
    const bool on = m_alertMessage->isChecked();
    for (QWidget* w : m_notify->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        w->setEnabled(on);
}

void TOptionsIkkuna::FrenditClick() {
    m_btnRemove->setEnabled(!m_frendit->selectedItems().isEmpty());
    m_btnClear->setEnabled(m_frendit->count() > 0);
}

void TOptionsIkkuna::browseFolder(QLineEdit* edit) {
    const std::optional<QString> folder =
        m_pickers.folder(this, lang::GetMessageText(lang::MessageId::M001));
    if (!folder)
        return;
    edit->setText(platform::withTrailingSlash(*folder));
}

void TOptionsIkkuna::btnBrowseClick() {
    browseFolder(m_saveMessagesPath);
}

void TOptionsIkkuna::BrowseButtonClick() {
    browseFolder(m_saveTo);
}

void TOptionsIkkuna::OpenBGButtonClick() {
    const std::optional<QString> file = m_pickers.picture(this, PictureFilter);
    if (!file)
        return;
    const QString wanted = file->toLower();
    for (int i = 0; i < m_backGround->count(); ++i) {
        if (m_backGround->itemText(i).toLower() == wanted) {
            m_backGround->setCurrentIndex(i);
            return;
        }
    }
    m_backGround->addItem(*file);
    m_backGround->setCurrentIndex(m_backGround->count() - 1);
}

void TOptionsIkkuna::SelaaButtonClick() {
    const std::optional<QString> file = m_pickers.sound(
        this, SoundFilter, soundFolder(m_sound->currentData(StoredSoundRole).toString()));
    if (!file)
        return;
    addSound(*file, *file);
    m_sound->setCurrentIndex(m_sound->count() - 1);
}

void TOptionsIkkuna::btnRemoveClick() {
    for (int i = 0; i < m_frendit->count();) {
        if (m_frendit->item(i)->isSelected())
            delete m_frendit->takeItem(i);
        else
            ++i;
    }
    FrenditClick();
}

void TOptionsIkkuna::btnClearClick() {
    if (m_pickers.confirm(this, lang::GetMessageText(lang::MessageId::M008)))
        m_frendit->clear();
    FrenditClick();
}

} // namespace kalvento::dialogs
