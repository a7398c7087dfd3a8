#pragma once
// The about box: the program's name and version, the maker's copyright and contact lines,
// the system it runs on, its memory and this copy's key. Opened from the main window's info
// button.

#include <QDate>
#include <QDialog>
#include <QImage>
#include <QUrl>

#include <functional>

class QFrame;
class QLabel;
class QPushButton;

namespace kalvento::dialogs {

// The last year of the copyright: this year, but never before 2003.
int copyrightYear(QDate today);
// "Copyright © 2002–<year> Fennrake".
QString copyrightLine(QDate today);
// "%.0n KB" of a number of kilobytes, with the locale's thousands separators.
QString memoryLine(qint64 kilobytes);

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    // defaultBackground: the main window's built-in picture, tiled over the box; icon: the
    // program's; version: the program's version text (empty keeps the name the box was drawn with).
    TAboutBox(const QImage& defaultBackground, const QImage& icon, const QString& version,
              QDate today, QWidget* parent = nullptr);

    // Fills the system and memory lines from this computer.
    void GetAllSystemInfo();
    // The same from given texts (tests): an os-release text, uname's release and machine,
    // and the memory in KB.
    void GetAllSystemInfo(const QString& osRelease, const QString& kernelRelease,
                          const QString& machine, qint64 memoryKilobytes);

    // Shows this copy's key fingerprint ("05870 41293 ...") on the last line, growing the box
    // when the line needs more room; empty: the copy has no key, and the line says so.
    void setFingerprint(const QString& fingerprint);

    // Where a link opens (the browser or mail program unless a test says otherwise).
    void setLinkOpener(std::function<void(const QUrl&)> open) { m_openLink = std::move(open); }
    // Opens the address in the hint of a link label.
    void openLink(const QLabel* link);

    QLabel* label(const char* name) const;
    QFrame* Reunus() const { return m_reunus; }
    QPushButton* OkButton() const { return m_okButton; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void FormCreate(const QString& version, QDate today);
    // Puts the key's line under the memory line, the frame around every line and the button
    // under the frame, and fixes the box's size to them.
    void placeFingerprint();

    QImage m_background;
    QFrame* m_reunus = nullptr;
    QPushButton* m_okButton = nullptr;
    QString m_fingerprint;
    std::function<void(const QUrl&)> m_openLink;
};

} // namespace kalvento::dialogs
