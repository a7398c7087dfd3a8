#pragma once
// The user, as the tests play them: every error, notice and question the program puts
// before the user is recorded in order, questions and notices with a second button are
// answered as the test scripts, and a window run modally is driven by the test's callback
// for its objectName (unscripted, it ends at once as cancelled, as a closed window does).

#include "dialogs/user_dialogs.h"

#include <QDialog>
#include <QStringList>

#include <functional>
#include <map>
#include <memory>
#include <type_traits>

namespace kalvento::test {

class RecordingDialogs : public dialogs::UserDialogs {
public:
    // What the window asked of its user, in order.
    QStringList errors;       // reportError and logError alike
    QStringList notices;      // showNotice
    QStringList questions;    // askQuestion
    QStringList modalWindows; // the objectName of each window run modally

    // The answer to every question (Yes: true), unless answer is set.
    bool answerYes = false;
    std::function<bool(const QString& text)> answer;
    // Whether a notice's second button (the action) is chosen.
    bool chooseAction = false;
    // What happens while a notice is up (the program goes on receiving meanwhile).
    std::function<void()> whileNoticeIsUp;

    // Drives a window of this objectName in the user's place; the QDialog result it gives
    // (QDialog::Accepted or QDialog::Rejected) is what runModal returns.
    void onModal(const QString& objectName, std::function<int(QDialog&)> drive) {
        m_drivers[objectName] = std::move(drive);
    }
    // The same for a window of class Window: drive returns true for OK (Accepted), or
    // nothing, and the window ends as accepted.
    template <typename Window, typename Drive>
    void onModal(const QString& objectName, Drive drive) {
        using Result = std::invoke_result_t<Drive&, Window&>;
        onModal(objectName, [drive = std::move(drive)](QDialog& window) mutable {
            if constexpr (std::is_void_v<Result>) {
                drive(dynamic_cast<Window&>(window));
                return int(QDialog::Accepted);
            } else {
                return int(drive(dynamic_cast<Window&>(window)) ? QDialog::Accepted
                                                                : QDialog::Rejected);
            }
        });
    }

    // Forgets what was recorded (a new run of the program), keeping the script.
    void clearRecords() {
        errors.clear();
        notices.clear();
        questions.clear();
        modalWindows.clear();
    }

    void reportError(QWidget*, const QString& text) override { errors.append(text); }
    void logError(const QString& text) override { errors.append(text); }
    bool showNotice(QWidget*, dialogs::Severity, const QString& text,
                    const QString& action) override {
        notices.append(text);
        if (whileNoticeIsUp)
            whileNoticeIsUp();
        return !action.isEmpty() && chooseAction;
    }
    bool askQuestion(QWidget*, dialogs::Severity, const QString& text) override {
        questions.append(text);
        return answer ? answer(text) : answerYes;
    }
    int runModal(QDialog& window) override {
        modalWindows.append(window.objectName());
        const auto driver = m_drivers.find(window.objectName());
        return driver == m_drivers.end() ? int(QDialog::Rejected) : driver->second(window);
    }

private:
    std::map<QString, std::function<int(QDialog&)>> m_drivers;
};

} // namespace kalvento::test
