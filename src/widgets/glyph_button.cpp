#include "widgets/glyph_button.h"

#include <QEnterEvent>
#include <QHideEvent>
#include <QPainter>

namespace kalvento::widgets {

TGlyphButton::TGlyphButton(QWidget* parent) : QAbstractButton(parent) {
    // A speed button: clicking it must not take the focus from the message box.
    setFocusPolicy(Qt::NoFocus);
    setAutoFillBackground(false);
    resize(defaultWidth, defaultHeight);
}

void TGlyphButton::setImages(const QList<QImage>& images) {
    QList<QPixmap> pixmaps;
    pixmaps.reserve(images.size());
    for (const QImage& image : images)
        pixmaps.append(QPixmap::fromImage(image));
    setImages(pixmaps);
}

void TGlyphButton::setImages(const QList<QPixmap>& images) {
    images_ = images;
    update();
}

void TGlyphButton::setImageIndex(int index) {
    if (index == imageIndex_)
        return;
    imageIndex_ = index;
    update();
    emit imageIndexChanged(index);
}

QSize TGlyphButton::sizeHint() const {
    return {defaultWidth, defaultHeight};
}

void TGlyphButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown() || isChecked()) {
        QColor shade = palette().color(QPalette::Shadow);
        shade.setAlpha(40);
        painter.setPen(Qt::NoPen);
        painter.setBrush(shade);
        painter.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 4, 4);
    }
    if (imageIndex_ < 0 || imageIndex_ >= images_.size())
        return;
    const QPixmap& picture = images_[imageIndex_];
    const QSize size = picture.deviceIndependentSize().toSize();
    QPoint topLeft((width() - size.width()) / 2, (height() - size.height()) / 2);
    if (isDown())
        topLeft += QPoint(1, 1); // pressed in
    if (!isEnabled())
        painter.setOpacity(0.4);
    painter.drawPixmap(topLeft, picture);
}

void TGlyphButton::enterEvent(QEnterEvent* event) {
    if (!hovered_) {
        hovered_ = true;
        setImageIndex(imageIndex_ - 1);
    }
    QAbstractButton::enterEvent(event);
}

void TGlyphButton::leaveEvent(QEvent* event) {
    mouseLeft();
    QAbstractButton::leaveEvent(event);
}

// A button hidden under the mouse may never hear that the mouse left.
void TGlyphButton::hideEvent(QHideEvent* event) {
    mouseLeft();
    QAbstractButton::hideEvent(event);
}

void TGlyphButton::mouseLeft() {
    if (!hovered_)
        return;
    hovered_ = false;
    setImageIndex(imageIndex_ + 1);
}

} // namespace kalvento::widgets
