#pragma once
// The question of an offer of files: who offers (the computer's name, shown as the peer's
// text), what (the name and the number of files), how big, and where it will go; Accept
// (the default), Decline, and "Choose folder..." which accepts into another folder. The
// window does not hold up the program: lines keep coming, and several offers can be open
// at once. Closing it declines. When the folder cannot take the files, the window says why
// and stays.

#include "transfer/transfer_info.h"

#include <QDialog>

#include <functional>
#include <optional>

class QLabel;
class QPushButton;

class QFormLayout;

namespace kalvento::app {

class TransferOfferDialog : public QDialog {
    Q_OBJECT
public:
    struct Answers {
        // Accepts into folder (empty: the save folder); the reason when it cannot.
        std::function<QString(const QString& folder)> accept;
        std::function<void()> decline;
        // Asks for a folder, starting at start; nothing when the user cancels.
        std::function<std::optional<QString>(QWidget* parent, const QString& title,
                                             const QString& start)>
            chooseFolder;
    };

    // computer: the offering computer as the list shows it; saveFolder: where the files go
    // when info names no folder.
    TransferOfferDialog(const transfer::TransferInfo& info, const QString& computer,
                        const QString& saveFolder, Answers answers, QWidget* parent = nullptr);

    const transfer::TransferId& transferId() const { return m_info.id; }

    void btnAcceptClick();
    void btnDeclineClick();
    void btnChooseClick();

    QPushButton* acceptButton() const { return m_accept; }
    QPushButton* declineButton() const { return m_decline; }
    QPushButton* chooseButton() const { return m_choose; }
    QLabel* offerLabel() const { return m_offer; }
    QLabel* nameLabel() const { return m_name; }
    QLabel* folderLabel() const { return m_folder; }
    QLabel* errorLabel() const { return m_error; }

    // Closes the window without an answer: the offer ended meanwhile (the sender cancelled).
    void offerEnded();
    // Says everything again in the language now chosen.
    void retranslate();

protected:
    void reject() override; // the window's close and Escape decline

private:
    void acceptInto(const QString& folder);

    transfer::TransferInfo m_info;
    Answers m_answers;
    QString m_saveFolder;
    QString m_who; // the sender, as the heading shows it
    bool m_answered = false;
    QLabel* m_offer = nullptr;
    QLabel* m_name = nullptr;
    QLabel* m_files = nullptr;
    QLabel* m_size = nullptr;
    QLabel* m_folder = nullptr;
    QLabel* m_error = nullptr;
    QPushButton* m_accept = nullptr;
    QPushButton* m_decline = nullptr;
    QPushButton* m_choose = nullptr;
    QFormLayout* m_form = nullptr;
};

} // namespace kalvento::app
