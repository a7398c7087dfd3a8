#include "widgets/artwork.h"

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <algorithm>
#include <cstdlib>

using namespace kalvento::widgets;

namespace {

int opaquePixels(const QImage& image) {
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qAlpha(image.pixel(x, y)) > 128 ? 1 : 0;
    return count;
}

int columnDifference(const QImage& image, int a, int b) {
    int total = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb p = image.pixel(a, y), q = image.pixel(b, y);
        total += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                 std::abs(qBlue(p) - qBlue(q));
    }
    return total;
}

TEST(Artwork, KuvatHoldsFifteenPairsOfDistinctPictures) {
    const QList<QImage> kuvat = makeKuvat();
    ASSERT_EQ(kuvat.size(), kuvatCount);
    for (int i = 0; i < kuvat.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(kuvat[i].size(), QSize(32, 32));
        EXPECT_TRUE(kuvat[i].hasAlphaChannel());
        // Something drawn, with room around it for the window's background.
        EXPECT_GT(opaquePixels(kuvat[i]), 120);
        EXPECT_LT(opaquePixels(kuvat[i]), 32 * 32 - 40);
    }
    for (int rest : {kuvatSend, kuvatComment, kuvatInfo, kuvatHelp, kuvatOptions, kuvatClose,
                     kuvatUpdate, kuvatPrint, kuvatBigMessage, kuvatCut, kuvatCopy, kuvatPaste,
                     kuvatSelectAll, kuvatOpen, kuvatAbort}) {
        EXPECT_EQ(rest % 2, 1);
        EXPECT_NE(kuvat[rest], kuvat[rest - 1]) << "no highlight for " << rest;
        for (int other = 1; other < rest; other += 2)
            EXPECT_NE(kuvat[rest], kuvat[other]) << rest << " looks like " << other;
    }
}

TEST(Artwork, TaustaIsALightSeamlessTile) {
    const QImage tausta = makeTausta();
    ASSERT_EQ(tausta.size(), QSize(100, 100));
    EXPECT_FALSE(tausta.hasAlphaChannel());
    int darkest = 255, lightest = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 100; ++x) {
            const int grey = qGray(tausta.pixel(x, y));
            darkest = std::min(darkest, grey);
            lightest = std::max(lightest, grey);
        }
    // Light and low in contrast, so black text on it stays readable; but not a flat fill.
    EXPECT_GT(darkest, 190);
    EXPECT_GT(lightest - darkest, 4);

    // Across the seam between two tiles the picture changes no more than between any two
    // neighbouring columns or rows inside it.
    int inside = 0;
    for (int x = 0; x + 1 < 100; ++x)
        inside = std::max(inside, columnDifference(tausta, x, x + 1));
    EXPECT_LE(columnDifference(tausta, 99, 0), inside);
    const QImage turned = tausta.transformed(QTransform().rotate(90));
    int insideRows = 0;
    for (int x = 0; x + 1 < 100; ++x)
        insideRows = std::max(insideRows, columnDifference(turned, x, x + 1));
    EXPECT_LE(columnDifference(turned, 99, 0), insideRows);
}

TEST(Artwork, SmallPicturesHaveTheirSizesAndTransparentCorners) {
    const QImage ikoni1 = makeIkoni1(), ikoni2 = makeIkoni2(), frendi = makeFrendi();
    for (const QImage* image : {&ikoni1, &ikoni2, &frendi}) {
        EXPECT_EQ(image->size(), QSize(16, 16));
        EXPECT_EQ(qAlpha(image->pixel(0, 0)), 0);
        EXPECT_EQ(qAlpha(image->pixel(15, 15)), 0);
        EXPECT_EQ(qAlpha(image->pixel(8, 8)), 255);
    }
    // The two frames of the flashing icon must look different to flash at all.
    int differing = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            differing += ikoni1.pixel(x, y) != ikoni2.pixel(x, y) ? 1 : 0;
    EXPECT_GT(differing, 60);
}

TEST(Artwork, ProgramIconComesInEverySize) {
    const QList<int> sizes = programIconSizes();
    ASSERT_TRUE(sizes.contains(16));
    ASSERT_TRUE(sizes.contains(32));
    ASSERT_TRUE(sizes.contains(256));
    for (int size : sizes) {
        const QImage image = makeProgramIconImage(size);
        EXPECT_EQ(image.size(), QSize(size, size));
        EXPECT_EQ(qAlpha(image.pixel(0, size - 1)), 0) << size;
        EXPECT_GT(opaquePixels(image), size * size / 3) << size;
    }
    const QIcon icon = makeProgramIcon();
    for (int size : sizes)
        EXPECT_TRUE(icon.availableSizes().contains(QSize(size, size))) << size;
}

} // namespace
