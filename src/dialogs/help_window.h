#pragma once
// The program's help: HTML pages shown in a window of the program's own. It is a reader
// beside the program, not a question: a window of its own, which may be minimized and
// maximized like any document.

#include <QDialog>
#include <QUrl>

class QTextBrowser;

namespace kalvento::dialogs {

class THelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);

    // Shows the help file, at the anchor of topic (0: from the top). A missing file shows
    // a short page that says which file was looked for.
    void showHelp(const QString& helpFile, int topic = 0);
    // Another language chosen: the window (when shown) turns to that language's help file,
    // at its top, without coming forward.
    void setHelpFile(const QString& helpFile);
    QTextBrowser* browser() const { return m_browser; }

private:
    QTextBrowser* m_browser;
};

} // namespace kalvento::dialogs
