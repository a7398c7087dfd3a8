#include "app/main_layout.h"

#include <algorithm>

namespace kalvento::app {

using widgets::halfToEven;

MainLayout computeMainLayout(QSize client, const LayoutMetrics& m) {
    const int W = client.width();
    const int H = client.height();
    const int M = m.margin;
    const int G = m.computersTop - m.label1Top - m.label1.height();
    const int B = m.button.height();
    const int buttonWidth = m.button.width();
    auto nonNegative = [](int v) { return std::max(v, 0); };

    MainLayout out;

    const int chatHeight = nonNegative(H - 2 * M);
    const int chatWidth = nonNegative(W - 3 * M - m.computersWidth);
    out.Chat = QRect(M, M, chatWidth, chatHeight);

    const int columnLeft = chatWidth + 2 * M;
    const int computersHeight =
        nonNegative(H - 5 * M - 2 * B - m.message.height() - m.label2.height() -
                    m.paneeli.height() - m.label1.height() - 2 * G);
    out.Computers = QRect(columnLeft, m.computersTop, m.computersWidth, computersHeight);
    out.Label1 = QRect(QPoint(columnLeft, m.label1Top), m.label1);

    const int paneeliTop = computersHeight + 2 * M + m.label1.height() + 3;
    out.Paneeli = QRect(QPoint(columnLeft, paneeliTop), m.paneeli);

    const int label2Top = paneeliTop + m.paneeli.height() + M;
    out.Label2 = QRect(QPoint(columnLeft, label2Top), m.label2);

    const int messageTop = label2Top + m.label2.height() + G;
    out.Message = QRect(QPoint(columnLeft, messageTop), m.message);

    const int messageBottom = messageTop + m.message.height();
    const int rowTop = messageBottom + halfToEven(H - messageBottom - 2 * B);
    const int rowLeft = M + chatWidth + halfToEven(W - M - chatWidth - 5 * buttonWidth);

    auto place = [&](int column, int top) {
        return QRect(QPoint(rowLeft + column * buttonWidth, top), m.button);
    };
    out.btnSend = place(0, rowTop);
    out.btnBigMessage = place(1, rowTop);
    out.btnComment = place(2, rowTop);
    out.btnPrint = place(3, rowTop);
    out.btnSendFiles = place(4, rowTop);
    out.btnUpdate = place(0, rowTop + B);
    out.btnOptions = place(1, rowTop + B);
    out.btnInfo = place(2, rowTop + B);
    out.btnHelp = place(3, rowTop + B);
    out.btnClose = place(4, rowTop + B);
    return out;
}

} // namespace kalvento::app
