#pragma once
// The big message window: a plain-text editor for a longer message, with clipboard buttons,
// printing and opening of a text file, that sends its lines as one multi-line chat message
// through the main window and keeps its text. Each window is modeless and frees itself when
// closed; several may be open at once.

#include <QDate>
#include <QFont>
#include <QImage>
#include <QList>
#include <QRect>
#include <QWidget>

#include <functional>

class QAction;
class QMenu;
class QPainter;
class QPlainTextEdit;
class QPrinter;

namespace kalvento::widgets {
class TGlyphButton;
}

namespace kalvento::dialogs {

struct MLineLayout {
    QRect RE;
    QRect btnCut, btnCopy, btnPaste, btnSelectAll, btnPrint, btnOpen;
    QRect btnSend, btnClose;
};

// The layout rules for a client area of the given size (halves round to the even integer).
MLineLayout computeMLineLayout(QSize client);

// The lines of the editor's text: a final line break ends the last line rather than
// starting an empty one.
QStringList linesOfText(const QString& text);

class TMLineIkkuna : public QWidget {
    Q_OBJECT
public:
    static constexpr int kDesignWidth = 593; // the size of Reunus
    static constexpr int kDesignHeight = 449;
    // A file larger than this is no message: it is refused instead of loaded.
    static constexpr qint64 kMaxFileSize = qint64{1024} * 1024;

    // What the window needs of the main window.
    struct Host {
        // LahetaViesti with the multi-line flag: true when the message went out.
        std::function<bool(const QStringList& lines)> send;
        // Paints the main window's background by its rules over this window.
        std::function<void(QPainter&, const QWidget&)> paintBackground;
        QFont chatFont;
        QColor color;           // the main window's colour
        QList<QImage> kuvat;    // the toolbar image list
        bool translate = false; // a language other than the built-in English is chosen
        std::function<QDate()> today;
    };

    explicit TMLineIkkuna(Host host, QWidget* parent = nullptr);

    // The handlers, named after their control and event.
    void REChange();
    void RESelectionChange();
    void REPopupPopup();
    void btnCutClick();
    void btnCopyClick();
    void btnPasteClick();
    void btnSelectAllClick();
    void btnPrintClick();
    void btnOpenClick();
    void btnSendClick();
    void btnCloseClick();
    void FormActivate();
    void FormResize();

    // Loads a text file into the editor (UTF-8 when valid, else Windows-1252). False, with
    // the text unchanged and the reason reported, when it cannot be read, is larger than
    // kMaxFileSize or is not text.
    bool loadFile(const QString& path);
    void print(QPrinter* printer);
    QString printJobTitle() const;

    // Where the open dialog and the print dialog come from, and where errors go (tests
    // replace them; unset, the usual dialogs and a message box).
    std::function<QString(QWidget* parent)> chooseFile;
    std::function<bool(QPrinter* printer, QWidget* parent)> confirmPrint;
    std::function<void(const QString& error)> reportError;
    // Asked before a window whose text was never sent, or changed since, closes: true to
    // close and lose it.
    std::function<bool(const QString& question)> askToLose;

    // The text was written or changed since it was last sent.
    bool hasUnsentText() const { return m_unsent; }

    QPlainTextEdit* RE() const { return m_re; }
    widgets::TGlyphButton* button(const char* name) const;
    QAction* action(const char* name) const;
    QMenu* REPopup() const { return m_popup; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    bool event(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    Host m_host;
    bool m_unsent = false;
    QPlainTextEdit* m_re = nullptr;
    QMenu* m_popup = nullptr;
    widgets::TGlyphButton* m_btnCut = nullptr;
    widgets::TGlyphButton* m_btnCopy = nullptr;
    widgets::TGlyphButton* m_btnPaste = nullptr;
    widgets::TGlyphButton* m_btnSelectAll = nullptr;
    widgets::TGlyphButton* m_btnPrint = nullptr;
    widgets::TGlyphButton* m_btnOpen = nullptr;
    widgets::TGlyphButton* m_btnSend = nullptr;
    widgets::TGlyphButton* m_btnClose = nullptr;
};

} // namespace kalvento::dialogs
