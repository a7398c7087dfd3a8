#pragma once
// The program's help: HTML pages shown in a window of the program's own.

#include <QDialog>
#include <QUrl>

class QTextBrowser;

namespace kalvento::windows {

class THelpWindow : public QDialog {
    Q_OBJECT
public:
    explicit THelpWindow(QWidget* parent = nullptr);

    // Shows the help file, at the anchor of topic (0: from the top). A missing file shows
    // a short page that says which file was looked for.
    void showHelp(const QString& helpFile, int topic = 0);
    QTextBrowser* browser() const { return m_browser; }

private:
    QTextBrowser* m_browser;
};

} // namespace kalvento::windows
