#include "widgets/artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

#include <cmath>
#include <numbers>

namespace kalvento::widgets {

namespace {

// One palette for every picture so the toolbar reads as a set.
namespace ink {
const QColor outline(31, 58, 90);
const QColor blue(47, 127, 208);
const QColor orange(243, 154, 33);
const QColor lightOrange(255, 210, 122);
const QColor green(58, 165, 93);
const QColor red(217, 71, 63);
const QColor steel(91, 122, 153);
const QColor paper(251, 252, 254);
const QColor paperShade(214, 222, 232);
} // namespace ink

QImage blank(int w, int h) {
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    return image;
}

// Under the mouse the colours brighten a little.
QColor tone(const QColor& c, bool hot) {
    return hot ? c.lighter(124) : c;
}

QPen outlinePen(qreal width = 1.3) {
    return QPen(ink::outline, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

QBrush vertical(const QColor& c, qreal top, qreal bottom) {
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, c.lighter(125));
    g.setColorAt(1, c.darker(108));
    return g;
}

QPointF polar(QPointF centre, qreal radius, qreal degrees) {
    const qreal a = degrees * std::numbers::pi / 180.0;
    return centre + QPointF(radius * std::cos(a), -radius * std::sin(a));
}

void drawGlow(QPainter& p) {
    QRadialGradient g(QPointF(16, 16), 16);
    // Most of the centre is covered by the symbol; the ring outside it is what shows.
    g.setColorAt(0.0, QColor(255, 240, 175, 230));
    g.setColorAt(0.72, QColor(255, 212, 100, 190));
    g.setColorAt(1.0, QColor(255, 212, 100, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QRectF(0, 0, 32, 32));
}

void drawDisc(QPainter& p, const QColor& colour, bool hot) {
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(colour, hot), 3, 29));
    p.drawEllipse(QRectF(3.5, 3.5, 25, 25));
    // A soft shine across the top.
    QLinearGradient shine(0, 4, 0, 16);
    shine.setColorAt(0, QColor(255, 255, 255, 120));
    shine.setColorAt(1, QColor(255, 255, 255, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawEllipse(QRectF(7, 5, 18, 11));
}

void drawSend(QPainter& p, bool hot) {
    const QPointF tip(29, 4), wing(3, 14), fold(14, 18), tail(20, 28), keel(16, 24);
    p.setPen(outlinePen());
    p.setBrush(tone(ink::paper, hot));
    p.drawPolygon(QPolygonF{wing, tip, fold});
    p.setBrush(vertical(tone(ink::blue, hot), 4, 28));
    p.drawPolygon(QPolygonF{fold, tip, tail});
    p.setBrush(tone(ink::blue, hot).darker(130));
    p.drawPolygon(QPolygonF{fold, keel, QPointF(18.5, 21.5)});
}

void drawComment(QPainter& p, bool hot) {
    QPainterPath bubble;
    bubble.addRoundedRect(QRectF(3, 5, 26, 18), 6, 6);
    QPainterPath tail;
    tail.moveTo(9, 21);
    tail.lineTo(7, 29);
    tail.lineTo(17, 21);
    tail.closeSubpath();
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::orange, hot), 5, 29));
    p.drawPath(bubble.united(tail));
    p.setPen(Qt::NoPen);
    p.setBrush(ink::paper);
    for (qreal x : {10.0, 16.0, 22.0})
        p.drawEllipse(QPointF(x, 14), 2.1, 2.1);
}

void drawInfo(QPainter& p, bool hot) {
    drawDisc(p, ink::blue, hot);
    p.setPen(Qt::NoPen);
    p.setBrush(ink::paper);
    p.drawEllipse(QPointF(16, 10), 2.3, 2.3);
    p.drawRoundedRect(QRectF(14, 14, 4, 10.5), 1.6, 1.6);
}

void drawHelp(QPainter& p, bool hot) {
    drawDisc(p, ink::green, hot);
    QPainterPath mark;
    mark.moveTo(polar(QPointF(16, 12.5), 4.8, 165));
    mark.arcTo(QRectF(11.2, 7.7, 9.6, 9.6), 165, -240);
    mark.lineTo(16, 18.6);
    p.setPen(QPen(ink::paper, 3.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(mark);
    p.setPen(Qt::NoPen);
    p.setBrush(ink::paper);
    p.drawEllipse(QPointF(16, 23.4), 1.9, 1.9);
}

void drawOptions(QPainter& p, bool hot) {
    const QPointF centre(16, 16);
    QPolygonF teeth;
    for (int i = 0; i < 8; ++i) {
        const qreal a = i * 45.0 + 22.5;
        teeth << polar(centre, 10, a - 17) << polar(centre, 13.5, a - 9)
              << polar(centre, 13.5, a + 9) << polar(centre, 10, a + 17);
    }
    QPainterPath gear;
    gear.addPolygon(teeth);
    gear.closeSubpath();
    gear.addEllipse(centre, 4.6, 4.6);
    gear.setFillRule(Qt::OddEvenFill);
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::steel, hot), 3, 29));
    p.drawPath(gear);
    p.setPen(QPen(QColor(255, 255, 255, 110), 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(centre, 7.4, 7.4);
}

void drawClose(QPainter& p, bool hot) {
    drawDisc(p, ink::red, hot);
    p.setPen(QPen(ink::paper, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11.5, 11.5), QPointF(20.5, 20.5));
    p.drawLine(QPointF(20.5, 11.5), QPointF(11.5, 20.5));
}

// An arc running counter-clockwise from `from` to `to` degrees, with a head at its end.
void drawArrowArc(QPainter& p, QPointF centre, qreal radius, qreal from, qreal to,
                  const QColor& colour) {
    QPainterPath arc;
    arc.arcMoveTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), from);
    arc.arcTo(QRectF(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius), from,
              to - from - 12);
    const QPen body(colour, 3.6, Qt::SolidLine, Qt::FlatCap);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(ink::outline, 5.6, Qt::SolidLine, Qt::FlatCap));
    p.drawPath(arc);
    p.setPen(body);
    p.drawPath(arc);

    const qreal a = to * std::numbers::pi / 180.0;
    const QPointF end = polar(centre, radius, to - 14);
    const QPointF tangent(-std::sin(a), -std::cos(a)); // counter-clockwise on screen
    const QPointF normal(std::cos(a), -std::sin(a));
    const QPolygonF head{end + tangent * 6.0, end + normal * 5.0, end - normal * 5.0};
    p.setPen(outlinePen(1.1));
    p.setBrush(colour);
    p.drawPolygon(head);
}

void drawUpdate(QPainter& p, bool hot) {
    const QColor colour = tone(ink::green, hot);
    drawArrowArc(p, QPointF(16, 16), 9.5, 20, 170, colour);
    drawArrowArc(p, QPointF(16, 16), 9.5, 200, 350, colour);
}

void drawPrint(QPainter& p, bool hot) {
    p.setPen(outlinePen());
    p.setBrush(tone(ink::paper, hot));
    p.drawRect(QRectF(9.5, 3.5, 13, 10));
    p.setBrush(vertical(tone(ink::steel, hot), 11, 25));
    p.drawRoundedRect(QRectF(3.5, 11.5, 25, 12), 3, 3);
    p.setBrush(tone(ink::paper, hot));
    p.drawRect(QRectF(9.5, 18.5, 13, 10));
    p.setPen(QPen(tone(ink::blue, hot), 1.2));
    for (qreal y : {22.0, 25.0})
        p.drawLine(QPointF(12, y), QPointF(20, y));
    p.setPen(Qt::NoPen);
    p.setBrush(tone(ink::green, hot).lighter(hot ? 130 : 110));
    p.drawEllipse(QPointF(24.5, 15), 1.4, 1.4);
}

void drawPage(QPainter& p, const QRectF& r, bool hot, bool lines) {
    const qreal fold = 5;
    QPainterPath page;
    page.moveTo(r.topLeft());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.bottomRight());
    page.lineTo(r.bottomLeft());
    page.closeSubpath();
    p.setPen(outlinePen());
    p.setBrush(tone(lines ? ink::paper : ink::paperShade, hot));
    p.drawPath(page);
    p.setBrush(tone(ink::lightOrange, hot));
    p.drawPolygon(QPolygonF{QPointF(r.right() - fold, r.top()), QPointF(r.right(), r.top() + fold),
                            QPointF(r.right() - fold, r.top() + fold)});
    if (!lines)
        return;
    p.setPen(QPen(tone(ink::blue, hot), 1.4, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 5; ++i) {
        const qreal y = r.top() + 7 + i * 3.4;
        const qreal right = i == 4 ? r.left() + r.width() * 0.55 : r.right() - 3.5;
        p.drawLine(QPointF(r.left() + 3.5, y), QPointF(right, y));
    }
}

void drawBigMessage(QPainter& p, bool hot) {
    drawPage(p, QRectF(10.5, 2.5, 18, 23), hot, false);
    drawPage(p, QRectF(4.5, 6.5, 18, 23), hot, true);
}

void drawCut(QPainter& p, bool hot) {
    // Two blades crossing above two finger rings.
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::steel, hot).lighter(150), 3, 20));
    p.drawPolygon(QPolygonF{QPointF(9, 3), QPointF(12.5, 3), QPointF(19.5, 19), QPointF(16.5, 20)});
    p.drawPolygon(
        QPolygonF{QPointF(23, 3), QPointF(19.5, 3), QPointF(12.5, 19), QPointF(15.5, 20)});
    p.setPen(QPen(tone(ink::red, hot), 3.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(10.5, 24), 4.2, 4.2);
    p.drawEllipse(QPointF(21.5, 24), 4.2, 4.2);
    p.setPen(Qt::NoPen);
    p.setBrush(ink::outline);
    p.drawEllipse(QPointF(16, 17.6), 1.4, 1.4);
}

void drawCopy(QPainter& p, bool hot) {
    drawPage(p, QRectF(3.5, 3.5, 16, 20), hot, true);
    drawPage(p, QRectF(12.5, 8.5, 16, 20), hot, true);
}

void drawPaste(QPainter& p, bool hot) {
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(QColor(176, 120, 66), hot), 4, 30));
    p.drawRoundedRect(QRectF(4.5, 5.5, 19, 24), 2.5, 2.5);
    p.setBrush(tone(ink::steel, hot));
    p.drawRoundedRect(QRectF(9.5, 2.5, 9, 6), 2, 2);
    drawPage(p, QRectF(12.5, 11.5, 16, 18), hot, true);
}

void drawSelectAll(QPainter& p, bool hot) {
    drawPage(p, QRectF(7.5, 5.5, 17, 22), hot, true);
    p.setPen(QPen(tone(ink::blue, hot), 1.6, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(3.5, 2.5, 25, 28));
}

void drawOpen(QPainter& p, bool hot) {
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::orange, hot).darker(110), 6, 27));
    p.drawPolygon(QPolygonF{QPointF(3.5, 8.5), QPointF(11, 8.5), QPointF(13.5, 11.5),
                            QPointF(27.5, 11.5), QPointF(27.5, 27.5), QPointF(3.5, 27.5)});
    drawPage(p, QRectF(9.5, 4.5, 15, 17), hot, true);
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::orange, hot), 14, 28));
    p.drawPolygon(QPolygonF{QPointF(3.5, 27.5), QPointF(7.5, 15.5), QPointF(30.5, 15.5),
                            QPointF(26.5, 27.5)});
}

void drawAbort(QPainter& p, bool hot) {
    // A stop sign: an octagon with a bar across.
    QPolygonF octagon;
    for (int i = 0; i < 8; ++i)
        octagon << polar(QPointF(16, 16), 13, 22.5 + 45 * i);
    p.setPen(outlinePen());
    p.setBrush(vertical(tone(ink::red, hot), 3, 29));
    p.drawPolygon(octagon);
    p.setPen(Qt::NoPen);
    p.setBrush(ink::paper);
    p.drawRoundedRect(QRectF(8.5, 13.5, 15, 5), 1.5, 1.5);
}

using Drawer = void (*)(QPainter&, bool);

QImage toolbarPicture(Drawer draw, bool hot) {
    QImage image = blank(kuvatSize, kuvatSize);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    if (hot)
        drawGlow(p);
    draw(p, hot);
    return image;
}

void drawEnvelope(QPainter& p, const QColor& body, const QColor& edge) {
    const QRectF r(1.5, 3.5, 13, 9);
    p.setPen(QPen(edge, 1.1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(body);
    p.drawRoundedRect(r, 1.2, 1.2);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF{r.topLeft() + QPointF(0.6, 0.6), QPointF(8, 9),
                             r.topRight() + QPointF(-0.6, 0.6)});
}

void drawStar(QPainter& p, QPointF centre, qreal outer, qreal inner) {
    QPolygonF star;
    for (int i = 0; i < 10; ++i)
        star << polar(centre, i % 2 == 0 ? outer : inner, 90 + i * 36);
    p.drawPolygon(star);
}

} // namespace

QList<QImage> makeKuvat() {
    // In the order of the resting positions 1, 3, 5, ... 29.
    const Drawer drawers[] = {drawSend,  drawComment, drawInfo,      drawHelp,       drawOptions,
                              drawClose, drawUpdate,  drawPrint,     drawBigMessage, drawCut,
                              drawCopy,  drawPaste,   drawSelectAll, drawOpen,       drawAbort};
    QList<QImage> pictures;
    pictures.reserve(kuvatCount);
    for (Drawer draw : drawers) {
        pictures.append(toolbarPicture(draw, true));
        pictures.append(toolbarPicture(draw, false));
    }
    return pictures;
}

QImage makeTausta() {
    // Light and low in contrast so the transparent labels stay readable. Every element repeats
    // with a period dividing 100, so the tiles meet without seams.
    QImage image(100, 100, QImage::Format_RGB32);
    image.fill(QColor(226, 232, 240));
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(234, 239, 245), 7));
    for (qreal c = -87.5; c <= 187.5; c += 25)
        p.drawLine(QPointF(c + 10, -10), QPointF(c - 110, 110)); // x + y = c
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(212, 220, 230));
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            p.drawEllipse(QPointF(12.5 + 25 * i, 12.5 + 25 * j), 1.3, 1.3);
    return image;
}

QImage makeIkoni1() {
    QImage image = blank(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    drawEnvelope(p, ink::paper, ink::blue.darker(120));
    return image;
}

QImage makeIkoni2() {
    QImage image = blank(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient glow(QPointF(8, 8), 8);
    glow.setColorAt(0, QColor(255, 200, 60, 200));
    glow.setColorAt(1, QColor(255, 200, 60, 0));
    p.setPen(Qt::NoPen);
    p.setBrush(glow);
    p.drawEllipse(QRectF(0, 0, 16, 16));
    drawEnvelope(p, ink::orange, ink::outline);
    return image;
}

QImage makeFrendi() {
    QImage image = blank(16, 16);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient gold(0, 1, 0, 15);
    gold.setColorAt(0, QColor(255, 224, 102));
    gold.setColorAt(1, QColor(240, 150, 30));
    p.setPen(QPen(QColor(168, 100, 20), 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(gold);
    drawStar(p, QPointF(8, 8.6), 7.4, 3.1);
    return image;
}

QImage makeProgramIconImage(int size) {
    QImage image = blank(size, size);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);
    // Thin lines vanish at small sizes; keep them at least about one device pixel.
    const qreal line = std::max(1.2, 32.0 / size);

    // Back bubble (the other side of the conversation).
    QPainterPath back;
    back.addRoundedRect(QRectF(11, 2.5, 19, 14), 5, 5);
    QPainterPath backTail;
    backTail.moveTo(23, 15);
    backTail.lineTo(27, 21);
    backTail.lineTo(18, 15);
    backTail.closeSubpath();
    p.setPen(QPen(ink::outline, line, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(vertical(ink::orange, 2, 21));
    p.drawPath(back.united(backTail));

    // Front bubble.
    QPainterPath front;
    front.addRoundedRect(QRectF(2, 9.5, 22, 15.5), 5.5, 5.5);
    QPainterPath frontTail;
    frontTail.moveTo(6.5, 23);
    frontTail.lineTo(4.5, 30);
    frontTail.lineTo(13, 23);
    frontTail.closeSubpath();
    p.setBrush(vertical(ink::blue, 9, 30));
    p.drawPath(front.united(frontTail));
    p.setPen(Qt::NoPen);
    p.setBrush(ink::paper);
    for (qreal x : {7.5, 13.0, 18.5})
        p.drawEllipse(QPointF(x, 17.2), 2.0, 2.0);
    return image;
}

QImage makeSplashPicture() {
    // A blue band with the icon and the name over a light one, on which the splash window
    // writes the version in blue.
    QImage image(kSplashWidth, kSplashHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const int band = kSplashHeight - 58;
    QLinearGradient sky(0, 0, 0, band);
    sky.setColorAt(0, ink::blue.lighter(118));
    sky.setColorAt(1, ink::outline);
    p.fillRect(QRect(0, 0, kSplashWidth, band), sky);
    p.fillRect(QRect(0, band, kSplashWidth, kSplashHeight - band), ink::paper);
    p.fillRect(QRect(0, band, kSplashWidth, 3), ink::orange);
    // Faint rings, like a message going out over the network.
    p.setPen(QPen(QColor(255, 255, 255, 28), 2));
    for (int r = 40; r < 260; r += 34)
        p.drawEllipse(QPointF(70, band / 2.0), r, r);
    p.drawImage(QRect(22, (band - 96) / 2, 96, 96), makeProgramIconImage(96));
    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(40);
    title.setBold(true);
    p.setFont(title);
    p.setPen(QColor(0, 0, 0, 70));
    p.drawText(QRect(134, 36, kSplashWidth - 140, 50), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Kalvento"));
    p.setPen(Qt::white);
    p.drawText(QRect(132, 34, kSplashWidth - 140, 50), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Kalvento"));
    QFont tagline = title;
    tagline.setPixelSize(14);
    tagline.setBold(false);
    p.setFont(tagline);
    p.setPen(ink::lightOrange);
    p.drawText(QRect(134, 84, kSplashWidth - 140, 24), Qt::AlignLeft | Qt::AlignVCenter,
               QStringLiteral("Chat across your local network"));
    p.setPen(QPen(ink::outline, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, kSplashWidth - 1, kSplashHeight - 1));
    return image;
}

QList<int> programIconSizes() {
    return {16, 22, 24, 32, 48, 64, 128, 256};
}

QIcon makeProgramIcon() {
    QIcon icon;
    for (int size : programIconSizes())
        icon.addPixmap(QPixmap::fromImage(makeProgramIconImage(size)));
    return icon;
}

} // namespace kalvento::widgets
