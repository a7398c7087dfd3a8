#pragma once
// One extra push button of a window, drawn by the window's top right corner with a small
// filled square on its face. On Linux the window manager owns the caption bar and takes no
// buttons of others, so the button sits in the window's own area at the caption's offsets
// (measured from the client area, whose frame width is 0), with the caption metrics of the
// style. It draws itself over the window's painting and watches the window's mouse, resize
// and activation events through an event filter (the hook) that Visible installs.

#include <QImage>
#include <QObject>
#include <QPalette>
#include <QRect>
#include <QString>

#include <functional>

class QWidget;

namespace kalvento::widgets {

class TTitlebtn : public QObject {
    Q_OBJECT
    // What the pointer resting on the button shows; "Hint" of a language file sets it.
    Q_PROPERTY(QString toolTip READ toolTip WRITE setToolTip)
public:
    using TNotifyEvent = std::function<void(TTitlebtn* sender)>;
    enum State { Up = 0, Down = 1, Disabled = 2 };

    // owner must be a window; anything else throws std::bad_cast.
    explicit TTitlebtn(QWidget* owner);
    ~TTitlebtn() override;

    // Run when the button is clicked (pressed and released on it) while enabled.
    void SetAction(TNotifyEvent action) { m_action = std::move(action); }
    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled);
    // Installs or removes the hook; a window with two of these gets neither.
    bool Visible() const { return m_visible; }
    void SetVisible(bool visible);
    QString toolTip() const { return m_toolTip; }
    void setToolTip(const QString& text) { m_toolTip = text; }

    int ButtonWidth() const { return m_buttonWidth; }
    int ButtonHeight() const { return m_buttonHeight; }
    int RightOffset() const { return m_rightOffset; }
    int TopOffset() const { return m_topOffset; }
    // Where the button is in the window now (left = width - RightOffset, top = TopOffset).
    QRect ButtonRect() const;

    bool Pressed() const { return m_pressed; }
    bool DrawnDown() const { return m_drawnDown; }
    // The image the window shows now.
    State DrawnState() const { return m_drawnState; }
    const QImage& Image(State state) const { return m_images[state]; }
    // How many times the hook was put in (tests).
    int HookInstallCount() const { return m_hookInstalls; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void DrawButton(int state);
    void RepaintCaption();
    void bringForward();
    bool onButton(QPoint position) const;

    QWidget* m_owner;
    TNotifyEvent m_action;
    QString m_toolTip;
    bool m_enabled = true;
    bool m_visible = false;
    bool m_pressed = false;
    bool m_drawnDown = false;
    State m_drawnState = Up;
    int m_buttonWidth = 0;
    int m_buttonHeight = 0;
    int m_rightOffset = 0;
    int m_topOffset = 0;
    int m_hookInstalls = 0;
    QImage m_images[3];
};

// The 120 by 100 glyph mask: white, with a black square from (50, 70) to (70, 90).
QImage titleGlyphMask();
// The up, down or disabled picture of a button of that size in the palette's colours.
QImage titleButtonImage(TTitlebtn::State state, QSize size, const QPalette& palette);

} // namespace kalvento::widgets
