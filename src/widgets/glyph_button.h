#pragma once
// The flat toolbar button of the windows: no face of its own, so the window's background shows
// through, and a 32 by 32 picture from a shared image list that changes under the mouse.

#include <QAbstractButton>
#include <QImage>
#include <QList>
#include <QPixmap>

namespace kalvento::widgets {

class TGlyphButton : public QAbstractButton {
    Q_OBJECT
public:
    static constexpr int defaultWidth = 57;
    static constexpr int defaultHeight = 54;

    explicit TGlyphButton(QWidget* parent = nullptr);

    // The image list the index points into (Kuvat). Pictures are kept as pixmaps; QList and
    // QPixmap share their data, so every button may hold the same list cheaply.
    void setImages(const QList<QImage>& images);
    void setImages(const QList<QPixmap>& images);
    qsizetype imageCount() const { return images_.size(); }

    // Position of the picture shown now. Set it to the resting (odd) position; entering the
    // button lowers it by one and leaving raises it again. An index outside the list shows
    // no picture.
    int imageIndex() const { return imageIndex_; }
    void setImageIndex(int index);

    // The hint is the tooltip.
    QString hint() const { return toolTip(); }
    void setHint(const QString& hint) { setToolTip(hint); }

    QSize sizeHint() const override;

signals:
    void imageIndexChanged(int index);

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void mouseLeft();

    QList<QPixmap> images_;
    int imageIndex_ = -1;
    // Enter and leave do not always come in pairs (a window hidden under the mouse, a modal
    // dialog opened from a click); counting them blindly would drift onto a neighbour's
    // picture.
    bool hovered_ = false;
};

} // namespace kalvento::widgets
