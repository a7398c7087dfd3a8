#include "dialogs/about_box.h"
#include "dialogs/splash_window.h"

#include "lang/language_file.h"
#include "platform/system_info.h"
#include "support/qt_print.h"
#include "update/version.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QTest>

using namespace kalvento;
using dialogs::TAboutBox;

namespace {

QImage tile() {
    QImage image(30, 20, QImage::Format_RGB32);
    image.fill(QColor(240, 240, 255));
    image.setPixel(0, 0, qRgb(255, 0, 0));
    return image;
}

QImage icon() {
    QImage image(64, 64, QImage::Format_ARGB32);
    image.fill(Qt::blue);
    return image;
}

} // namespace

TEST(AboutBox, TheCopyrightRunsToThisYearButNeverBefore2003) {
    EXPECT_EQ(dialogs::copyrightYear(QDate(2001, 6, 1)), 2003);
    EXPECT_EQ(dialogs::copyrightYear(QDate(2002, 12, 31)), 2003);
    EXPECT_EQ(dialogs::copyrightYear(QDate(2003, 1, 1)), 2003);
    EXPECT_EQ(dialogs::copyrightYear(QDate(2026, 12, 8)), 2026);
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(1999, 1, 1));
    EXPECT_EQ(box.label("Version")->text(), QStringLiteral("Copyright © 2002–2003 Fennrake"));
}

TEST(AboutBox, NameAndShadowCarryTheVersionOrKeepTheDesignText) {
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    EXPECT_EQ(box.label("ProductName")->text(), QStringLiteral("Kalvento 1.2.0.1"));
    EXPECT_EQ(box.label("Label6")->text(), QStringLiteral("Kalvento 1.2.0.1"));
    EXPECT_EQ(box.label("Label6")->pos(), box.label("ProductName")->pos() + QPoint(4, 4));
    EXPECT_EQ(box.label("Label6")->palette().color(QPalette::WindowText), QColor(Qt::white));
    TAboutBox unversioned(tile(), icon(), QString(), QDate(2026, 12, 8));
    EXPECT_EQ(unversioned.label("ProductName")->text(), QStringLiteral("Kalvento"));
    EXPECT_EQ(unversioned.label("Label6")->text(), QStringLiteral("Kalvento"));
}

TEST(AboutBox, TheSystemAndMemoryLinesAreTheOnesALinuxUserKnows) {
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    const QString debian = QStringLiteral(
        "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\nID=debian\n");
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    box.GetAllSystemInfo(debian, QStringLiteral("6.1.0-18-amd64"), QStringLiteral("x86_64"),
                         524288);
    EXPECT_EQ(box.label("Windows")->text(),
              QStringLiteral("Debian GNU/Linux 12 (bookworm) (Linux 6.1.0-18-amd64, x86_64)"));
    EXPECT_EQ(box.label("Memory")->text(), QStringLiteral("524,288 KB"));
    EXPECT_EQ(box.label("MemoryLabel")->text(), QStringLiteral("Memory:"));
    EXPECT_TRUE(box.label("Memory")->alignment() & Qt::AlignRight);
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    EXPECT_EQ(dialogs::memoryLine(524288), QStringLiteral("524.288 KB"));
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));

    const struct {
        const char* osRelease;
        const char* release;
        const char* machine;
        const char* line;
    } rows[] = {
        {"PRETTY_NAME='Fedora Linux 41'\n", "6.11.4", "aarch64",
         "Fedora Linux 41 (Linux 6.11.4, aarch64)"},
        {"NAME=Arch\nPRETTY_NAME=\"Arch \\\"rolling\\\"\"\n", "", "", "Arch \"rolling\""},
        {"", "6.1.0", "x86_64", "Linux 6.1.0, x86_64"},
        {"NAME=NoPretty\n", "", "", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(platform::systemLine(QString::fromLatin1(row.osRelease),
                                       QString::fromLatin1(row.release),
                                       QString::fromLatin1(row.machine)),
                  QString::fromLatin1(row.line))
            << row.osRelease;
    // This computer has both.
    EXPECT_TRUE(platform::systemLine().contains(QLatin1String("Linux")));
    EXPECT_GT(platform::totalMemoryKilobytes(), 0);
}

TEST(AboutBox, SizedByItsFrameWithTheButtonCentred) {
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    const QRect r = box.Reunus()->geometry();
    const QPushButton* ok = box.OkButton();
    EXPECT_EQ(box.width(), 2 * r.left() + r.width());
    EXPECT_EQ(box.height(), 3 * r.top() + r.height() + ok->height());
    EXPECT_EQ(ok->x(), int(std::nearbyint((box.width() - ok->width()) / 2.0)));
    EXPECT_EQ(ok->y(), 2 * r.top() + r.height());
    EXPECT_EQ(ok->text(), QStringLiteral("&Ok"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(ok->toolTip(), QStringLiteral("Close this dialog (ENTER)"));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("About"));
}

TEST(AboutBox, TheBuiltInPictureIsTiledAndTheLanguageApplied) {
    const auto finnish = lang::LoadLanguageFile(lang::languageFileName(QStringLiteral("Suomi")),
                                                QStringLiteral(KALVENTO_SOURCE_DIR));
    ASSERT_NE(finnish, nullptr);
    lang::SetCurrentLanguageFile(finnish);
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    box.show();
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Tietoja"));
    EXPECT_EQ(box.label("MemoryLabel")->text(), QStringLiteral("Käytettävissä oleva muisti:"));
    EXPECT_EQ(box.label("ProductName")->text(), QStringLiteral("Kalvento 1.2.0.1"));
    lang::SetCurrentLanguageFile(nullptr);
    const QImage shot = box.grab().toImage();
    // Tile corners outside the frame, where no line is drawn over the picture.
    for (const QPoint at : {QPoint(0, 0), QPoint(30, 0), QPoint(0, 260), QPoint(390, 280)})
        EXPECT_EQ(shot.pixel(at), qRgb(255, 0, 0)) << at.x() << "," << at.y();
}

TEST(AboutBox, LinksOpenTheAddressInTheirHint) {
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    QList<QUrl> opened;
    box.setLinkOpener([&](const QUrl& url) { opened << url; });
    box.show();
    QTest::mouseClick(box.label("WebLink"), Qt::LeftButton);
    QTest::mouseClick(box.label("MailLink"), Qt::LeftButton);
    EXPECT_EQ(opened, QList<QUrl>({QUrl(QStringLiteral("http://www.fennrake.example/")),
                                   QUrl(QStringLiteral("mailto:kalvento@fennrake.example"))}));
    EXPECT_EQ(box.label("WebLink")->cursor().shape(), Qt::PointingHandCursor);
}

TEST(Splash, ShowsThePictureWithTheVersionAndTheCopyright) {
    QImage picture(400, 210, QImage::Format_RGB32);
    picture.fill(Qt::darkBlue);
    dialogs::TOdota splash(picture, 160, QDate(2026, 12, 8));
    splash.FormShow();
    EXPECT_TRUE(splash.isVisible());
    EXPECT_EQ(splash.size(), QSize(400, 210));
    EXPECT_EQ(splash.Version()->text(), QStringLiteral("Kalvento ") + update::GetVersion() +
                                            QStringLiteral(", 100% freeware!"));
    EXPECT_TRUE(splash.Version()->font().bold());
    EXPECT_EQ(splash.Version()->font().pointSize(), 10);
    EXPECT_EQ(splash.CopyRight()->text(), QStringLiteral("Copyright © 2002–2026 Fennrake"));
    EXPECT_TRUE(splash.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(splash.windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_EQ(splash.cursor().shape(), Qt::BusyCursor);
}

// The box speaks the language in use, every caption whole in its place.
TEST(AboutBox, TheShippedTranslationFitsTheBox) {
    const auto file = lang::LoadLanguageFile(QStringLiteral("Languages/Suomi.txt"),
                                             QStringLiteral(KALVENTO_SOURCE_DIR));
    ASSERT_NE(file, nullptr);
    lang::SetCurrentLanguageFile(file);
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    box.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
    EXPECT_EQ(box.windowTitle(), QStringLiteral("Tietoja"));
    EXPECT_EQ(box.label("Comments")->text(), QStringLiteral("Keskusteluohjelma lähiverkkoon"));
    for (const char* name : {"Comments", "WebLabel", "MailLabel", "SystemLabel", "MemoryLabel"}) {
        const QLabel* label = box.label(name);
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << name;
    }
    const QLabel* disclaimer = box.label("Disclaimer");
    EXPECT_GE(disclaimer->height(), disclaimer->heightForWidth(disclaimer->width()));
    lang::SetCurrentLanguageFile(nullptr);
}

// The key's line sits under the memory line inside the frame, in whichever language and
// whether or not the copy has a key, and the box grows rather than cut or overlap a line.
TEST(AboutBox, TheKeyLineFitsUnderTheOthersWithOrWithoutAKey) {
    const QString fingerprint = QStringLiteral("05870 41293 66012 00417 93321 18005");
    const auto finnish = lang::LoadLanguageFile(QStringLiteral("Languages/Suomi.txt"),
                                                QStringLiteral(KALVENTO_SOURCE_DIR));
    ASSERT_NE(finnish, nullptr);
    for (const bool inFinnish : {false, true}) {
        for (const bool hasKey : {true, false}) {
            SCOPED_TRACE((inFinnish ? "Finnish, " : "English, ") +
                         std::string(hasKey ? "key" : "no key"));
            lang::SetCurrentLanguageFile(inFinnish ? finnish : nullptr);
            TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
            if (hasKey)
                box.setFingerprint(fingerprint);
            box.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&box));
            const QLabel* key = box.label("Fingerprint");
            const QLabel* caption = box.label("FingerprintLabel");
            EXPECT_EQ(key->text(),
                      hasKey ? fingerprint : lang::GetMessageText(lang::MessageId::M065));
            EXPECT_EQ(caption->isVisible(), hasKey);
            EXPECT_EQ(caption->text(),
                      inFinnish ? QStringLiteral("Avain:") : QStringLiteral("Key:"));
            EXPECT_TRUE(key->textInteractionFlags() & Qt::TextSelectableByMouse);
            EXPECT_EQ(QFontInfo(key->font()).fixedPitch(), hasKey);
            // Every line whole, and below the one before it.
            EXPECT_GE(key->height(), key->heightForWidth(key->width()));
            if (hasKey) {
                EXPECT_GE(key->width(), key->fontMetrics().horizontalAdvance(fingerprint));
                EXPECT_GE(caption->width(),
                          caption->fontMetrics().horizontalAdvance(caption->text()));
            }
            EXPECT_GE(key->y(), box.label("Memory")->geometry().bottom());
            EXPECT_GE(key->y(), box.label("MemoryLabel")->geometry().bottom());
            // Inside the frame, and the button below the frame, in the box.
            const QRect frame = box.Reunus()->geometry();
            EXPECT_TRUE(frame.contains(key->geometry())) << key->geometry().bottom();
            EXPECT_GT(box.OkButton()->y(), frame.bottom());
            EXPECT_TRUE(box.rect().contains(box.OkButton()->geometry()));
            EXPECT_EQ(box.height(), 3 * frame.top() + frame.height() + box.OkButton()->height());
        }
    }
    lang::SetCurrentLanguageFile(nullptr);

    // A key set on an open box replaces the sentence and takes the value's place.
    TAboutBox box(tile(), icon(), QStringLiteral("1.2.0.1"), QDate(2026, 12, 8));
    box.show();
    box.setFingerprint(fingerprint);
    EXPECT_EQ(box.label("Fingerprint")->text(), fingerprint);
    EXPECT_TRUE(box.label("FingerprintLabel")->isVisible());
    EXPECT_EQ(box.label("Fingerprint")->x(), box.label("Windows")->x());
}
