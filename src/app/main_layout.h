#pragma once
// Where FormResize puts the main window's controls for a given client size. Pure arithmetic so
// the window only copies the rectangles onto its widgets.

#include "widgets/background.h"

#include <QRect>
#include <QSize>

#include <array>

namespace kalvento::app {

// Fixed sizes and edges of the controls; the defaults are those of the 633 by 417 window.
struct LayoutMetrics {
    int margin = 8; // left and top edge of Chat, and the spacing of the whole layout
    int label1Top = 8;
    QSize label1{124, 13};
    int computersTop = 24;
    int computersWidth = 289; // the width of the right-hand column
    QSize paneeli{289, 33};
    QSize label2{46, 13};
    QSize message{289, 21};
    QSize button{57, 54};
};

struct MainLayout {
    QRect Chat;
    QRect Label1;
    QRect Computers;
    QRect Paneeli;
    QRect Label2;
    QRect Message;
    // First row.
    QRect btnSend;
    QRect btnBigMessage;
    QRect btnComment;
    QRect btnPrint;
    QRect btnSendFiles; // the first row's fifth place
    // Second row.
    QRect btnUpdate;
    QRect btnOptions;
    QRect btnInfo;
    QRect btnHelp;
    QRect btnClose;

    // The buttons in MainToolbar's order: the nine of old (first row left to right, then
    // the second), then the one that sends files.
    std::array<QRect, 10> buttons() const {
        return {btnSend,    btnBigMessage, btnComment, btnPrint, btnUpdate,
                btnOptions, btnInfo,       btnHelp,    btnClose, btnSendFiles};
    }
};

// Lays the window out for the client size `client` (the size of Reunus). Widths and heights
// that would go negative in a window smaller than 633 by 417 are held at zero; positions may
// be negative.
MainLayout computeMainLayout(QSize client, const LayoutMetrics& metrics = {});

} // namespace kalvento::app
