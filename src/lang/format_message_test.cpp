#include "lang/format_message.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QLocale>

using kalvento::lang::FormatMessage;
using kalvento::lang::ThousandsNumber;

TEST(FormatMessage, PlaceholdersTakeTheArgumentsInOrder) {
    const struct {
        const char* pattern;
        QStringList args;
        const char* expected;
    } rows[] = {
        {"--- Welcome! Today is %s of %s ---",
         {"Monday", "8.12."},
         "--- Welcome! Today is Monday of 8.12. ---"},
        {"Error occured! (%s)", {"Not Found"}, "Error occured! (Not Found)"},
        {"run to an error for %d times", {"10"}, "run to an error for 10 times"},
        {"Downloading %1.n of %1.n!", {"1,024", "-1"}, "Downloading 1,024 of -1!"},
        {"%.0n and %12n", {"a", "b"}, "a and b"},
        {"100%% done %s", {"now"}, "100% done now"},
        {"one %s, two %s", {"x"}, "one x, two %s"}, // fewer arguments: the rest stays
        {"%s", {"%s twice"}, "%s twice"},           // arguments are not scanned again
        {"%x %", {"unused"}, "%x %"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(FormatMessage(QString::fromUtf8(row.pattern), row.args),
                  QString::fromUtf8(row.expected))
            << row.pattern;
}

TEST(FormatMessage, NumbersGetTheLocalesThousandsSeparators) {
    const QLocale saved;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    EXPECT_EQ(ThousandsNumber(268435456), QStringLiteral("268,435,456"));
    EXPECT_EQ(ThousandsNumber(-1), QStringLiteral("-1"));
    EXPECT_EQ(ThousandsNumber(999), QStringLiteral("999"));
    QLocale::setDefault(QLocale(QLocale::Finnish, QLocale::Finland));
    EXPECT_EQ(ThousandsNumber(1234567), QStringLiteral("1\u00a0234\u00a0567"));
    QLocale::setDefault(saved);
}
