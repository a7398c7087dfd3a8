#include "dialogs/options_messages_page.h"

#include "settings/colors.h"
#include "uisupport/qcolor_mapping.h"

#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace kalvento::dialogs {

using namespace options;

namespace {

// A label that acts on a click: the colour and font labels.
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

int findSound(const QComboBox* box, const QString& storedName) {
    for (int i = 0; i < box->count(); ++i) {
        if (box->itemData(i, TOptionsIkkuna::StoredSoundRole)
                .toString()
                .compare(storedName, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void showFont(QLabel* label, const QFont& font) {
    const int size = font.pointSize() > 0 ? font.pointSize() : qRound(font.pointSizeF());
    label->setText(font.family() + u", "_s + QString::number(size) + u"pt"_s);
}

} // namespace

MessagesPage::MessagesPage(const TOptionsIkkuna::Pickers& pickers, QWidget* parent)
    : OptionsPage(parent), m_pickers(pickers) {
    setObjectName(u"Messages"_s);
    // The player of the alerts' kind, made when first asked to play.
    m_playSound = [player = std::shared_ptr<desktop::SoundPlayer>()](
                      const desktop::SoundChoice& choice) mutable {
        if (!player)
            player = std::make_shared<desktop::SoundPlayer>();
        player->play(choice);
    };

    m_showTime = checkBox(u"Show message time"_s, "ShowTime", this);
    m_showName = checkBox(u"Show sender's name"_s, "ShowName", this);
    m_italic = checkBox(u"Show private messages in italic"_s, "Italic", this);
    const std::array<std::pair<const char*, QString>, 3> colorDesigns = {{
        {"OwnColor", u"Own message color (click to change)"_s},
        {"OtherColor", u"Other message color (click to change)"_s},
        {"PrivateColor", u"Private message color (click to change)"_s},
    }};
    for (size_t i = 0; i < colorDesigns.size(); ++i) {
        auto* label = named(new ClickLabel(colorDesigns[i].second, this), colorDesigns[i].first);
        label->onClick = [this, label] { OwnColorClick(label); };
        m_colorLabels[i] = label;
    }
    auto* fontLabel =
        plainLabel(u"Default message font (click it to change):"_s, "MessageFontLabel", this);
    auto* messageFont = named(new ClickLabel(QString(), this), "MessageFont");
    messageFont->onClick = [this] { MessageFontClick(); };
    m_messageFont = messageFont;

    m_alertMessage = checkBox(u"Notify when a new message comes"_s, "AlertMessage", this);
    m_notify = named(new QGroupBox(u"Notify with"_s, this), "Notify");
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
    for (const char* name : TOptionsIkkuna::SystemSoundNames)
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
    auto* columns = new QHBoxLayout(this);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);

    connect(m_alertMessage, &QCheckBox::toggled, this, &MessagesPage::AlertMessageClick);
    connect(m_selaaButton, &QToolButton::clicked, this, &MessagesPage::SelaaButtonClick);
    connect(m_playSoundButton, &QToolButton::clicked, this, &MessagesPage::PlaySoundClick);
    connect(m_sound, &QComboBox::currentIndexChanged, this, &MessagesPage::SoundChange);
    SoundChange();
}

void MessagesPage::fill(const settings::Settings& s) {
    m_showTime->setChecked(s.showMessageTime);
    m_showName->setChecked(s.showSenderName);
    m_italic->setChecked(s.showPrivateItalic);
    setLabelColor(m_colorLabels[0], s.ownMessageColor);
    setLabelColor(m_colorLabels[1], s.otherMessageColor);
    setLabelColor(m_colorLabels[2], s.privateMessageColor);
    m_alertMessage->setChecked(s.showAlert);
    while (m_sound->count() > int(TOptionsIkkuna::SystemSoundNames.size()))
        m_sound->removeItem(m_sound->count() - 1);
    m_flashingIcon->setChecked(s.flashingIcon);
    m_bringOnTop->setChecked(s.bringOnTop);
    m_playASound->setChecked(s.playSound);
    m_desktopNotification->setChecked(s.desktopNotification);
    selectSound(s.soundName);
    AlertMessageClick();
}

void MessagesPage::takeBack(settings::Settings& s) const {
    s.showMessageTime = m_showTime->isChecked();
    s.showSenderName = m_showName->isChecked();
    s.showPrivateItalic = m_italic->isChecked();
    s.ownMessageColor = m_colors[0];
    s.otherMessageColor = m_colors[1];
    s.privateMessageColor = m_colors[2];
    s.messageFontName = m_font.family();
    if (const int size = qRound(m_font.pointSizeF()); size > 0)
        s.messageFontSize = size;
    s.showAlert = m_alertMessage->isChecked();
    s.flashingIcon = m_flashingIcon->isChecked();
    s.bringOnTop = m_bringOnTop->isChecked();
    s.playSound = m_playASound->isChecked();
    s.desktopNotification = m_desktopNotification->isChecked();
    if (m_sound->currentIndex() >= 0) {
        s.soundName = m_sound->currentData(TOptionsIkkuna::StoredSoundRole).toString();
        s.soundIndex = m_sound->currentIndex();
    }
}

void MessagesPage::setChatFont(const QFont& font) {
    m_font = font;
    showFont(m_messageFont, m_font);
}

void MessagesPage::MessageFontClick() {
    if (const std::optional<QFont> chosen = m_pickers.font(window(), m_font))
        setChatFont(*chosen);
}

void MessagesPage::selectSound(const QString& soundName) {
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

void MessagesPage::addSound(const QString& storedName, const QString& text) {
    const int entry = m_sound->count();
    m_sound->addItem(text);
    m_sound->setItemData(entry, storedName, TOptionsIkkuna::StoredSoundRole);
    const desktop::SoundChoice plays = desktop::chooseSound(storedName, entry);
    if (plays.kind == desktop::SoundChoice::SystemSound)
        m_sound->setItemData(entry, QString::fromLatin1(desktop::systemSoundEventId(entry)),
                             TOptionsIkkuna::SoundEventRole);
    else
        m_sound->setItemData(entry, storedName, Qt::ToolTipRole); // the whole path
}

desktop::SoundChoice MessagesPage::chosenSound() const {
    const int entry = m_sound->currentIndex();
    return desktop::chooseSound(
        m_sound->itemData(entry, TOptionsIkkuna::StoredSoundRole).toString(), entry);
}

void MessagesPage::SoundChange() {
    const desktop::SoundChoice plays = chosenSound();
    m_soundPlays->setText(
        plays.kind == desktop::SoundChoice::File
            ? QFileInfo(plays.fileName).fileName()
            : QString::fromLatin1(desktop::systemSoundEventId(plays.systemSound)));
    m_playSoundButton->setEnabled(m_sound->currentIndex() >= 0);
}

void MessagesPage::PlaySoundClick() {
    if (m_sound->currentIndex() >= 0)
        m_playSound(chosenSound());
}

void MessagesPage::SelaaButtonClick() {
    const std::optional<QString> file = m_pickers.sound(
        window(), TOptionsIkkuna::SoundFilter,
        soundFolder(m_sound->currentData(TOptionsIkkuna::StoredSoundRole).toString()));
    if (!file)
        return;
    addSound(*file, *file);
    m_sound->setCurrentIndex(m_sound->count() - 1);
}

void MessagesPage::setLabelColor(QLabel* label, quint32 value) {
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

quint32 MessagesPage::labelColor(const QLabel* label) const {
    for (size_t i = 0; i < m_colorLabels.size(); ++i) {
        if (m_colorLabels[i] == label)
            return m_colors[i];
    }
    return settings::clDefault;
}

void MessagesPage::OwnColorClick(QLabel* label) {
    const std::optional<QColor> chosen =
        m_pickers.color(window(), uisupport::toQColor(labelColor(label), palette()));
    if (chosen)
        setLabelColor(label, uisupport::fromQColor(*chosen));
}

void MessagesPage::AlertMessageClick() {
    // The controls inside the group, not the group: its title stays readable.
    const bool on = m_alertMessage->isChecked();
    for (QWidget* w : m_notify->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        w->setEnabled(on);
}

} // namespace kalvento::dialogs
