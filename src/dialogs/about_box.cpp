#include "dialogs/about_box.h"

#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"
#include "platform/system_info.h"
#include "uisupport/apply_language.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include <algorithm>
#include <cmath>

namespace kalvento::dialogs {

namespace {

constexpr int kFirstYear = 2002;
// The key's line: under the memory line, its value beside the captions of the left column,
// the same space below it as the memory line had to the frame.
constexpr int kKeyTop = 250;
constexpr int kValueLeft = 96;
constexpr int kCaptionLeft = 20;
constexpr int kValueRight = 376;
constexpr int kFrameMargin = 9;

// A label whose hint holds a web or mail address; a click opens it.
class LinkLabel : public QLabel {
public:
    LinkLabel(const QString& text, const QString& address, TAboutBox* box)
        : QLabel(text, box), m_box(box) {
        setToolTip(address);
        setCursor(Qt::PointingHandCursor);
        QFont underlined = font();
        underlined.setUnderline(true);
        setFont(underlined);
        QPalette blue = palette();
        blue.setColor(QPalette::WindowText, Qt::blue);
        setPalette(blue);
    }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override {
        QLabel::mouseReleaseEvent(event);
        if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
            m_box->openLink(this);
    }

private:
    TAboutBox* m_box;
};

QLabel* addLabel(QWidget* parent, const char* name, const QString& text, QRect geometry) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setAttribute(Qt::WA_TranslucentBackground);
    label->setGeometry(geometry);
    return label;
}

} // namespace

int copyrightYear(QDate today) {
    return today.year() > 2002 ? today.year() : 2003;
}

QString copyrightLine(QDate today) {
    return QStringLiteral("Copyright \u00a9 %1\u2013%2 Fennrake")
        .arg(kFirstYear)
        .arg(copyrightYear(today));
}

QString memoryLine(qint64 kilobytes) {
    return lang::FormatMessage(QStringLiteral("%.0n KB"), {lang::ThousandsNumber(kilobytes)});
}

TAboutBox::TAboutBox(const QImage& defaultBackground, const QImage& icon, const QString& version,
                     QDate today, QWidget* parent)
    : QDialog(parent), m_background(defaultBackground) {
    setObjectName(QStringLiteral("AboutBox"));
    setWindowTitle(QStringLiteral("About"));
    // A dialog of a fixed size: closed, never minimized or maximized.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_openLink = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    m_reunus = new QFrame(this);
    m_reunus->setObjectName(QStringLiteral("Reunus"));
    m_reunus->setFrameStyle(QFrame::Panel | QFrame::Raised);
    m_reunus->setLineWidth(2);
    m_reunus->setGeometry(8, 8, 377, 249);

    auto* programIcon = new QLabel(this);
    programIcon->setObjectName(QStringLiteral("ProgramIcon"));
    programIcon->setPixmap(QPixmap::fromImage(icon));
    programIcon->setGeometry(20, 20, icon.width(), icon.height());

    // The shadow first, so that the name lies over it.
    QLabel* shadow = addLabel(this, "Label6", QStringLiteral("Kalvento"), QRect(100, 22, 270, 30));
    QLabel* name =
        addLabel(this, "ProductName", QStringLiteral("Kalvento"), QRect(96, 18, 270, 30));
    QFont large = name->font();
    large.setPointSize(16);
    large.setBold(true);
    name->setFont(large);
    shadow->setFont(large);
    QPalette white = shadow->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    shadow->setPalette(white);

    addLabel(this, "Version", QString(), QRect(96, 52, 280, 18));
    addLabel(this, "Comments", QStringLiteral("Chat for your local network"),
             QRect(96, 72, 280, 18));
    // The captions of the left column reach up to the values, for a language's longer words.
    addLabel(this, "WebLabel", QStringLiteral("Web:"), QRect(20, 100, 74, 18));
    auto* web = new LinkLabel(QStringLiteral("www.fennrake.example"),
                              QStringLiteral("http://www.fennrake.example/"), this);
    web->setObjectName(QStringLiteral("WebLink"));
    web->setGeometry(96, 100, 280, 18);
    addLabel(this, "MailLabel", QStringLiteral("E-mail:"), QRect(20, 120, 74, 18));
    auto* mail = new LinkLabel(QStringLiteral("kalvento@fennrake.example"),
                               QStringLiteral("mailto:kalvento@fennrake.example"), this);
    mail->setObjectName(QStringLiteral("MailLink"));
    mail->setGeometry(96, 120, 280, 18);
    QLabel* disclaimer = addLabel(
        this, "Disclaimer",
        QStringLiteral("Kalvento is free to use and to give away. It comes with no warranty: "
                       "use it at your own risk."),
        QRect(20, 146, 355, 36));
    disclaimer->setWordWrap(true);
    addLabel(this, "SystemLabel", QStringLiteral("System:"), QRect(20, 192, 74, 18));
    QLabel* system = addLabel(this, "Windows", QString(), QRect(96, 192, 280, 36));
    system->setWordWrap(true);
    addLabel(this, "MemoryLabel", QStringLiteral("Memory:"), QRect(20, 230, 170, 18));
    QLabel* memory = addLabel(this, "Memory", QString(), QRect(196, 230, 180, 18));
    memory->setAlignment(Qt::AlignRight | Qt::AlignVCenter);

    addLabel(this, "FingerprintLabel", QStringLiteral("Key:"),
             QRect(kCaptionLeft, kKeyTop, 74, 18));
    QLabel* fingerprint = addLabel(this, "Fingerprint", QString(),
                                   QRect(kValueLeft, kKeyTop, kValueRight - kValueLeft, 18));
    fingerprint->setWordWrap(true);
    fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);

    m_okButton = new QPushButton(QStringLiteral("&Ok"), this);
    m_okButton->setObjectName(QStringLiteral("OkButton"));
    m_okButton->setToolTip(QStringLiteral("Close this dialog (ENTER)"));
    m_okButton->setDefault(true);
    m_okButton->resize(75, 25);
    connect(m_okButton, &QPushButton::clicked, this, &QDialog::accept);

    FormCreate(version, today);
}

void TAboutBox::FormCreate(const QString& version, QDate today) {
    label("Version")->setText(copyrightLine(today));
    if (!version.isEmpty()) {
        const QString text = QStringLiteral("Kalvento ") + version;
        label("ProductName")->setText(text);
        label("Label6")->setText(text);
    }
    GetAllSystemInfo();
    setFingerprint(QString());
}

void TAboutBox::setFingerprint(const QString& fingerprint) {
    m_fingerprint = fingerprint;
    QLabel* value = label("Fingerprint");
    value->setText(fingerprint.isEmpty() ? lang::GetMessageText(lang::MessageId::M065)
                                         : fingerprint);
    // The groups in a fixed-width font line up for reading aloud.
    QFont font =
        fingerprint.isEmpty() ? QFont() : QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (!fingerprint.isEmpty())
        font.setPointSizeF(QFont().pointSizeF());
    value->setFont(font);
    placeFingerprint();
}

void TAboutBox::placeFingerprint() {
    QLabel* caption = label("FingerprintLabel");
    QLabel* value = label("Fingerprint");
    // Without a key the sentence saying so takes the whole line, caption and all.
    const bool hasKey = !m_fingerprint.isEmpty();
    caption->setVisible(hasKey);
    const int left = hasKey ? kValueLeft : kCaptionLeft;
    const int width = kValueRight - left;
    value->ensurePolished();
    value->setGeometry(left, kKeyTop, width,
                       std::max(caption->height(), value->heightForWidth(width)));

    QRect r = m_reunus->geometry();
    r.setBottom(value->geometry().bottom() + kFrameMargin);
    m_reunus->setGeometry(r);
    const int boxWidth = 2 * r.left() + r.width();
    const int boxHeight = 3 * r.top() + r.height() + m_okButton->height();
    setFixedSize(boxWidth, boxHeight);
    // Centred, halves to the even pixel.
    const int buttonLeft = int(std::nearbyint((boxWidth - m_okButton->width()) / 2.0));
    m_okButton->move(buttonLeft, 2 * r.top() + r.height());
}

void TAboutBox::GetAllSystemInfo() {
    label("Windows")->setText(platform::systemLine());
    label("Memory")->setText(memoryLine(platform::totalMemoryKilobytes()));
}

void TAboutBox::GetAllSystemInfo(const QString& osRelease, const QString& kernelRelease,
                                 const QString& machine, qint64 memoryKilobytes) {
    label("Windows")->setText(platform::systemLine(osRelease, kernelRelease, machine));
    label("Memory")->setText(memoryLine(memoryKilobytes));
}

QLabel* TAboutBox::label(const char* name) const {
    return findChild<QLabel*>(QString::fromLatin1(name));
}

void TAboutBox::openLink(const QLabel* link) {
    const QUrl url(link->toolTip(), QUrl::StrictMode);
    if (url.isValid() && !url.scheme().isEmpty())
        m_openLink(url);
}

void TAboutBox::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) {
        uisupport::ApplyLanguage(this, lang::CurrentLanguageFile().get());
        // The language's texts and the polished fonts may take more room.
        placeFingerprint();
    }
}

void TAboutBox::paintEvent(QPaintEvent*) {
    if (m_background.isNull() || m_background.width() <= 0 || m_background.height() <= 0)
        return;
    // The built-in picture from the top-left corner, row by row, over the outer size (what
    // falls outside the client area is clipped).
    QPainter painter(this);
    const QSize outer = frameGeometry().size();
    for (int y = 0; y < outer.height(); y += m_background.height())
        for (int x = 0; x < outer.width(); x += m_background.width())
            painter.drawImage(x, y, m_background);
}

} // namespace kalvento::dialogs
