#include "widgets/background.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <jpeglib.h>

using namespace kalvento::widgets;

namespace {

// Encodes raw samples with libjpeg's compressor, so the tests need no JPEG writer from Qt.
QByteArray encodeJpeg(int width, int height, int components, J_COLOR_SPACE space,
                      const std::vector<unsigned char>& samples) {
    jpeg_compress_struct c{};
    jpeg_error_mgr error{};
    c.err = jpeg_std_error(&error);
    jpeg_create_compress(&c);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&c, &buffer, &size);
    c.image_width = JDIMENSION(width);
    c.image_height = JDIMENSION(height);
    c.input_components = components;
    c.in_color_space = space;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        auto* row =
            const_cast<unsigned char*>(&samples[size_t(c.next_scanline) * width * components]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    QByteArray out(reinterpret_cast<const char*>(buffer), qsizetype(size));
    std::free(buffer);
    jpeg_destroy_compress(&c);
    return out;
}

// 67 by 35: red in the left 32 columns, blue to the right.
QByteArray twoColourJpeg() {
    const int w = 67, h = 35;
    std::vector<unsigned char> rgb(size_t(w) * h * 3);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char* p = &rgb[(size_t(y) * w + x) * 3];
            p[0] = x < 32 ? 220 : 20;
            p[1] = 30;
            p[2] = x < 32 ? 20 : 200;
        }
    return encodeJpeg(w, h, 3, JCS_RGB, rgb);
}

bool near(QRgb actual, QRgb expected, int tolerance = 12) {
    return std::abs(qRed(actual) - qRed(expected)) <= tolerance &&
           std::abs(qGreen(actual) - qGreen(expected)) <= tolerance &&
           std::abs(qBlue(actual) - qBlue(expected)) <= tolerance;
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// Byte offset of the baseline frame header's marker.
qsizetype frameHeader(const QByteArray& jpeg) {
    return jpeg.indexOf("\xFF\xC0");
}

QByteArray withDimensions(QByteArray jpeg, int width, int height) {
    const qsizetype sof = frameHeader(jpeg);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height & 0xFF);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width & 0xFF);
    return jpeg;
}

TEST(DecodeJpeg, DecodesSizeAndColours) {
    const auto image = decodeJpeg(twoColourJpeg());
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->size(), QSize(67, 35));
    EXPECT_TRUE(near(image->pixel(8, 17), qRgb(220, 30, 20))) << Qt::hex << image->pixel(8, 17);
    EXPECT_TRUE(near(image->pixel(55, 17), qRgb(20, 30, 200))) << Qt::hex << image->pixel(55, 17);
}

TEST(DecodeJpeg, DecodesGreyAndAdobeCmyk) {
    const std::vector<unsigned char> grey(std::size_t{40} * 24, 200);
    const auto greyImage = decodeJpeg(encodeJpeg(40, 24, 1, JCS_GRAYSCALE, grey));
    ASSERT_TRUE(greyImage.has_value());
    EXPECT_EQ(greyImage->size(), QSize(40, 24));
    EXPECT_TRUE(near(greyImage->pixel(20, 12), qRgb(200, 200, 200), 3));

    // Pure cyan, stored inverted the way Adobe applications write CMYK.
    std::vector<unsigned char> cmyk;
    for (int i = 0; i < 32 * 16; ++i)
        cmyk.insert(cmyk.end(), {0, 255, 255, 255});
    const auto cyan = decodeJpeg(encodeJpeg(32, 16, 4, JCS_CMYK, cmyk));
    ASSERT_TRUE(cyan.has_value());
    EXPECT_EQ(cyan->size(), QSize(32, 16));
    EXPECT_TRUE(near(cyan->pixel(16, 8), qRgb(0, 255, 255))) << Qt::hex << cyan->pixel(16, 8);
}

// Each of these would end the process with libjpeg's default error handler.
TEST(DecodeJpeg, DamagedPicturesFailCleanly) {
    const QByteArray good = twoColourJpeg();
    ASSERT_GT(frameHeader(good), 0);
    QByteArray badMarker = good;
    badMarker[frameHeader(good) + 1] = char(0xCF); // arithmetic-coded frame type, unsupported
    QByteArray badTable = good;
    badTable[frameHeader(good) + 9] = char(7); // seven components

    const struct {
        const char* name;
        QByteArray bytes;
    } cases[] = {
        {"empty", {}},
        {"text", "this is not a picture at all"},
        {"start and end only", QByteArray("\xFF\xD8\xFF\xD9", 4)},
        {"cut inside the headers", good.left(frameHeader(good) + 4)},
        {"zero height", withDimensions(good, 67, 0)},
        {"60000 square", withDimensions(good, 60000, 60000)},
        {"odd frame type", badMarker},
        {"bad component count", badTable},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(decodeJpeg(c.bytes).has_value()) << c.name;
}

TEST(DecodeJpeg, CutOffScanStillGivesThePicture) {
    const QByteArray good = twoColourJpeg();
    const qsizetype scan = good.indexOf("\xFF\xDA");
    ASSERT_GT(scan, 0);
    const auto image = decodeJpeg(good.left(scan + (good.size() - scan) / 2));
    ASSERT_TRUE(image.has_value());
    EXPECT_EQ(image->size(), QSize(67, 35));
}

class LoadBackgroundPicture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        QImage bmp(20, 10, QImage::Format_RGB32);
        bmp.fill(qRgb(10, 200, 30));
        ASSERT_TRUE(bmp.save(path("source.bmp"), "BMP"));
        bmpBytes = read(path("source.bmp"));
        jpegBytes = twoColourJpeg();
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    static QByteArray read(const QString& p) {
        QFile f(p);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QTemporaryDir dir;
    QByteArray bmpBytes;
    QByteArray jpegBytes;
};

TEST_F(LoadBackgroundPicture, FormatFollowsTheExtension) {
    QImage png(5, 5, QImage::Format_RGB32);
    png.fill(Qt::white);
    ASSERT_TRUE(png.save(path("real.png"), "PNG"));
    const QByteArray pngBytes = read(path("real.png"));

    const struct {
        const char* name;
        QByteArray bytes;
        QSize expected; // empty: cannot be loaded
    } cases[] = {
        {"a.bmp", bmpBytes, {20, 10}},
        {"B.BMP", bmpBytes, {20, 10}},
        {"c.jpg", jpegBytes, {67, 35}},
        {"d.JPEG", jpegBytes, {67, 35}},
        {"e.Jpg", jpegBytes, {67, 35}},
        {"f.gif", bmpBytes, {}},
        {"g.wmf", bmpBytes, {}},
        {"h.emf", bmpBytes, {}},
        {"i.png", pngBytes, {}},
        {"no-extension", bmpBytes, {}},
        {"jpeg-inside.bmp", jpegBytes, {}},
        {"bitmap-inside.jpg", bmpBytes, {}},
        {"empty.bmp", {}, {}},
        {"empty.jpg", {}, {}},
    };
    for (const auto& c : cases) {
        writeFile(path(c.name), c.bytes);
        const auto picture = loadBackgroundPicture(path(c.name));
        if (c.expected.isEmpty()) {
            EXPECT_FALSE(picture.has_value()) << c.name;
        } else {
            ASSERT_TRUE(picture.has_value()) << c.name;
            EXPECT_EQ(picture->size(), c.expected) << c.name;
        }
    }
    EXPECT_FALSE(loadBackgroundPicture(path("missing.bmp")).has_value());
    EXPECT_FALSE(loadBackgroundPicture(path("missing.jpg")).has_value());
    EXPECT_FALSE(loadBackgroundPicture(path("missing.ico")).has_value());
}

TEST_F(LoadBackgroundPicture, IconKeepsItsTransparency) {
    QImage icon(32, 32, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    for (int y = 8; y < 24; ++y)
        for (int x = 8; x < 24; ++x)
            icon.setPixel(x, y, qRgba(200, 0, 0, 255));
    ASSERT_TRUE(icon.save(path("mark.ico"), "ICO"));
    const auto picture = loadBackgroundPicture(path("mark.ico"));
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->size(), QSize(32, 32));
    EXPECT_EQ(qAlpha(picture->pixel(0, 0)), 0);
    EXPECT_EQ(picture->pixel(16, 16), qRgba(200, 0, 0, 255));
}

TEST_F(LoadBackgroundPicture, ChoosingKeepsThePictureWhenTheFileFails) {
    writeFile(path("good.bmp"), bmpBytes);
    writeFile(path("anim.gif"), bmpBytes);
    QImage current(7, 7, QImage::Format_RGB32);
    current.fill(Qt::red);
    QImage builtIn(100, 100, QImage::Format_RGB32);
    builtIn.fill(Qt::gray);

    const struct {
        int index;
        QString file;
        bool disabled;
        QSize expected; // empty size: Tausta emptied
    } cases[] = {
        {0, path("good.bmp"), false, {100, 100}},
        {1, path("good.bmp"), false, {20, 10}},
        {3, path("anim.gif"), false, {7, 7}},
        {1, path("gone.bmp"), false, {7, 7}},
        {1, QString(), false, {7, 7}},
        {1, path("good.bmp"), true, {}},
        {0, QString(), true, {}},
    };
    for (const auto& c : cases) {
        const QImage chosen =
            chooseBackgroundPicture(c.index, c.file, c.disabled, current, builtIn);
        EXPECT_EQ(chosen.isNull(), c.expected.isEmpty()) << c.index << " " << c.file.toStdString();
        if (!c.expected.isEmpty()) {
            EXPECT_EQ(chosen.size(), c.expected) << c.index << " " << c.file.toStdString();
        }
    }
}

TEST(TileGrid, CoversTheOuterSizeAndNeverLoopsOnAnEmptyPicture) {
    const struct {
        QSize picture;
        QSize outer;
        QSize grid;
    } cases[] = {
        {{100, 100}, {658, 462}, {7, 5}},
        {{100, 100}, {600, 400}, {6, 4}},
        {{100, 100}, {601, 401}, {7, 5}},
        {{100, 100}, {0, 0}, {1, 1}},
        {{300, 300}, {100, 50}, {1, 1}},
        {{1, 1}, {3, 2}, {3, 2}},
        {{0, 100}, {658, 462}, {}},
        {{100, 0}, {658, 462}, {}},
        {{0, 0}, {0, 0}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(tileGrid(c.picture, c.outer), c.grid)
            << c.picture.width() << "x" << c.picture.height() << " in " << c.outer.width() << "x"
            << c.outer.height();

    const QList<QPoint> tiles = tilePositions({100, 100}, {658, 462});
    ASSERT_EQ(tiles.size(), 35);
    EXPECT_EQ(tiles.front(), QPoint(0, 0));
    EXPECT_EQ(tiles[6], QPoint(600, 0));
    EXPECT_EQ(tiles[7], QPoint(0, 100));
    EXPECT_EQ(tiles.back(), QPoint(600, 400));
    EXPECT_TRUE(tilePositions({0, 0}, {658, 462}).isEmpty());
}

// A picture whose pixels tell where they came from: red = x, green = y.
QImage coordinatePicture(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, 77));
    return image;
}

QImage paint(QSize surface, QSize client, QSize outer, const QImage& picture, int style,
             bool disabled, QColor color = QColor(1, 2, 3)) {
    QImage target(surface, QImage::Format_RGB32);
    target.fill(qRgb(255, 0, 255)); // shows what nothing painted over
    QPainter painter(&target);
    paintBackground(painter, client, outer, picture, style, disabled, color);
    painter.end();
    return target;
}

TEST(PaintBackground, TilesFromTheCornerOverTheOuterSize) {
    const QSize outer(658, 462), client(650, 428);
    const QImage target = paint(outer, client, outer, coordinatePicture(100, 100), bsTile, false);
    for (int y = 0; y < outer.height(); y += 7)
        for (int x = 0; x < outer.width(); x += 5)
            ASSERT_EQ(target.pixel(x, y), qRgb(x % 100, y % 100, 77)) << x << "," << y;
    EXPECT_EQ(target.pixel(657, 461), qRgb(57, 61, 77));
}

TEST(PaintBackground, CentresWithTheColourAroundOrCutsALargePicture) {
    const QColor colour(1, 2, 3);
    const QImage small = paint({200, 100}, {200, 100}, {216, 138}, coordinatePicture(50, 30),
                               bsCenter, false, colour);
    EXPECT_EQ(small.pixel(74, 50), colour.rgb());
    EXPECT_EQ(small.pixel(75, 35), qRgb(0, 0, 77));
    EXPECT_EQ(small.pixel(124, 64), qRgb(49, 29, 77));
    EXPECT_EQ(small.pixel(125, 64), colour.rgb());

    const QImage large = paint({200, 100}, {200, 100}, {216, 138}, coordinatePicture(301, 151),
                               bsCenter, false, colour);
    EXPECT_EQ(large.pixel(0, 0), qRgb(50, 26, 77));
    EXPECT_EQ(large.pixel(199, 99), qRgb(249, 125, 77));
}

TEST(PaintBackground, StretchesToTheClientRectangle) {
    QImage halves(10, 10, QImage::Format_RGB32);
    halves.fill(Qt::red);
    for (int y = 0; y < 10; ++y)
        for (int x = 5; x < 10; ++x)
            halves.setPixel(x, y, qRgb(0, 0, 255));
    const QImage target = paint({220, 120}, {200, 100}, {220, 120}, halves, bsStretch, false);
    EXPECT_EQ(target.pixel(1, 1), qRgb(255, 0, 0));
    EXPECT_EQ(target.pixel(60, 50), qRgb(255, 0, 0));
    EXPECT_EQ(target.pixel(140, 50), qRgb(0, 0, 255));
    EXPECT_EQ(target.pixel(198, 98), qRgb(0, 0, 255));
    // Outside the client nothing is painted.
    EXPECT_EQ(target.pixel(205, 50), qRgb(255, 0, 255));
    EXPECT_EQ(target.pixel(50, 110), qRgb(255, 0, 255));
}

TEST(PaintBackground, OnlyTheColourWhenDisabledUnknownOrEmpty) {
    const QColor colour(10, 120, 200);
    const QImage picture = coordinatePicture(100, 100);
    const struct {
        const char* name;
        QImage picture;
        int style;
        bool disabled;
    } cases[] = {
        {"disabled tile", picture, bsTile, true},
        {"disabled centre", picture, bsCenter, true},
        {"disabled stretch", picture, bsStretch, true},
        {"style 3", picture, 3, false},
        {"style -1", picture, -1, false},
        {"empty tile", QImage(), bsTile, false},
        {"zero-width tile", QImage(0, 10, QImage::Format_RGB32), bsTile, false},
        {"empty stretch", QImage(), bsStretch, false},
    };
    for (const auto& c : cases) {
        const QImage target =
            paint({300, 200}, {300, 200}, {316, 238}, c.picture, c.style, c.disabled, colour);
        const QImage expected = [&] {
            QImage i(300, 200, QImage::Format_RGB32);
            i.fill(colour);
            return i;
        }();
        EXPECT_EQ(target, expected) << c.name;
    }
}

} // namespace
