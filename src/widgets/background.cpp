#include "widgets/background.h"

#include <QBrush>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>

#include <csetjmp>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace kalvento::widgets {

int halfToEven(int value) {
    // Arithmetic shift floors, so `floor` and `floor + 1` are the two neighbours of an odd half.
    const int floor = value >> 1;
    if ((value & 1) == 0)
        return floor;
    return (floor & 1) == 0 ? floor : floor + 1;
}

namespace {

// Pictures beyond this many bytes at 32 bits a pixel are refused before anything is
// allocated, as Qt's own readers do; a damaged header can claim gigapixels.
constexpr qint64 kMaxPictureBytes = qint64(256) * 1024 * 1024;

// Takes the image by value so that a picture nobody else holds is converted in place.
QImage forPainting(QImage image) {
    const QImage::Format format =
        image.hasAlphaChannel() ? QImage::Format_ARGB32_Premultiplied : QImage::Format_RGB32;
    return std::move(image).convertToFormat(format);
}

std::optional<QImage> readWithQt(const QString& path, const char* format) {
    QImageReader reader(path, format);
    reader.setAutoDetectImageFormat(false); // the extension decides the format, as before
    QImage image;
    if (!reader.read(&image) || image.isNull())
        return std::nullopt;
    return forPainting(std::move(image));
}

// An icon file may hold several sizes; take the standard 32 by 32 one when present.
std::optional<QImage> readIcon(const QString& path) {
    QImageReader reader(path, "ico");
    reader.setAutoDetectImageFormat(false);
    const int count = std::max(reader.imageCount(), 1);
    QImage chosen;
    for (int i = 0; i < count; ++i) {
        if (!reader.jumpToImage(i) && i > 0)
            break;
        QImage image;
        if (!reader.read(&image) || image.isNull())
            continue;
        if (chosen.isNull() || image.size() == QSize(32, 32))
            chosen = image;
        if (image.size() == QSize(32, 32))
            break;
    }
    if (chosen.isNull())
        return std::nullopt;
    return forPainting(std::move(chosen));
}

struct JpegErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
};

// libjpeg's default error handler ends the process; jump back to the decoder instead.
void jpegErrorExit(j_common_ptr cinfo) {
    auto* manager = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    std::longjmp(manager->jump, 1);
}

// Warnings (corrupt data that the library recovers from) are not worth a line on stderr.
void jpegOutputMessage(j_common_ptr) {}

// Everything the decoder touches between setjmp and a possible longjmp lives here, on the
// heap, so no object with a destructor is skipped and nothing is held in a clobbered local.
struct JpegDecodeState {
    jpeg_decompress_struct cinfo{};
    JpegErrorManager error{};
    QImage image;
    std::vector<unsigned char> cmykRow;
};

QRgb cmykToRgb(const unsigned char* p, bool adobeInverted) {
    if (adobeInverted) {
        const int k = p[3];
        return qRgb(k * p[0] / 255, k * p[1] / 255, k * p[2] / 255);
    }
    const int k = 255 - p[3];
    return qRgb(k - k * p[0] / 255, k - k * p[1] / 255, k - k * p[2] / 255);
}

// Returns false on any libjpeg error. Keep locals trivially destructible: a longjmp out of
// libjpeg lands in the setjmp below.
bool runJpegDecode(JpegDecodeState* s, const unsigned char* data, unsigned long size) {
    s->cinfo.err = jpeg_std_error(&s->error.pub);
    s->error.pub.error_exit = jpegErrorExit;
    s->error.pub.output_message = jpegOutputMessage;
    if (setjmp(s->error.jump) != 0) {
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    jpeg_create_decompress(&s->cinfo);
    jpeg_mem_src(&s->cinfo, data, size);
    jpeg_read_header(&s->cinfo, TRUE);

    const qint64 pixels = qint64(s->cinfo.image_width) * qint64(s->cinfo.image_height);
    if (pixels <= 0 || pixels * 4 > kMaxPictureBytes) {
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }

    QImage::Format format = QImage::Format_RGB888;
    switch (s->cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
        s->cinfo.out_color_space = JCS_GRAYSCALE;
        format = QImage::Format_Grayscale8;
        break;
    case JCS_CMYK:
    case JCS_YCCK:
        s->cinfo.out_color_space = JCS_CMYK;
        format = QImage::Format_RGB32;
        break;
    default:
        s->cinfo.out_color_space = JCS_RGB;
        break;
    }
    jpeg_start_decompress(&s->cinfo);

    const int width = int(s->cinfo.output_width);
    const int height = int(s->cinfo.output_height);
    s->image = QImage(width, height, format);
    if (s->image.isNull()) {
        jpeg_destroy_decompress(&s->cinfo);
        return false;
    }
    const bool cmyk = s->cinfo.out_color_space == JCS_CMYK;
    if (cmyk)
        s->cmykRow.resize(size_t(width) * 4);

    while (s->cinfo.output_scanline < s->cinfo.output_height) {
        const int y = int(s->cinfo.output_scanline);
        JSAMPROW row = cmyk ? s->cmykRow.data() : s->image.scanLine(y);
        if (jpeg_read_scanlines(&s->cinfo, &row, 1) != 1)
            break;
        if (cmyk) {
            auto* out = reinterpret_cast<QRgb*>(s->image.scanLine(y));
            const bool inverted = s->cinfo.saw_Adobe_marker;
            for (int x = 0; x < width; ++x)
                out[x] = cmykToRgb(s->cmykRow.data() + 4 * qsizetype(x), inverted);
        }
    }
    jpeg_finish_decompress(&s->cinfo);
    jpeg_destroy_decompress(&s->cinfo);
    return true;
}

} // namespace

std::optional<QImage> decodeJpeg(const QByteArray& data) {
    if (data.isEmpty())
        return std::nullopt;
    auto state = std::make_unique<JpegDecodeState>();
    if (!runJpegDecode(state.get(), reinterpret_cast<const unsigned char*>(data.constData()),
                       static_cast<unsigned long>(data.size())))
        return std::nullopt;
    return forPainting(std::move(state->image));
}

std::optional<QImage> loadBackgroundPicture(const QString& path) {
    const QString extension = QFileInfo(path).suffix().toLower();
    if (extension == u"bmp")
        return readWithQt(path, "bmp");
    if (extension == u"ico")
        return readIcon(path);
    if (extension == u"jpg" || extension == u"jpeg") {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return std::nullopt;
        return decodeJpeg(file.readAll());
    }
    // ".wmf" and ".emf" included: nothing we link renders metafiles.
    return std::nullopt;
}

QImage chooseBackgroundPicture(int backgroundIndex, const QString& file, bool disabled,
                               const QImage& current, const QImage& builtIn) {
    if (disabled)
        return {};
    if (backgroundIndex == 0)
        return builtIn;
    if (auto picture = loadBackgroundPicture(file))
        return *picture;
    return current;
}

QSize tileGrid(QSize picture, QSize outer) {
    if (picture.width() <= 0 || picture.height() <= 0)
        return {};
    auto count = [](int extent, int step) {
        return extent <= 0 ? 1 : int((qint64(extent) + step - 1) / step);
    };
    return {count(outer.width(), picture.width()), count(outer.height(), picture.height())};
}

QList<QPoint> tilePositions(QSize picture, QSize outer) {
    const QSize grid = tileGrid(picture, outer);
    QList<QPoint> positions;
    positions.reserve(qsizetype(grid.width()) * grid.height());
    for (int row = 0; row < grid.height(); ++row)
        for (int column = 0; column < grid.width(); ++column)
            positions.append(QPoint(column * picture.width(), row * picture.height()));
    return positions;
}

QPoint centredPosition(QSize client, QSize picture) {
    return {halfToEven(client.width() - picture.width()),
            halfToEven(client.height() - picture.height())};
}

void paintBackground(QPainter& painter, QSize client, QSize outer, const QImage& picture, int style,
                     bool disabled, QColor color) {
    painter.fillRect(QRect(QPoint(0, 0), client), color);
    if (disabled || picture.isNull())
        return;
    switch (style) {
    case bsTile: {
        // One textured fill covers exactly the tiles of tilePositions(), without a draw call
        // per tile for a small picture on a large window.
        const QSize grid = tileGrid(picture.size(), outer);
        if (grid.isEmpty())
            return;
        painter.save();
        painter.setBrushOrigin(0, 0);
        painter.fillRect(
            QRect(0, 0, grid.width() * picture.width(), grid.height() * picture.height()),
            QBrush(picture));
        painter.restore();
        break;
    }
    case bsCenter:
        painter.drawImage(centredPosition(client, picture.size()), picture);
        break;
    case bsStretch:
        if (client.isEmpty())
            return;
        painter.save();
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(QRect(QPoint(0, 0), client), picture);
        painter.restore();
        break;
    default:
        break;
    }
}

} // namespace kalvento::widgets
