#include "dialogs/welcome_window.h"

#include "dialogs/options_window.h"

#include "lang/language_file.h"
#include "uisupport/apply_language.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace kalvento::dialogs {

namespace {

constexpr int kDesignWidth = 361;
constexpr int kDesignHeight = 177;
// Average character width of the font the window was laid out with; wider desktop fonts
// widen the window in proportion so the texts keep their line count.
constexpr double kDesignCharWidth = 5.0;
constexpr int kLanguageRole = Qt::UserRole + 1;

constexpr char kWelcomeText[] =
    "Welcome to Kalvento! Congratulations for the wise selection. I'm sure Kalvento will make "
    "you networking more easier. But before I let you start, you need to fill out few fields "
    "so you could maximize the benefit from Kalvento...";
constexpr char kUpdateText[] =
    "You can have your Kalvento to check for newer versions of itself automatically from the "
    "Internet. You can also do this manually with the inbuilt utility.";
constexpr char kIdentityText[] =
    "Especially a corporate network user is familiar with computer names like QTHG21. Now "
    "this is a great way to differ from the masses, to be original. But seriously if you want "
    "to be regonized as a Steve or Bill, I suggest you fill out your identity...";
constexpr char kIdentityNote[] =
    "*Empty field means your computer name will be used to identify you";

enum class Arrow { Left, Right, Finish };

QPixmap arrowPicture(Arrow arrow) {
    QPixmap picture(16, 16);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor fill =
        arrow == Arrow::Finish ? QColor(0x1f, 0x9a, 0x2e) : QColor(0x1d, 0x5f, 0xc4);
    p.setPen(QPen(fill.darker(140), 1));
    p.setBrush(fill);
    QPainterPath path;
    if (arrow == Arrow::Finish) {
        // Two heads: go, and do not come back.
        path.moveTo(1.5, 2);
        path.lineTo(8, 8);
        path.lineTo(1.5, 14);
        path.closeSubpath();
        path.moveTo(7.5, 2);
        path.lineTo(14.5, 8);
        path.lineTo(7.5, 14);
    } else {
        path.moveTo(1.5, 8);
        path.lineTo(8, 1.5);
        path.lineTo(8, 5);
        path.lineTo(14.5, 5);
        path.lineTo(14.5, 11);
        path.lineTo(8, 11);
        path.lineTo(8, 14.5);
        if (arrow == Arrow::Right) // the left arrow, mirrored
            p.setTransform(QTransform(-1, 0, 0, 1, 16, 0));
    }
    path.closeSubpath();
    p.drawPath(path);
    return picture;
}

// Picture 0: the built-in English, a red cross on white.
QPixmap englishPicture() {
    QPixmap picture(16, 16);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.fillRect(0, 2, 16, 12, Qt::white);
    p.fillRect(0, 7, 16, 2, QColor(0xc8, 0x10, 0x2e));
    p.fillRect(7, 2, 2, 12, QColor(0xc8, 0x10, 0x2e));
    p.setPen(QColor(0x80, 0x80, 0x80));
    p.drawRect(0, 2, 15, 11);
    return picture;
}

// Picture 1: a language without a picture of its own, a plain flag on a pole.
QPixmap genericPicture() {
    QPixmap picture(16, 16);
    picture.fill(Qt::transparent);
    QPainter p(&picture);
    p.fillRect(2, 1, 1, 14, QColor(0x60, 0x40, 0x20));
    p.fillRect(3, 2, 11, 7, QColor(0x9a, 0xa8, 0xb8));
    p.setPen(QColor(0x50, 0x60, 0x70));
    p.drawRect(3, 2, 10, 6);
    return picture;
}

QLabel* wrappedText(const char* text, QWidget* parent, const char* name) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

QPushButton* arrowButton(Arrow arrow, const char* name, const char* hint, QWidget* parent) {
    auto* button = new QPushButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFlat(true);
    button->setIcon(QIcon(arrowPicture(arrow)));
    button->setIconSize(QSize(16, 16));
    button->setFixedSize(40, 26);
    button->setToolTip(QString::fromLatin1(hint));
    button->setAccessibleName(QString::fromLatin1(hint));
    return button;
}

// A page: its text on top, then its controls, then its buttons at the bottom right.
QVBoxLayout* pageLayout(QWidget* page) {
    auto* layout = new QVBoxLayout(page);
    layout->setContentsMargins(8, 8, 8, 6);
    layout->setSpacing(6);
    return layout;
}

void addButtonRow(QVBoxLayout* layout, std::initializer_list<QPushButton*> buttons) {
    layout->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (QPushButton* b : buttons)
        row->addWidget(b);
    layout->addLayout(row);
}

} // namespace

TWelcomeIkkuna::TWelcomeIkkuna(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      m_lehtio(new QStackedWidget(this)) {
    setObjectName(QStringLiteral("WelcomeIkkuna"));
    setWindowTitle(QStringLiteral("Welcome to Kalvento"));
    m_lehtio->setObjectName(QStringLiteral("Lehtio"));
    m_languageImageList = {englishPicture(), genericPicture()};

    auto* kieli = new QWidget(m_lehtio);
    kieli->setObjectName(QStringLiteral("Kieli"));
    {
        QVBoxLayout* layout = pageLayout(kieli);
        layout->addWidget(wrappedText(kWelcomeText, kieli, "Label1"));
        layout->addSpacing(4);
        auto* prompt = wrappedText("Please choose a language you prefer to use:", kieli, "Label2");
        layout->addWidget(prompt);
        m_language = new QComboBox(kieli);
        m_language->setObjectName(QStringLiteral("Language"));
        m_language->setEditable(false); // only the listed languages have a meaning
        m_language->setMaxVisibleItems(8);
        m_language->setIconSize(QSize(16, 16));
        m_language->setMinimumWidth(180);
        prompt->setBuddy(m_language);
        auto* row = new QHBoxLayout;
        row->addWidget(m_language);
        row->addStretch(1);
        layout->addLayout(row);
        m_nextButton = arrowButton(Arrow::Right, "NextButton", "Next...", kieli);
        addButtonRow(layout, {m_nextButton});
    }

    auto* update = new QWidget(m_lehtio);
    update->setObjectName(QStringLiteral("Update"));
    {
        QVBoxLayout* layout = pageLayout(update);
        layout->addWidget(wrappedText(kUpdateText, update, "Label3"));
        layout->addSpacing(4);
        m_autoUpdate = new QCheckBox(QStringLiteral("Check for updates automatically"), update);
        m_autoUpdate->setObjectName(QStringLiteral("AutoUpdate"));
        m_autoUpdate->setChecked(true);
        m_connected = new QCheckBox(QStringLiteral("Always connected to the Internet"), update);
        m_connected->setObjectName(QStringLiteral("Connected"));
        m_connected->setChecked(false);
        layout->addWidget(m_autoUpdate);
        layout->addWidget(m_connected);
        m_btnPrevious = arrowButton(Arrow::Left, "btnPrevious", "...Previous", update);
        m_btnNext = arrowButton(Arrow::Right, "btnNext", "Next...", update);
        addButtonRow(layout, {m_btnPrevious, m_btnNext});
    }

    auto* identity = new QWidget(m_lehtio);
    identity->setObjectName(QStringLiteral("Identity"));
    {
        QVBoxLayout* layout = pageLayout(identity);
        layout->addWidget(wrappedText(kIdentityText, identity, "Label4"));
        layout->addSpacing(4);
        auto* row = new QHBoxLayout;
        auto* caption = new QLabel(QStringLiteral("Identity:"), identity);
        caption->setObjectName(QStringLiteral("Label5"));
        m_identify = new QLineEdit(identity);
        m_identify->setObjectName(QStringLiteral("Identify"));
        caption->setBuddy(m_identify);
        row->addWidget(caption);
        row->addWidget(m_identify, 1);
        layout->addLayout(row);
        auto* note = wrappedText(kIdentityNote, identity, "Label6");
        QPalette red = note->palette();
        red.setColor(QPalette::WindowText, Qt::red);
        note->setPalette(red);
        layout->addWidget(note);
        m_previousButton = arrowButton(Arrow::Left, "PreviousButton", "...Previous", identity);
        m_finishButton =
            arrowButton(Arrow::Finish, "FinishButton", "Ready, start Kalvento!", identity);
        addButtonRow(layout, {m_previousButton, m_finishButton});
    }

    m_lehtio->addWidget(kieli);
    m_lehtio->addWidget(update);
    m_lehtio->addWidget(identity);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_lehtio);

    connect(m_nextButton, &QPushButton::clicked, this, &TWelcomeIkkuna::NextButtonClick);
    connect(m_btnPrevious, &QPushButton::clicked, this, &TWelcomeIkkuna::btnPreviousClick);
    connect(m_btnNext, &QPushButton::clicked, this, &TWelcomeIkkuna::btnNextClick);
    connect(m_previousButton, &QPushButton::clicked, this, &TWelcomeIkkuna::PreviousButtonClick);
    connect(m_finishButton, &QPushButton::clicked, this, &TWelcomeIkkuna::FinishButtonClick);
    connect(m_autoUpdate, &QCheckBox::toggled, this, &TWelcomeIkkuna::AutoUpdateClick);
    connect(m_language, &QComboBox::currentIndexChanged, this, &TWelcomeIkkuna::LanguageSelect);

    m_language->addItem(QIcon(m_languageImageList[EnglishPicture]),
                        QString::fromLatin1(lang::DefaultLanguageName));
    m_language->setItemData(0, int(EnglishPicture), kLanguageRole);
    AutoUpdateClick();
    FormCreate();
    showPage(KieliPage);
}

void TWelcomeIkkuna::FormCreate() {
    // The client area it was laid out at, widened for a desktop font wider than that one, and
    // as tall as the tallest page needs at that width.
    const double scale = std::max(1.0, fontMetrics().averageCharWidth() / kDesignCharWidth);
    const int width = std::max(kDesignWidth, int(std::lround(kDesignWidth * scale)));
    const int height = std::max(kDesignHeight, layout()->totalHeightForWidth(width));
    setFixedSize(width, height);
}

void TWelcomeIkkuna::fillLanguages(const QString& resourceDirectory) {
    m_resourceDirectory = resourceDirectory;
    // Filling the list is not choosing from it.
    QSignalBlocker blocker(m_language);
    m_language->clear();
    m_languageImageList = m_languageImageList.mid(0, 2);
    const QStringList names =
        lang::languageList(resourceDirectory + QLatin1StringView(lang::LanguagesFolder) + u'/');
    for (qsizetype i = 1; i < names.size(); ++i) {
        const QString& name = names[i];
        int picture = GenericPicture;
        // The picture is taken whole: a larger one is drawn scaled, never cut.
        const QString path = lang::languagePicturePath(name, resourceDirectory);
        if (QFileInfo(path).isFile()) {
            QPixmap loaded(path, "BMP");
            if (!loaded.isNull()) {
                m_languageImageList.append(loaded);
                picture = int(m_languageImageList.size() - 1);
            }
        }
        m_language->addItem(QIcon(m_languageImageList[picture]), name);
        m_language->setItemData(m_language->count() - 1, picture, kLanguageRole);
    }
    m_language->insertItem(0, QIcon(m_languageImageList[EnglishPicture]), names.front());
    m_language->setItemData(0, int(EnglishPicture), kLanguageRole);
    m_language->setCurrentIndex(0);
    blocker.unblock();
    LanguageSelect(0);
}

void TWelcomeIkkuna::LanguageSelect(int index) {
    const QString language = index > 0 ? m_language->itemText(index) : QString();
    if (index < 0 || language == m_shownLanguage)
        return;
    m_shownLanguage = language;
    const auto file = language.isEmpty() ? nullptr
                                         : lang::LoadLanguageFile(lang::languageFileName(language),
                                                                  m_resourceDirectory);
    uisupport::ApplyLanguage(this, file.get());
    FormCreate(); // as tall as the pages need in this language
}

int TWelcomeIkkuna::pictureOf(int entry) const {
    if (entry < 0 || entry >= m_language->count())
        return -1;
    return m_language->itemData(entry, kLanguageRole).toInt();
}

QPushButton* TWelcomeIkkuna::button(const char* name) const {
    return findChild<QPushButton*>(QString::fromLatin1(name));
}

void TWelcomeIkkuna::showPage(Page page) {
    m_lehtio->setCurrentIndex(page);
    // The page's first control has the keyboard and Return goes forward. The focus moves
    // first: a button losing it hands the default back to the one it had before.
    QWidget* first = page == KieliPage    ? static_cast<QWidget*>(m_language)
                     : page == UpdatePage ? static_cast<QWidget*>(m_autoUpdate)
                                          : static_cast<QWidget*>(m_identify);
    first->setFocus();
    QPushButton* forward = page == KieliPage    ? m_nextButton
                           : page == UpdatePage ? m_btnNext
                                                : m_finishButton;
    forward->setDefault(false);
    forward->setDefault(true);
}

void TWelcomeIkkuna::NextButtonClick() {
    showPage(UpdatePage);
}
void TWelcomeIkkuna::btnPreviousClick() {
    showPage(KieliPage);
}
void TWelcomeIkkuna::btnNextClick() {
    showPage(IdentityPage);
}
void TWelcomeIkkuna::PreviousButtonClick() {
    showPage(UpdatePage);
}
void TWelcomeIkkuna::FinishButtonClick() {
    done(Accepted);
}

void TWelcomeIkkuna::AutoUpdateClick() {
    // Greyed out, its tick still counts.
    enableAutomaticCheckBoxes(m_autoUpdate, m_connected, m_automaticCheckAvailable);
}

void TWelcomeIkkuna::setAutomaticCheckAvailable(bool available) {
    m_automaticCheckAvailable = available;
    AutoUpdateClick();
}

void TWelcomeIkkuna::reject() {
    done(Accepted);
}

void TWelcomeIkkuna::keyPressEvent(QKeyEvent* event) {
    // There is nothing to cancel: Esc does nothing here.
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TWelcomeIkkuna::closeEvent(QCloseEvent* event) {
    event->accept();
    done(Accepted);
}

int TWelcomeIkkuna::languageIndex() const {
    return std::max(0, m_language->currentIndex());
}

QString TWelcomeIkkuna::language() const {
    return m_language->itemText(languageIndex());
}

bool TWelcomeIkkuna::automaticUpdate() const {
    return m_autoUpdate->isChecked();
}
bool TWelcomeIkkuna::alwaysConnected() const {
    return m_connected->isChecked();
}
QString TWelcomeIkkuna::identity() const {
    return m_identify->text();
}

} // namespace kalvento::dialogs
