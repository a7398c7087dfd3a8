// A label cut to its width: the start and the kept end stay, and a peer's direction
// controls cut with the text never turn around what follows them (the toolkit keeps the
// controls of what it cuts).

#include "widgets/elided_label.h"

#include <gtest/gtest.h>

#include <vector>

using kalvento::widgets::ElidedLabel;

namespace {

// How deep in embeddings, overrides and isolates the text is at each position's start.
int depthBefore(const QString& text, qsizetype position) {
    std::vector<bool> open;
    for (qsizetype i = 0; i < position; ++i) {
        switch (text[i].direction()) {
        case QChar::DirLRE:
        case QChar::DirRLE:
        case QChar::DirLRO:
        case QChar::DirRLO:
            open.push_back(false);
            break;
        case QChar::DirLRI:
        case QChar::DirRLI:
        case QChar::DirFSI:
            open.push_back(true);
            break;
        case QChar::DirPDF:
            if (!open.empty() && !open.back())
                open.pop_back();
            break;
        case QChar::DirPDI:
            while (!open.empty() && !open.back())
                open.pop_back();
            if (!open.empty())
                open.pop_back();
            break;
        default:
            break;
        }
    }
    return int(open.size());
}

} // namespace

TEST(ElidedLabel, CutToItsWidthItKeepsTheStartAndTheEndItWasToldOf) {
    ElidedLabel label(nullptr);
    const QString name = QStringLiteral("Photos of the summer holiday in the archipelago");
    const QString end = QStringLiteral(" (31 files, 81.4 MB)");
    label.setText(name + end, end.size());
    label.resize(label.sizeHint());
    EXPECT_EQ(label.shownText(), name + end);

    label.resize(label.fontMetrics().horizontalAdvance(end + QStringLiteral("Photos of t")), 20);
    const QString shown = label.shownText();
    EXPECT_TRUE(shown.startsWith(QStringLiteral("Photos"))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith(QStringLiteral("\u2026") + end)) << shown.toStdString();
    EXPECT_EQ(label.text(), name + end); // the whole stays the label's text
    EXPECT_LE(label.minimumSizeHint().width(), label.fontMetrics().averageCharWidth() * 4);

    // Set as a plain label is, nothing is kept at the end.
    label.setText(name);
    EXPECT_TRUE(label.shownText().endsWith(QStringLiteral("\u2026")))
        << label.shownText().toStdString();
}

TEST(ElidedLabel, AReversingNameCutShortCannotTurnAroundWhatFollows) {
    // An isolated name with an override inside and a stray closer, as a peer may send it.
    const QString name = QStringLiteral("\u2068report\u202Efdp.exe long enough to be cut\u2069");
    const QString end = QStringLiteral(" (4.2 MB)");
    for (const auto mode : {Qt::ElideRight, Qt::ElideMiddle}) {
        SCOPED_TRACE(int(mode));
        ElidedLabel label(nullptr, mode);
        label.resize(label.fontMetrics().horizontalAdvance(QStringLiteral("report fdp") + end), 20);

        label.setText(name + end, end.size());
        QString shown = label.shownText();
        ASSERT_TRUE(shown.endsWith(end)) << shown.toStdString();
        EXPECT_EQ(depthBefore(shown, shown.size() - end.size()), 0) << shown.toStdString();

        label.setText(name);
        shown = label.shownText();
        EXPECT_NE(shown, name);
        EXPECT_EQ(depthBefore(shown, shown.size()), 0) << shown.toStdString();
    }
}
