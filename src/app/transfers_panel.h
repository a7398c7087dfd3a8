#pragma once
// The transfers of this run, one row each: what, with whom and which way, the progress of
// the whole and of the file in hand, the rate, the time left and the state, with the
// buttons that fit the state. Hidden until the first transfer; the user may hide it again,
// and a new transfer brings it back. Rows are updated in place: the service reports a
// running transfer a few times a second.

#include "transfer/transfer_info.h"
#include "widgets/elided_label.h"

#include <QByteArray>
#include <QFrame>
#include <QHash>
#include <QString>

class QLabel;
class QProgressBar;
class QPushButton;
class QToolButton;
class QVBoxLayout;

namespace kalvento::app {

class TransfersPanel : public QFrame {
    Q_OBJECT
public:
    enum class Action { Pause, Resume, Cancel, Open, ShowInFolder, Clear };
    Q_ENUM(Action)

    // The controls of one row.
    struct Row {
        QWidget* widget = nullptr;
        // Each cut with "..." where the panel is narrow; the name never in its count and size.
        widgets::ElidedLabel* name = nullptr;
        widgets::ElidedLabel* computer = nullptr; // "to Anna", "from Anna"
        QProgressBar* total = nullptr;
        widgets::ElidedLabel* currentFile = nullptr;
        QProgressBar* current = nullptr;
        widgets::ElidedLabel* rate = nullptr;
        widgets::ElidedLabel* timeLeft = nullptr;
        widgets::ElidedLabel* state = nullptr;
        QPushButton* pause = nullptr; // "Pause" or "Resume"
        QPushButton* cancel = nullptr;
        QPushButton* open = nullptr;
        QPushButton* showInFolder = nullptr;
        QPushButton* clear = nullptr;
        transfer::TransferInfo info;
        QString computerShown; // the other side, as showTransfer was last told
        int height = 0;        // the widget's height as last laid out
    };

    explicit TransfersPanel(QWidget* parent = nullptr);
    ~TransfersPanel() override;

    // Shows info in its row, made for a transfer not seen before (the panel then shows
    // itself). computer: the other side as the list shows it. For a finished transfer, Open
    // and "Show in folder" work when info.firstPath names the first file.
    void showTransfer(const transfer::TransferInfo& info, const QString& computer);
    void removeTransfer(const transfer::TransferId& id);
    int rowCount() const { return int(m_rows.size()); }
    const Row* row(const transfer::TransferId& id) const;
    QToolButton* hideButton() const { return m_hide; }
    // The height the panel would like: its title and up to three rows.
    int wantedHeight() const;
    // Says everything again in the language now chosen.
    void retranslate();

signals:
    // A button of a row was clicked.
    void actionRequested(kalvento::app::TransfersPanel::Action action,
                         const kalvento::transfer::TransferInfo& info);
    // Shown, hidden, a row came or went or changed its height: the window lays itself out
    // again.
    void layoutChanged();

private:
    Row* makeRow(const transfer::TransferInfo& info);
    void fillRow(Row& row, const QString& computer);

    QHash<QByteArray, Row*> m_rows; // by the transfer's id
    QLabel* m_title = nullptr;
    QToolButton* m_hide = nullptr;
    QVBoxLayout* m_list = nullptr;
    QWidget* m_listWidget = nullptr;
};

} // namespace kalvento::app
