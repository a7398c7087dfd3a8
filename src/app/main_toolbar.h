#pragma once
// The ten buttons of the main window and the pictures they share with the update and big
// message windows. Which of them work follows what the message box and the chat hold.

#include <QImage>
#include <QList>
#include <QObject>

#include <array>

class QWidget;

namespace kalvento::widgets {
class TGlyphButton;
}

namespace kalvento::app {

struct MainLayout;

class MainToolbar : public QObject {
    Q_OBJECT
public:
    // In the order of the layout: the first row left to right, then the second; then the
    // button that sends files, at the first row's end.
    enum Button {
        Send,
        BigMessage,
        Comment,
        Print,
        Update,
        Options,
        Info,
        Help,
        Close,
        SendFiles,
        Count
    };

    explicit MainToolbar(QWidget& window);

    widgets::TGlyphButton* button(Button which) const { return m_buttons.at(which); }
    // The toolbar image list.
    const QList<QImage>& kuvat() const { return m_kuvat; }

    void layOut(const MainLayout& layout);
    // A line of blanks says nothing: Send stays greyed; a comment may be blanks.
    void messageChanged(const QString& text);
    // Print works while the chat shows anything.
    void chatHasText(bool hasText);

private:
    QList<QImage> m_kuvat;
    std::array<widgets::TGlyphButton*, Count> m_buttons{};
};

} // namespace kalvento::app
