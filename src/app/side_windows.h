#pragma once
// The windows the main window opens beside itself: the help at a topic, the big message
// windows, the about box and the print dialog. They take the window's look (background,
// pictures, font) as it is when they open.

#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QDate;
class QWidget;

namespace kalvento::dialogs {
class THelpWindow;
class TMLineIkkuna;
class UserDialogs;
} // namespace kalvento::dialogs
namespace kalvento::settings {
struct Settings;
}

namespace kalvento::app {

class TChatView;

class SideWindows : public QObject {
    Q_OBJECT
public:
    struct Parts {
        QWidget& window;
        const settings::Settings& settings;
        const QImage& background;        // the picture in use
        const QImage& defaultBackground; // the built-in one
        const QList<QImage>& kuvat;
        TChatView& chat;
        dialogs::UserDialogs& dialogs;
        std::function<QDate()> today;
        // Sends the lines of a big message (TMainForm::LahetaViesti with multiLine on).
        std::function<bool(const QStringList&)> sendBigMessage;
        // This copy's key as the about box shows it (empty without one).
        std::function<QString()> fingerprint;
        // The text of a big message window changed, was sent, or went with its window.
        std::function<void()> unsentChanged;
    };

    explicit SideWindows(Parts parts);

    // The help window at an anchor of the help file (0: from the top).
    void showHelp(int topic);
    QString helpFile() const { return m_helpFile; }
    // The help file of the language in use; an open help window turns to it.
    void setHelpFile(const QString& file);
    QWidget* helpWindow() const;

    // A new big message window, shown without waiting; several may be open.
    void btnBigMessageClick();
    dialogs::TMLineIkkuna* lastBigMessageWindow() const;
    // The about box, modally.
    void btnInfoClick();
    // The print dialog, modally; OK prints the chat.
    void btnPrintClick();

private:
    Parts m_parts;
    QString m_helpFile;
    QPointer<dialogs::THelpWindow> m_helpWindow;
    QPointer<dialogs::TMLineIkkuna> m_mline;
};

} // namespace kalvento::app
