#pragma once
// The first-run wizard: on the very first start it asks for the language, the automatic
// update check and the user's identity. It speaks the language chosen on its first page
// from the moment it is chosen, has no cancel, and however it ends its current values are
// the answer.

#include <QDialog>
#include <QList>
#include <QPixmap>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QStackedWidget;

namespace kalvento::dialogs {

class TWelcomeIkkuna : public QDialog {
    Q_OBJECT
public:
    // The pages of Lehtio, in order.
    enum Page { KieliPage = 0, UpdatePage = 1, IdentityPage = 2 };
    // The two pictures LanguageImageList starts with.
    enum { EnglishPicture = 0, GenericPicture = 1 };

    explicit TWelcomeIkkuna(QWidget* parent = nullptr);

    // Lists the languages of resourceDirectory's "Languages/" (file-system order) after
    // "Default (English)", each with "<name>.bmp" as its picture when there is one, and
    // selects entry 0. Without the folder only "Default (English)" is there.
    void fillLanguages(const QString& resourceDirectory);

    // The handlers, named after their control.
    void FormCreate();
    void NextButtonClick();
    void btnPreviousClick();
    void btnNextClick();
    void PreviousButtonClick();
    void FinishButtonClick();
    void AutoUpdateClick();
    // The language chosen in the list is put on the wizard's pages at once (the built-in
    // English too); the program takes it when the wizard ends.
    void LanguageSelect(int index);
    // A build without the automatic check (KALVENTO_UPDATE_CHECK=OFF) greys its two boxes
    // and says why; their stored values are kept.
    void setAutomaticCheckAvailable(bool available);

    // The answers.
    int languageIndex() const;
    QString language() const;
    bool automaticUpdate() const;
    bool alwaysConnected() const;
    QString identity() const;

    // For the tests and the main window.
    QStackedWidget* Lehtio() const { return m_lehtio; }
    QComboBox* Language() const { return m_language; }
    QCheckBox* AutoUpdate() const { return m_autoUpdate; }
    QCheckBox* Connected() const { return m_connected; }
    QLineEdit* Identify() const { return m_identify; }
    QPushButton* button(const char* name) const;
    const QList<QPixmap>& LanguageImageList() const { return m_languageImageList; }
    // The LanguageImageList index of the picture beside entry, -1 when there is no entry.
    int pictureOf(int entry) const;

    // Closing by any way but the finish button still takes the values; nothing cancels.
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void showPage(Page page);

    QStackedWidget* m_lehtio;
    QString m_resourceDirectory;
    QString m_shownLanguage; // the language file whose texts the pages show; empty: English
    QComboBox* m_language = nullptr;
    QCheckBox* m_autoUpdate = nullptr;
    bool m_automaticCheckAvailable = true;
    QCheckBox* m_connected = nullptr;
    QLineEdit* m_identify = nullptr;
    QPushButton* m_nextButton = nullptr;
    QPushButton* m_btnPrevious = nullptr;
    QPushButton* m_btnNext = nullptr;
    QPushButton* m_previousButton = nullptr;
    QPushButton* m_finishButton = nullptr;
    QList<QPixmap> m_languageImageList;
};

} // namespace kalvento::dialogs
