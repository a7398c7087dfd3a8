// Writes the program icon as the PNG files of the hicolor icon theme, for installing:
// <folder>/<size>x<size>/apps/kalvento.png for every size the program draws.
// Usage: kalvento_render_icons <folder>

#include "desktop/program_icon.h"
#include "widgets/artwork.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QSaveFile>

#include <cstdio>

using namespace kalvento::desktop;
using namespace kalvento::widgets;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
        return 2;
    }
    // Painting needs no display; the offscreen platform keeps it from looking for one.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString folder = QString::fromLocal8Bit(argv[1]);
    for (int size : programIconSizes()) {
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(folder, QString::number(size));
        const QString file =
            QStringLiteral("%1/%2.png").arg(dir, QString::fromLatin1(kProgramIconName));
        QSaveFile out(file);
        if (!QDir().mkpath(dir) || !out.open(QIODevice::WriteOnly) ||
            !makeProgramIconImage(size).save(&out, "PNG") || !out.commit()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
