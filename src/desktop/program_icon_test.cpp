#include "desktop/program_icon.h"

#include "widgets/artwork.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace kalvento::desktop {
namespace {

using widgets::makeFrendi;
using widgets::makeProgramIconImage;

// The image on white, so that two drawings compare by what a user sees.
QImage onWhite(const QImage& image) {
    QImage flat(image.size(), QImage::Format_RGB32);
    flat.fill(Qt::white);
    QPainter p(&flat);
    p.drawImage(0, 0, image);
    return flat;
}

// The mean difference of the colour channels, 0 to 255.
double meanDifference(const QImage& a, const QImage& b) {
    double total = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y);
            const QRgb q = b.pixel(x, y);
            total += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                     std::abs(qBlue(p) - qBlue(q));
        }
    return total / (3.0 * a.width() * a.height());
}

// The scalable icon the theme installs is the same picture as the one the program draws,
// so the menu and the window do not show two different icons.
TEST(ProgramIcon, ScalableFileShowsTheBuiltInPicture) {
    for (int size : {48, 128, 256}) {
        QImageReader reader(QStringLiteral(KALVENTO_ICON_SVG));
        reader.setScaledSize(QSize(size, size));
        const QImage svg = reader.read();
        ASSERT_FALSE(svg.isNull()) << reader.errorString().toStdString();
        const QImage drawn = makeProgramIconImage(size);
        // Antialiasing and the gradients' rounding differ a little at the edges only.
        EXPECT_LT(meanDifference(onWhite(svg), onWhite(drawn)), 4.0) << size;
    }
    // A different picture is far from it (the comparison can tell them apart).
    QImage other = makeFrendi().scaled(128, 128);
    EXPECT_GT(meanDifference(onWhite(other), onWhite(makeProgramIconImage(128))), 12.0);
}

TEST(ProgramIcon, InstalledFilesAreFoundBesideTheProgram) {
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    const QString program = root.filePath("usr/bin");
    EXPECT_EQ(installedIconDirectory(program), root.filePath("usr/share/icons/hicolor/"));
    EXPECT_EQ(installedIconDirectory(program + "/"), root.filePath("usr/share/icons/hicolor/"));

    const QString hicolor = installedIconDirectory(program);
    EXPECT_TRUE(iconFromHicolorDirectory(hicolor).isNull()); // nothing installed yet

    for (int size : {16, 48}) {
        const QString dir = hicolor + QStringLiteral("%1x%1/apps").arg(size);
        ASSERT_TRUE(QDir().mkpath(dir));
        ASSERT_TRUE(makeProgramIconImage(size).save(dir + "/kalvento.png"));
    }
    // Someone else's icon in the same folder is not ours.
    ASSERT_TRUE(makeFrendi().save(hicolor + "16x16/apps/other.png"));
    const QIcon icon = iconFromHicolorDirectory(hicolor);
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.availableSizes(), (QList<QSize>{QSize(16, 16), QSize(48, 48)}));
    EXPECT_EQ(icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32),
              makeProgramIconImage(48).convertToFormat(QImage::Format_ARGB32));

    ASSERT_TRUE(QDir().mkpath(hicolor + "scalable/apps"));
    ASSERT_TRUE(
        QFile::copy(QStringLiteral(KALVENTO_ICON_SVG), hicolor + "scalable/apps/kalvento.svg"));
    EXPECT_FALSE(iconFromHicolorDirectory(hicolor).pixmap(200, 200).isNull());
}

// Run from the build folder, with no theme that knows the program, the picture is drawn.
TEST(ProgramIcon, BuildTreeDrawsTheBuiltInPicture) {
    if (QIcon::hasThemeIcon(QString::fromLatin1(kProgramIconName)))
        GTEST_SKIP() << "an installed copy's icon is in this machine's theme";
    EXPECT_EQ(programIcon().source, ProgramIconSource::BuiltIn);
    EXPECT_FALSE(programIcon().icon.isNull());
    EXPECT_EQ(describe(programIcon().source), "built-in");
}

} // namespace
} // namespace kalvento::desktop
