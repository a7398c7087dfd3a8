#include "dialogs/options_appearance_page.h"

#include "lang/language_file.h"
#include "settings/colors.h"
#include "uisupport/qcolor_mapping.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

namespace {

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
    QPixmap pixmap(PictureSize, PictureSize);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setPen(Qt::black);
    painter.setBrush(color.isValid() ? color : QColor(Qt::transparent));
    painter.drawRect(1, 2, PictureSize - 3, PictureSize - 5);
    return QIcon(pixmap);
}

// Entry index of text in the combo box, letter case ignored; -1 when absent.
int findEntry(const QComboBox* box, const QString& text) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemText(i).compare(text, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

} // namespace

AppearancePage::AppearancePage(const TOptionsIkkuna::Pickers& pickers,
                               const QString& languagesFolder, QWidget* parent)
    : OptionsPage(parent), m_pickers(pickers) {
    setObjectName(u"Appearance"_s);
    m_backGroundLabel = plainLabel(u"Background:"_s, "BackGroundLabel", this);
    m_backGround = named(new QComboBox(this), "BackGround");
    m_backGround->addItem(u"Default"_s);
    m_backGround->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_backGround->setMinimumContentsLength(12);
    m_openBGButton = named(new QPushButton(u"O&pen"_s, this), "OpenBGButton",
                           u"Open a custom image file for background"_s);
    m_bgStyleLabel = plainLabel(u"Background style:"_s, "BGStyleLabel", this);
    m_bgStyle = named(new QComboBox(this), "BGStyle");
    m_bgStyle->addItems({u"Tile"_s, u"Center"_s, u"Stretch"_s});
    auto* bgColorLabel = plainLabel(u"Background color:"_s, "BGColorLabel", this);
    m_bgColor = named(new QComboBox(this), "BGColor");
    m_bgColor->addItem(swatch(QColor()), u"Custom..."_s, QVariant::fromValue(settings::clBlack));
    for (const ReadableColor& color : kBoxColors)
        m_bgColor->addItem(swatch(uisupport::toQColor(color.value, palette())),
                           QString::fromLatin1(color.name), QVariant::fromValue(color.value));
    m_noBG = checkBox(u"No background"_s, "NoBG", this);
    auto* identityLabel = plainLabel(u"Identity:"_s, "IdentityLabel", this);
    m_identity = named(new QLineEdit(this), "Identity");
    auto* languageLabel = plainLabel(u"Language:"_s, "LanguageLabel", this);
    m_language = named(new QComboBox(this), "Language");
    m_language->setIconSize(QSize(PictureSize, PictureSize));
    m_language->setMaxVisibleItems(8);
    m_langDir = plainLabel(languagesFolder, "LangDir", this);
    m_langDir->setToolTip(languagesFolder);
    m_langDir->setWordWrap(true);

    auto* grid = new QGridLayout(this);
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

    connect(m_noBG, &QCheckBox::toggled, this, &AppearancePage::NoBGClick);
    connect(m_openBGButton, &QPushButton::clicked, this, &AppearancePage::OpenBGButtonClick);
    connect(m_bgColor, &QComboBox::activated, this, &AppearancePage::BGColorSelect);
    connect(m_language, &QComboBox::currentIndexChanged, this, &AppearancePage::LanguageSelect);
}

void AppearancePage::fill(const settings::Settings& s) {
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
    NoBGClick();
}

void AppearancePage::takeBack(settings::Settings& s) const {
    if (m_backGround->currentIndex() >= 0) {
        s.backgroundIndex = m_backGround->currentIndex();
        if (s.backgroundIndex != 0)
            s.background = m_backGround->currentText();
    }
    if (m_bgStyle->currentIndex() >= 0)
        s.backgroundStyle = m_bgStyle->currentIndex();
    s.backgroundColor = backgroundColor();
    s.disableBackground = m_noBG->isChecked();
    s.identity = m_identity->text();
    // A list without a selection (a language whose file is gone) keeps the setting.
    if (m_language->currentIndex() >= 0) {
        s.languageIndex = m_language->currentIndex();
        s.language = m_language->currentText();
    }
}

void AppearancePage::LanguageSelect(int index) {
    if (index >= 0 && m_languageChosen)
        m_languageChosen(index > 0 ? m_language->itemText(index) : QString());
}

void AppearancePage::selectBackgroundColor(quint32 value) {
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

void AppearancePage::fillLanguages(const settings::Settings& s) {
    const QString folder = m_langDir->text();
    const QStringList names = lang::languageList(folder);
    // Filling the list is not choosing from it.
    QSignalBlocker blocker(m_language);
    m_language->clear();
    m_language->addItem(TOptionsIkkuna::languagePicture(0), names.first());
    for (qsizetype i = 1; i < names.size(); ++i) {
        QIcon picture = TOptionsIkkuna::languagePicture(1);
        const QString file = folder + names[i] + u".bmp"_s;
        if (QFileInfo(file).isFile()) {
            // The picture's top-left corner, as much as fits the list.
            const QImage image(file);
            if (!image.isNull())
                picture = QIcon(QPixmap::fromImage(image.copy(0, 0, PictureSize, PictureSize)));
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

quint32 AppearancePage::backgroundColor() const {
    return m_bgColor->currentData().value<quint32>();
}

void AppearancePage::BGColorSelect(int index) {
    if (index == kCustomColorEntry) {
        const quint32 current = m_bgColor->itemData(m_bgColorIndex).value<quint32>();
        const std::optional<QColor> chosen =
            m_pickers.color(window(), uisupport::toQColor(current, palette()));
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

void AppearancePage::NoBGClick() {
    const bool on = !m_noBG->isChecked();
    for (QWidget* w :
         {static_cast<QWidget*>(m_backGround), static_cast<QWidget*>(m_bgStyle),
          static_cast<QWidget*>(m_openBGButton), static_cast<QWidget*>(m_backGroundLabel),
          static_cast<QWidget*>(m_bgStyleLabel)})
        w->setEnabled(on);
}

void AppearancePage::OpenBGButtonClick() {
    const std::optional<QString> file = m_pickers.picture(window(), TOptionsIkkuna::PictureFilter);
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

} // namespace kalvento::dialogs
