#include "dialogs/options_window.h"

#include "dialogs/options_appearance_page.h"
#include "dialogs/options_friends_page.h"
#include "dialogs/options_general_page.h"
#include "dialogs/options_messages_page.h"
#include "dialogs/options_network_page.h"
#include "dialogs/options_update_page.h"
#include "lang/language_file.h"
#include "network/udp_network.h"
#include "platform/paths.h"
#include "uisupport/apply_language.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTabWidget>
#include <QVBoxLayout>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

namespace {

// The client area the window was laid out for; Linux fonts may ask for more, never less.
constexpr QSize kDesignClientSize(465, 265);
constexpr int kPictureSize = 16;

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
      m_pickers(Pickers::real()) {
    setObjectName(u"OptionsIkkuna"_s);
    setWindowTitle(u"Options"_s);
    // A dialog: closed or confirmed, never minimized or maximized.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

    m_sivut = new QTabWidget(this);
    m_sivut->setObjectName(u"OptionsSivut"_s);
    // Every page's tab in sight: the window is made as wide as the tabs need rather than
    // scrolling them, which would hide the first ones behind arrows.
    m_sivut->setUsesScrollButtons(false);
    const QString languagesFolder =
        m_resourceDirectory + QString::fromLatin1(lang::LanguagesFolder) + u'/';
    m_general = new GeneralPage(m_pickers, m_sivut);
    m_messages = new MessagesPage(m_pickers, m_sivut);
    m_friends = new FriendsPage(m_pickers, m_sivut);
    m_update = new UpdatePage(m_pickers, m_sivut);
    m_appearance = new AppearancePage(m_pickers, languagesFolder, m_sivut);
    m_network = new NetworkPage(network::broadcastInterfaceNames(), m_sivut);
    m_appearance->setLanguageChosen([this](const QString& language) { showLanguage(language); });
    const std::pair<OptionsPage*, QStyle::StandardPixmap> tabs[] = {
        {m_general, QStyle::SP_ComputerIcon},   {m_messages, QStyle::SP_MessageBoxInformation},
        {m_friends, QStyle::SP_DirHomeIcon},    {m_update, QStyle::SP_BrowserReload},
        {m_appearance, QStyle::SP_DesktopIcon}, {m_network, QStyle::SP_DriveNetIcon},
    };
    for (const auto& [page, picture] : tabs) {
        // Every page counts for the window's size, the hidden ones too, so that switching
        // pages never finds one too small for its texts.
        QSizePolicy policy = page->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        page->setSizePolicy(policy);
        m_sivut->addTab(page, style()->standardIcon(picture), page->objectName());
    }
    m_sivut->setCurrentIndex(0);
    // The language list is filled after the pages that show texts of their own.
    m_pages = {m_general, m_messages, m_update, m_appearance, m_friends, m_network};

    auto* btnOk = new QPushButton(u"&Ok"_s, this);
    btnOk->setObjectName(u"btnOk"_s);
    btnOk->setToolTip(u"Save changes (enter)"_s);
    auto* btnCancel = new QPushButton(u"&Cancel"_s, this);
    btnCancel->setObjectName(u"btnCancel"_s);
    btnCancel->setToolTip(u"Undo changes (esc)"_s);
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
    if (current.languageIndex != 0) {
        lang::SetCurrentLanguageFile(
            lang::LoadLanguageFile(lang::languageFileName(current.language), m_resourceDirectory));
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        m_shownLanguage = current.language;
    }
}

void TOptionsIkkuna::showLanguage(const QString& language) {
    if (language == m_shownLanguage)
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

void TOptionsIkkuna::fill(const settings::Settings& s, const QFont& chatFont) {
    for (OptionsPage* page : m_pages)
        page->fill(s);
    m_messages->setChatFont(chatFont);
}

settings::Settings TOptionsIkkuna::result(settings::Settings s) const {
    for (const OptionsPage* page : m_pages)
        page->takeBack(s);
    return s;
}

void TOptionsIkkuna::setSoundPlayer(std::function<void(const desktop::SoundChoice&)> play) {
    m_messages->setSoundPlayer(std::move(play));
}

desktop::SoundChoice TOptionsIkkuna::chosenSound() const {
    return m_messages->chosenSound();
}

QFont TOptionsIkkuna::chosenFont() const {
    return m_messages->chatFont();
}

void TOptionsIkkuna::MessageFontClick() {
    m_messages->MessageFontClick();
}

void TOptionsIkkuna::setAutomaticCheckAvailable(bool available) {
    m_general->setAutomaticCheckAvailable(available);
}

void TOptionsIkkuna::setDetectedInterfaces(const QStringList& names) {
    m_network->setDetectedInterfaces(names);
}

void TOptionsIkkuna::setOwnFingerprint(const QString& fingerprint) {
    m_network->setOwnFingerprint(fingerprint);
    if (isVisible())
        fitToContents();
}

quint32 TOptionsIkkuna::labelColor(const QLabel* label) const {
    return m_messages->labelColor(label);
}

quint32 TOptionsIkkuna::backgroundColor() const {
    return m_appearance->backgroundColor();
}

void TOptionsIkkuna::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // Only a shown window knows the sizes its texts take in the language in use.
    if (!event->spontaneous())
        fitToContents();
}

void TOptionsIkkuna::fitToContents() {
    m_update->fitAddress();
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

void enableAutomaticCheckBoxes(QCheckBox* autoUpdate, QCheckBox* connected, bool available) {
    autoUpdate->setEnabled(available);
    connected->setEnabled(available && autoUpdate->isChecked());
    if (!available) {
        autoUpdate->setToolTip(QString::fromLatin1(NoAutomaticCheckHint));
        connected->setToolTip(QString::fromLatin1(NoAutomaticCheckHint));
    }
}

} // namespace kalvento::dialogs
