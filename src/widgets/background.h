#pragma once
// The main window's background: loading the user's picture and painting it behind the
// controls, tiled, centred or stretched over the background colour.

#include <QByteArray>
#include <QColor>
#include <QImage>
#include <QList>
#include <QPoint>
#include <QSize>
#include <QString>

#include <optional>

class QPainter;

namespace kalvento::widgets {

// Half of a whole number with an odd value's .5 going to the even neighbour
// (5 -> 2, 7 -> 4, -5 -> -2), the rounding the window's arithmetic has always used.
int halfToEven(int value);

// Values of "Advanced"/"Background style".
enum BackgroundStyle : int { bsTile = 0, bsCenter = 1, bsStretch = 2 };

// Loads a background picture chosen by its extension, ignoring case: ".bmp" and ".ico" through
// Qt, ".jpg" and ".jpeg" through libjpeg. Metafiles and every other extension cannot be
// loaded. Returns nothing when the file cannot be loaded, so the caller keeps its picture.
std::optional<QImage> loadBackgroundPicture(const QString& path);

// Decodes a JPEG held in memory with libjpeg. A damaged or absurdly large picture gives
// nothing; recoverable damage (a cut-off scan) decodes with the missing part grey.
std::optional<QImage> decodeJpeg(const QByteArray& data);

// What Tausta holds after the settings were read or changed: nothing when the background is
// disabled, the built-in picture for index 0, else the file's picture, or `current` when the
// file cannot be loaded.
QImage chooseBackgroundPicture(int backgroundIndex, const QString& file, bool disabled,
                               const QImage& current, const QImage& builtIn);

// The number of tile columns and rows that cover `outer` from (0, 0): at least one each, since
// the first tile is drawn before any test. Empty for an empty picture.
QSize tileGrid(QSize picture, QSize outer);
// The top-left corners of the tiles, row by row.
QList<QPoint> tilePositions(QSize picture, QSize outer);
// Top-left corner of a centred picture; negative when the picture is larger than the client.
QPoint centredPosition(QSize client, QSize picture);

// Paints the window's surface: the colour over the client area, then, unless disabled, the
// picture tiled to the outer size, centred or stretched to the client size. Unknown styles
// paint the colour only.
void paintBackground(QPainter& painter, QSize client, QSize outer, const QImage& picture, int style,
                     bool disabled, QColor color);

} // namespace kalvento::widgets
