// The message boxes the program puts on the screen: one error box at a time, the titles,
// the buttons and what a click on each answers.

#include "dialogs/user_dialogs.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>

using namespace kalvento::dialogs;

namespace {

const QString kProgram = QStringLiteral("Kalvento 1.2 by Fennrake");

QList<QMessageBox*> visibleBoxes() {
    QList<QMessageBox*> boxes;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible())
            boxes.append(box);
    return boxes;
}

// Clicks the button of the modal box that is up once the event loop runs (the box's own).
void clickWhenShown(const std::function<bool(QAbstractButton*)>& which) {
    QTimer::singleShot(0, [which] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr)
            return;
        for (QAbstractButton* button : box->buttons())
            if (which(button)) {
                button->click();
                return;
            }
    });
}

} // namespace

TEST(MessageBoxes, ErrorsShareOneBoxUntilItIsClosed) {
    MessageBoxes boxes(kProgram);
    QWidget main;
    main.setWindowTitle(kProgram + QStringLiteral(" (offline)"));
    boxes.reportError(&main, QStringLiteral("<b>first</b>"));
    boxes.reportError(&main, QStringLiteral("second"));
    QCoreApplication::processEvents();
    QList<QMessageBox*> shown = visibleBoxes();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0]->text(), QStringLiteral("<b>first</b>\nsecond"));
    EXPECT_EQ(shown[0]->textFormat(), Qt::PlainText); // a peer's words are never markup
    EXPECT_EQ(shown[0]->windowTitle(), kProgram);     // the program's, not the window's
    EXPECT_EQ(shown[0]->icon(), QMessageBox::Warning);
    shown[0]->button(QMessageBox::Ok)->click();
    QTest::qWait(10); // the closed box deletes itself
    EXPECT_TRUE(visibleBoxes().isEmpty());
    boxes.reportError(nullptr, QStringLiteral("third"));
    shown = visibleBoxes();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_EQ(shown[0]->text(), QStringLiteral("third"));
    shown[0]->close();
}

TEST(MessageBoxes, NoticesAndQuestionsAnswerWhatWasClicked) {
    MessageBoxes boxes(kProgram);
    QWidget main;
    QDialog update;
    update.setWindowTitle(QStringLiteral("Check for updates"));
    QWidget* inUpdate = new QWidget(&update);
    const auto isText = [](const char* text) {
        return [text](QAbstractButton* b) { return b->text().remove(u'&') == QLatin1String(text); };
    };
    const struct {
        const char* name;
        std::function<bool()> run;
        bool answer;
        QString title;
        QStringList buttons;
        QMessageBox::Icon icon;
    } rows[] = {
        {"a notice",
         [&] {
             clickWhenShown(isText("OK"));
             return boxes.showNotice(&main, Severity::Information, QStringLiteral("<i>n</i>"));
         },
         false,
         kProgram,
         {"OK"},
         QMessageBox::Information},
        {"a notice whose action is chosen, over a dialog",
         [&] {
             clickWhenShown(isText("Open the folder"));
             return boxes.showNotice(inUpdate, Severity::Information, QStringLiteral("<i>n</i>"),
                                     QStringLiteral("Open the folder"));
         },
         true,
         QStringLiteral("Check for updates"),
         {"OK", "Open the folder"},
         QMessageBox::Information},
        {"a notice whose action is not chosen",
         [&] {
             clickWhenShown(isText("OK"));
             return boxes.showNotice(inUpdate, Severity::Warning, QStringLiteral("<i>n</i>"),
                                     QStringLiteral("Open the folder"));
         },
         false,
         QStringLiteral("Check for updates"),
         {"OK", "Open the folder"},
         QMessageBox::Warning},
        {"Yes",
         [&] {
             clickWhenShown(isText("Yes"));
             return boxes.askQuestion(&main, Severity::Warning, QStringLiteral("<i>n</i>"));
         },
         true,
         kProgram,
         {"No", "Yes"},
         QMessageBox::Warning},
        {"No",
         [&] {
             clickWhenShown(isText("No"));
             return boxes.askQuestion(nullptr, Severity::Information, QStringLiteral("<i>n</i>"));
         },
         false,
         kProgram,
         {"No", "Yes"},
         QMessageBox::Information},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // The box is read while it is up, from inside its own event loop.
        QString title;
        QString text;
        QStringList buttons;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        Qt::TextFormat format = Qt::AutoText;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                format = box->textFormat();
                for (QAbstractButton* button : box->buttons())
                    buttons << button->text().remove(u'&');
            }
        });
        EXPECT_EQ(row.run(), row.answer);
        EXPECT_EQ(title, row.title);
        EXPECT_EQ(text, QStringLiteral("<i>n</i>"));
        EXPECT_EQ(format, Qt::PlainText);
        EXPECT_EQ(icon, row.icon);
        buttons.sort();
        EXPECT_EQ(buttons, row.buttons);
    }
}

TEST(MessageBoxes, AModalWindowEndsWithItsOwnResult) {
    MessageBoxes boxes(kProgram);
    for (const int result : {int(QDialog::Accepted), int(QDialog::Rejected)}) {
        QDialog window;
        QTimer::singleShot(0, &window, [&] {
            EXPECT_TRUE(window.isModal());
            EXPECT_TRUE(window.isVisible());
            window.done(result);
        });
        EXPECT_EQ(boxes.runModal(window), result);
    }
}
