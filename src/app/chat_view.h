#pragma once
// The chat view: the conversation of a run as rich text, the log file that carries it from
// one run to the next, its popup menu and its printout. The main window embeds it and calls
// in; everything here runs on the GUI thread.

#include "platform/result.h"

#include "messaging/chat_session.h"

#include <QColor>
#include <QDateTime>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTextCharFormat>
#include <QTextCursor>

#include <functional>

class QAction;
class QFont;
class QMenu;
class QPrinter;

namespace kalvento::app {

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

    void setDisplaySettings(const ChatDisplaySettings& settings) { m_settings = settings; }
    const ChatDisplaySettings& displaySettings() const { return m_settings; }

    // Where times and dates come from; the tests fix it.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

    // A received chat line, written as the reception handler writes it. Returns whether the
    // line may raise a new-message alert (continuation lines never do).
    bool appendReceived(const messaging::ReceivedLine& line);
    // The sender's own private message, shown at once because it does not come back:
    // "To <names>[ (time)]: text", or for a multi-line message the heading and ":" with each
    // line (at most 100) on a line of its own.
    void appendPrivateEcho(const QStringList& headingNames, const QString& text, bool multiLine,
                           const QStringList& lines = {});
    // A note that is not sent: "--- text ---" in the own colour.
    void appendComment(const QString& text);
    // What the user wrote but could not send: "<sender>[ (time)]: " and the lines in the own
    // colour, then the mark that says why, on a line of its own.
    void appendUnsent(const QString& sender, const QStringList& lines, const QString& mark);

    // Start-of-run content: the log (when saveOn and the file exists), a new line, the
    // welcome line in the window text colour, then the chat font. Fails when the log could
    // not be loaded (the view then starts without it).
    platform::Result startOfRunContent(const QString& logPath, bool saveOn, const QFont& chatFont);
    // The steps one by one. loadLog replaces the view's content; a missing file is no error.
    platform::Result loadLog(const QString& path);
    void appendWelcome();
    void applyChatFont(const QFont& font);

    // Length of the chat text in characters (a line break counts one).
    int textLength() const;
    bool isChatEmpty() const;
    void setLogBaseline() { m_logBaseline = textLength(); }
    void setLogBaseline(int length) { m_logBaseline = length; }
    int logBaseline() const { return m_logBaseline; }

    // "Save messages path" followed directly by "log.rtf".
    static QString logFilePath(const QString& saveMessagesPath);
    // At close and at the end of the session: saves the view when it grew by two characters
    // or more since start and saveOn, deletes the log when !saveOn, else leaves it. Saving
    // replaces the file atomically.
    platform::Result writeBackLog(const QString& path, bool saveOn);

    // The whole chat, paginated, under the job title.
    void print(QPrinter* printer);
    QString printJobTitle() const;

    QMenu* ChatPopup() const { return m_popup; }
    QAction* Copy1() const { return m_copy; }
    QAction* SelectAll1() const { return m_selectAll; }
    QAction* Clearchat1() const { return m_clearChat; }

public slots:
    // After each change of the chat: follow the end unless the user is in the view, and
    // announce whether there is text (print, "Select All", "Clear Chat").
    void ChatChange();
    void ChatSelectionChange();
    void Copy1Click();
    void SelectAll1Click();
    void Clearchat1Click();

signals:
    void hasTextChanged(bool hasText);

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    QDateTime now() const;
    QString timeText() const;
    // Moves to a fresh line unless the chat is empty or already ends in an empty line.
    void startNewLine();
    void insertPlain(const QString& text);
    void lineBreak();
    void scrollToInsertionPoint();
    void resetInsertionPoint();

    ChatDisplaySettings m_settings;
    std::function<QDateTime()> m_clock;
    // Appends go through this cursor, kept at the end, so the user's own selection stays.
    QTextCursor m_cursor;
    // The insertion attributes: colour, italic and font of the next inserted run.
    QTextCharFormat m_format;
    int m_logBaseline = 0;
    bool m_logLoadFailed = false;

    QMenu* m_popup = nullptr;
    QAction* m_copy = nullptr;
    QAction* m_selectAll = nullptr;
    QAction* m_clearChat = nullptr;
};

} // namespace kalvento::app
