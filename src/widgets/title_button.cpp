#include "widgets/title_button.h"

#include <QApplication>
#include <QDialog>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QToolTip>
#include <QWidget>

#include <typeinfo>

namespace kalvento::widgets {

namespace {

// Puts the glyph into target (right and bottom exclusive) in one colour: the mask stretched
// over it, its black square in colour, the rest untouched.
void putGlyph(QImage& image, const QRect& target, const QColor& colour) {
    if (target.width() <= 0 || target.height() <= 0)
        return;
    const QImage mask =
        titleGlyphMask().scaled(target.size(), Qt::IgnoreAspectRatio, Qt::FastTransformation);
    for (int y = 0; y < mask.height(); ++y)
        for (int x = 0; x < mask.width(); ++x)
            if (qGray(mask.pixel(x, y)) < 128)
                image.setPixelColor(target.left() + x, target.top() + y, colour);
}

// The four lines of a two-pixel edge: outer top and left, inner top and left, inner right
// and bottom, outer right and bottom (the last two over the corners).
void drawEdge(QImage& image, const QColor& outerTopLeft, const QColor& innerTopLeft,
              const QColor& innerBottomRight, const QColor& outerBottomRight) {
    const int w = image.width();
    const int h = image.height();
    QPainter p(&image);
    p.setPen(outerTopLeft);
    p.drawLine(0, 0, w - 1, 0);
    p.drawLine(0, 0, 0, h - 1);
    p.setPen(innerTopLeft);
    p.drawLine(1, 1, w - 2, 1);
    p.drawLine(1, 1, 1, h - 2);
    p.setPen(innerBottomRight);
    p.drawLine(w - 2, 1, w - 2, h - 2);
    p.drawLine(1, h - 2, w - 2, h - 2);
    p.setPen(outerBottomRight);
    p.drawLine(w - 1, 0, w - 1, h - 1);
    p.drawLine(0, h - 1, w - 1, h - 1);
}

} // namespace

QImage titleGlyphMask() {
    QImage mask(120, 100, QImage::Format_RGB32);
    mask.fill(Qt::white);
    QPainter p(&mask);
    p.fillRect(QRect(QPoint(50, 70), QPoint(69, 89)), Qt::black);
    return mask;
}

QImage titleButtonImage(TTitlebtn::State state, QSize size, const QPalette& palette) {
    QImage image(size, QImage::Format_RGB32);
    const int w = size.width();
    const int h = size.height();
    image.fill(palette.color(QPalette::Button));
    if (w < 2 || h < 2)
        return image;
    const QColor highlight = palette.color(QPalette::Light);
    const QColor light = palette.color(QPalette::Midlight);
    const QColor darkShadow = palette.color(QPalette::Shadow);
    const QColor shadow = palette.color(QPalette::Dark);
    const QColor text = palette.color(QPalette::ButtonText);
    const QRect glyph(QPoint(2, 2), QPoint(w - 3, h - 3));   // (2, 2)-(W-2, H-2)
    const QRect shifted(QPoint(3, 3), QPoint(w - 2, h - 2)); // (3, 3)-(W-1, H-1)
    switch (state) {
    case TTitlebtn::Up:
        drawEdge(image, highlight, light, shadow, darkShadow);
        putGlyph(image, glyph, text);
        break;
    case TTitlebtn::Down:
        drawEdge(image, darkShadow, shadow, light, highlight);
        putGlyph(image, shifted, text);
        break;
    case TTitlebtn::Disabled:
        drawEdge(image, highlight, light, shadow, darkShadow);
        putGlyph(image, shifted, highlight); // engraved: light below right, shadow over it
        putGlyph(image, glyph, shadow);
        break;
    }
    return image;
}

TTitlebtn::TTitlebtn(QWidget* owner) : QObject(owner), m_owner(owner) {
    if (owner == nullptr || !owner->isWindow())
        throw std::bad_cast();
    setObjectName(QStringLiteral("btnTitle"));
    // The caption's metrics, from the style. The frame is 0 wide: the button is measured
    // from the client area, which is all of the window that is ours.
    const Qt::WindowFlags flags = owner->windowFlags();
    const bool other = flags.testFlag(Qt::FramelessWindowHint) ||
                       (flags & Qt::WindowType_Mask) == Qt::Tool ||
                       (flags & Qt::WindowType_Mask) == Qt::ToolTip ||
                       (flags & Qt::WindowType_Mask) == Qt::SplashScreen;
    if (!other) {
        const QStyle* style = owner->style();
        const int buttonSize = style->pixelMetric(QStyle::PM_TitleBarButtonSize, nullptr, owner);
        const int titleHeight = style->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, owner);
        const int cx = buttonSize > 0 ? buttonSize + 2 : 18; // a caption button's width
        const int cy = titleHeight > 0 ? titleHeight : 18;   // and height
        const int buttonSlots = qobject_cast<QDialog*>(owner) != nullptr ? 2 : 4;
        constexpr int frameWidth = 0;
        constexpr int frameHeight = 0;
        m_buttonWidth = cx - 2;
        m_buttonHeight = cy - 4;
        m_rightOffset = frameWidth + buttonSlots * m_buttonWidth + buttonSlots + 2;
        m_topOffset = frameHeight + 2;
    }
    const QSize size(m_buttonWidth, m_buttonHeight);
    const QPalette palette = owner->palette();
    for (State state : {Up, Down, Disabled})
        m_images[state] = titleButtonImage(state, size, palette);
}

TTitlebtn::~TTitlebtn() {
    SetVisible(false);
}

QRect TTitlebtn::ButtonRect() const {
    return QRect(m_owner->width() - m_rightOffset, m_topOffset, m_buttonWidth, m_buttonHeight);
}

bool TTitlebtn::onButton(QPoint position) const {
    return m_buttonWidth > 0 && ButtonRect().contains(position);
}

void TTitlebtn::SetEnabled(bool enabled) {
    m_enabled = enabled;
    m_pressed = false;
    DrawButton(m_drawnDown ? Down : Up);
    RepaintCaption();
}

void TTitlebtn::SetVisible(bool visible) {
    // One button to a window: with two, neither changes anything.
    if (m_owner->findChildren<TTitlebtn*>(QString(), Qt::FindDirectChildrenOnly).size() > 1)
        return;
    if (m_buttonWidth <= 0) // a window without a caption of its kind has no button
        return;
    if (visible != m_visible) {
        m_visible = visible;
        if (visible) {
            m_owner->installEventFilter(this);
            ++m_hookInstalls;
            m_pressed = false;
            m_drawnDown = false;
        } else {
            m_owner->removeEventFilter(this);
        }
    }
    m_owner->update();
    RepaintCaption();
}

void TTitlebtn::DrawButton(int state) {
    m_drawnState = !m_enabled ? Disabled : State(state);
    if (m_visible)
        m_owner->update(ButtonRect());
}

void TTitlebtn::RepaintCaption() {
    if (m_visible)
        m_owner->update(QRect(0, 0, m_owner->width(), m_topOffset + m_buttonHeight + 6));
}

void TTitlebtn::bringForward() {
    m_owner->show();
    m_owner->raise();
    m_owner->activateWindow();
}

bool TTitlebtn::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_owner)
        return QObject::eventFilter(watched, event);
    switch (event->type()) {
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        const bool on = onButton(at);
        // Hover tracking: down while pressed and over it, up as soon as it leaves.
        if (on && m_drawnDown != m_pressed) {
            m_drawnDown = m_pressed;
            DrawButton(m_pressed ? Down : Up);
        } else if (!on && m_drawnDown) {
            m_drawnDown = false;
            DrawButton(Up);
        }
        if (on) {
            if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton) {
                bringForward();
                if (m_enabled)
                    m_pressed = true;
                return true;
            }
            if (event->type() == QEvent::MouseButtonRelease && mouse->button() == Qt::LeftButton) {
                // Only a press that began on the button makes a click: here the window's own
                // area surrounds it, and a drag from there must not hide the window.
                const bool click = m_pressed;
                m_pressed = false;
                if (click && m_enabled && m_action)
                    m_action(this);
                return true;
            }
            if (event->type() == QEvent::MouseButtonDblClick && mouse->button() == Qt::LeftButton) {
                bringForward();
                return true;
            }
            if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::RightButton) {
                bringForward();
                return true;
            }
        } else if (event->type() == QEvent::MouseButtonRelease &&
                   mouse->button() == Qt::LeftButton) {
            m_pressed = false; // released elsewhere: cancelled
        }
        return false;
    }
    case QEvent::ToolTip: {
        // The window's own area around the button has no tip of its own to show.
        const auto* help = static_cast<QHelpEvent*>(event);
        if (!onButton(help->pos()) || m_toolTip.isEmpty())
            return false;
        QToolTip::showText(help->globalPos(), m_toolTip, m_owner, ButtonRect());
        return true;
    }
    case QEvent::Resize:
    case QEvent::WindowActivate:
    case QEvent::WindowDeactivate:
        // The window lays itself out or changes its look: the button comes back up. The
        // activation that a press on the button itself asks for arrives after the press
        // here (the window system answers later), so it keeps that press.
        RepaintCaption();
        if (event->type() != QEvent::WindowActivate)
            m_pressed = false;
        m_drawnDown = false;
        DrawButton(Up);
        return false;
    case QEvent::Paint: {
        // The window paints first; the button goes on top of it.
        static_cast<QObject*>(m_owner)->event(event); // QObject::event is the public door
        if (m_visible && m_buttonWidth > 0) {
            QPainter painter(m_owner);
            painter.drawImage(ButtonRect().topLeft(), m_images[m_drawnState]);
        }
        return true;
    }
    default:
        return false;
    }
}

} // namespace kalvento::widgets
