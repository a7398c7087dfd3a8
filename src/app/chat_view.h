#pragma once
// The chat view: the conversation of a run as rich text, the log file that carries it from
// one run to the next, its popup menu, its find bar and its printout. The main window
// embeds it and calls in; everything here runs on the GUI thread.
//
// The log's history is shown lazily: of a log in the log form (richtext/rtf_log.h) only
// the last part is read at start, and earlier parts when the user scrolls to the top of
// the view or searches for something older than what is shown. The lines of the run are
// kept apart as well, as they go to the log: at the end they are added behind the old
// log, whatever the view was cleared of meanwhile.

#include "platform/result.h"

#include "messaging/chat_session.h"

#include <QColor>
#include <QDateTime>
#include <QFont>
#include <QPlainTextEdit>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QUrl>

#include <functional>
#include <memory>

class QAction;
class QMenu;
class QPrinter;
class QTimer;

namespace kalvento::richtext {
class LogHistoryFile;
}

namespace kalvento::app {

class ChatFindBar;

// How received and sent lines look; the window sets it at start and after the options.
struct ChatDisplaySettings {
    bool showMessageTime = true;
    bool showSenderName = true;
    QColor ownColor = QColor(0xFF, 0x00, 0x00);     // clRed
    QColor otherColor = QColor(0x00, 0x00, 0xFF);   // clBlue
    QColor privateColor = QColor(0x00, 0x80, 0x00); // clGreen
    bool privateItalic = false;
};

class TChatView : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit TChatView(QWidget* parent = nullptr);
    ~TChatView() override;

    void setDisplaySettings(const ChatDisplaySettings& settings) { m_settings = settings; }
    const ChatDisplaySettings& displaySettings() const { return m_settings; }

    // Whether a line from a copy without a key is marked "not verified": only a copy that
    // has a key of its own can tell the two apart.
    void setTrustMarks(bool on) { m_trustMarks = on; }

    // Where times and dates come from; the tests fix it.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // A received chat line, written as the reception handler writes it. Returns whether the
    // line may raise a new-message alert (continuation lines never do). Names and text are
    // the peer's: their line breaks start lines marked as continuations, and each is
    // isolated from the direction of the text around it (app/chat_text.h). A line whose
    // sender had no key (with trust marks on), or whose key changed and was not accepted,
    // carries a mark after its heading, with a tooltip that says why.
    bool appendReceived(const messaging::ReceivedLine& line);
    // The sender's own private message, shown at once because it does not come back:
    // "To <names>[ (time)]: text", or for a multi-line message the heading and ":" with each
    // line (at most 100) on a line of its own.
    // plainNames: recipients it went to unencrypted, marked after the heading.
    void appendPrivateEcho(const QStringList& headingNames, const QString& text, bool multiLine,
                           const QStringList& lines = {}, const QStringList& plainNames = {});
    // A warning of the program's own in a colour of its own: the template's "%s" take args
    // (peer text, shown as data), its "\r\n" start lines marked as continuations.
    void appendWarning(const QString& textTemplate, const QStringList& args);
    // The tooltip of the text at a point of the viewport: what a mark says of itself.
    QString toolTipAt(const QPoint& viewportPoint) const;
    // A note that is not sent: "--- text ---" in the own colour.
    void appendComment(const QString& text);
    // A notice of the program's own about the chat, "--- text ---" in a quiet colour: the
    // template's "%s" take args (peer text, shown as data, each isolated).
    void appendNotice(const QString& textTemplate, const QStringList& args);

    // A mark that changes after it was shown (what became of a line the user sent): put at
    // the end of the last line, on screen only (the log keeps the line as it was said).
    // Returns the mark, to be replaced through replaceLineMark; key names it.
    QTextCursor appendLineMark(quint64 key, const QString& text, const QString& toolTip,
                               bool warning);
    // Puts text and toolTip in place of the mark. False, and nothing changes, when the mark
    // is no longer shown (the chat was cleared).
    bool replaceLineMark(QTextCursor& mark, quint64 key, const QString& text,
                         const QString& toolTip, bool warning);
    // The key of the line mark of the message under a point of the viewport; 0 for none.
    quint64 lineMarkAt(const QPoint& viewportPoint) const;
    // What the user wrote but could not send: "<sender>[ (time)]: " and the lines in the own
    // colour, then the mark that says why, on a line of its own.
    void appendUnsent(const QString& sender, const QStringList& lines, const QString& mark);

    // Start-of-run content: the log (when saveOn and the file exists), a new line, the
    // welcome line in the window text colour, then the chat font. Fails when the log could
    // not be loaded (the view then starts without it).
    platform::Result startOfRunContent(const QString& logPath, bool saveOn, const QFont& chatFont);
    // The steps one by one. loadLog replaces the view's content with the log's last part
    // (a log in the log form) or all of it (any other file); a missing file is no error.
    platform::Result loadLog(const QString& path);
    void appendWelcome();
    void applyChatFont(const QFont& font);

    // Whether the log holds earlier lines than the view shows.
    bool hasEarlierHistory() const;
    // Shows about historyChunkBytes() more of the history above what is shown, keeping in
    // place what the user looks at. False when there was nothing more or it could not be
    // read (historyError says why).
    bool loadEarlierHistory();
    // Shows all of the history.
    void loadWholeHistory();
    qint64 historyChunkBytes() const { return m_historyChunkBytes; }
    void setHistoryChunkBytes(qint64 bytes) { m_historyChunkBytes = qMax<qint64>(1, bytes); }

    // Length of the chat text in characters (a line break counts one).
    int textLength() const;
    bool isChatEmpty() const;
    // What this run has shown that the log does not hold yet, as it goes to the log.
    const QTextDocument& unsavedLines() const { return *m_unsaved; }
    // The log is written back when the unsaved lines have grown by two characters or more
    // since the baseline.
    void setLogBaseline();
    void setLogBaseline(int length) { m_logBaseline = length; }
    int logBaseline() const { return m_logBaseline; }
    // Whether a write-back now would write anything.
    bool hasLinesToSave() const { return unsavedLength() >= m_logBaseline + 2; }

    // "Save messages path" followed directly by "log.rtf".
    static QString logFilePath(const QString& saveMessagesPath);
    // At close and at the end of the session: when saveOn and the unsaved lines grew by two
    // characters or more, adds them to the log at path (the file the history came from,
    // when path names a new place); deletes the log when !saveOn; else leaves it. The old
    // log is never written to: the new one replaces it when complete. Added lines are no
    // longer unsaved, so a second write-back adds only what came after.
    platform::Result writeBackLog(const QString& path, bool saveOn);

    // The whole chat with all of its history, paginated, under the job title.
    void print(QPrinter* printer);
    QString printJobTitle() const;

    // What opens a clicked link; by default the desktop (QDesktopServices::openUrl).
    void setLinkOpener(std::function<void(const QUrl&)> opener) { m_openLink = std::move(opener); }

    QMenu* ChatPopup() const { return m_popup; }
    QAction* Copy1() const { return m_copy; }
    QAction* SelectAll1() const { return m_selectAll; }
    QAction* Clearchat1() const { return m_clearChat; }
    // Ctrl+F anywhere in the window opens the find bar; F3 and Shift+F3 find again.
    QAction* Find1() const { return m_find; }
    ChatFindBar* findBar() const { return m_findBar; }

public slots:
    // After each change of the chat: follow the end unless the user is in the view, and
    // announce whether there is text (print, "Select All", "Clear Chat").
    void ChatChange();
    void ChatSelectionChange();
    void Copy1Click();
    void SelectAll1Click();
    // Empties the view (the log and what the run said stay for the log).
    void Clearchat1Click();
    void openFindBar();
    void closeFindBar();
    // The next match of the find bar's text older (above) or newer than the current one.
    // An older one is looked for in the history not yet shown as well, a piece at a time
    // in the event loop, and shown with everything after it once found.
    void findOlder();
    void findNewer();

signals:
    void hasTextChanged(bool hasText);
    // The popup is about to open for this point of the viewport: its items may follow what
    // is there.
    void popupRequested(const QPoint& viewportPoint);
    // The history could not be read after the start (the file changed or went away).
    void historyError(const QString& message);
    // The run has lines the log does not hold yet.
    void linesToSave();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    void createPopup();
    void createFind();
    void findTextChanged(const QString& text);
    QDateTime now() const;
    QString timeText() const;
    // When a line was said, for its heading: the time, and the date too on another day.
    QString timeText(const QDateTime& moment) const;
    void insertTemplate(const QString& textTemplate, const QStringList& args);
    // Insertion into the view and into the unsaved lines alike.
    void startNewLine();
    void insertPlain(const QString& text);
    void insertText(const QString& text);
    void lineBreak();
    // A short note after a heading, in color, whose tooltip says what it means.
    void insertMark(const QString& text, const QString& toolTip, const QColor& color);
    void scrollToInsertionPoint();
    void resetInsertionPoint();
    int unsavedLength() const;

    platform::Result insertHistory(qint64 begin, const QByteArray& lines);
    void historyFailed(const platform::Result& result);
    void dropHistory();
    void onScrolled(int value);
    // Links and search highlights of the blocks on screen: at once, or in the next turn of
    // the event loop.
    void decorateVisibleBlocks();
    void scheduleDecoration();
    void findFrom(const QTextCursor& from, bool older);
    void continueHistorySearch();
    void showMatch(const QTextCursor& match);
    void placeFindBar();
    bool userIsInView() const;

    ChatDisplaySettings m_settings;
    bool m_trustMarks = false;
    std::function<QDateTime()> m_clock;
    // Appends go through this cursor, kept at the end, so the user's own selection stays.
    QTextCursor m_cursor;
    // The insertion attributes: colour, italic and font of the next inserted run.
    QTextCharFormat m_format;
    // What the run has shown since the last write-back, for the log.
    std::unique_ptr<QTextDocument> m_unsaved;
    QTextCursor m_unsavedCursor;
    int m_logBaseline = 0;
    bool m_logLoadFailed = false;

    // The log the history comes from, while it has more to show.
    std::unique_ptr<richtext::LogHistoryFile> m_history;
    QString m_historyPath;
    QString m_writtenPath;   // the log this run last wrote: it holds the history and the run
    qint64 m_loadedFrom = 0; // where the shown history begins in the file
    qint64 m_historyChunkBytes = qint64{256} * 1024;
    bool m_loadQueued = false;
    bool m_decorating = false;
    bool m_decorationQueued = false;
    QFont m_chatFont;

    std::function<void(const QUrl&)> m_openLink;
    QString m_pressedAnchor;

    ChatFindBar* m_findBar = nullptr;
    QPointer<QWidget> m_focusBeforeFind;
    QTextCursor m_match;
    QTimer* m_searchStep = nullptr;
    qint64 m_searchEnd = -1; // the history searched below this offset; -1: no search runs

    QMenu* m_popup = nullptr;
    QAction* m_copy = nullptr;
    QAction* m_selectAll = nullptr;
    QAction* m_clearChat = nullptr;
    QAction* m_find = nullptr;
    QAction* m_findAgain = nullptr;
    QAction* m_findAgainNewer = nullptr;
};

} // namespace kalvento::app
