#include "settings/colors.h"
#include "settings/value_encoding.h"

#include <gtest/gtest.h>

using namespace kalvento::settings;

TEST(ValueEncoding, IntegersDecimalAndHex) {
    struct Case {
        const char* text;
        std::optional<qint32> value;
    } cases[] = {
        {"417", 417},
        {"-5", -5},
        {"+5", 5},
        {" 12 ", 12},
        {"007", 7},
        {"$1F", 31},
        {"$ff", 255},
        {"0x10", 16},
        {"0X10", 16},
        {"$FFFFFFFF", -1},
        {"$1FFFFFFFF", std::nullopt}, // wider than 32 bits
        {"2147483648", std::nullopt},
        {"", std::nullopt},
        {"$", std::nullopt},
        {"0x", std::nullopt},
        {"$-1", std::nullopt},
        {"$ 1", std::nullopt},
        {"12abc", std::nullopt},
        {"1.5", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(parseInteger(QString::fromUtf8(c.text)), c.value) << c.text;
}

TEST(ValueEncoding, BooleansAreNonZeroIntegers) {
    EXPECT_EQ(parseBoolean("1"), true);
    EXPECT_EQ(parseBoolean("0"), false);
    EXPECT_EQ(parseBoolean("-1"), true);
    EXPECT_EQ(parseBoolean("$10"), true);
    EXPECT_EQ(parseBoolean("true"), std::nullopt); // the program never writes words
    EXPECT_EQ(parseBoolean(""), std::nullopt);
    EXPECT_EQ(booleanToString(true), "1");
    EXPECT_EQ(booleanToString(false), "0");
}

TEST(ValueEncoding, DatesRoundTripInAFixedFormat) {
    const QDate day(2024, 2, 29);
    EXPECT_EQ(dateToString(day), "2024-02-29");
    EXPECT_EQ(parseDate(dateToString(day)), day);
    EXPECT_EQ(parseDate(""), std::nullopt);
    EXPECT_EQ(parseDate("2024-02-30"), std::nullopt);
    EXPECT_EQ(parseDate("yesterday"), std::nullopt);
    // A date in the system locale's short form, as a hand-edited file may hold.
    const QLocale locale = QLocale::system();
    const QDate other(2023, 11, 5);
    EXPECT_EQ(parseDate(locale.toString(other, QLocale::ShortFormat)), other);
}

TEST(Colors, NamedColorsAreStoredByName) {
    struct Case {
        quint32 value;
        const char* text;
    } cases[] = {
        {clRed, "clRed"},          {clBlue, "clBlue"},        {clGreen, "clGreen"},
        {clBtnFace, "clBtnFace"},  {clMenuBar, "clMenuBar"},  {cl3DDkShadow, "cl3DDkShadow"},
        {clNone, "clNone"},        {clDefault, "clDefault"},  {plainColor(255, 0, 0), "clRed"},
        {0x00123456, "$00123456"}, {0xFF000019, "$FF000019"}, // system index 25 has no name
        {0x0000FE, "$000000FE"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(colorToString(c.value), c.text);
        EXPECT_EQ(colorFromString(c.text), c.value) << c.text;
    }
}

TEST(Colors, ReadsNamesInAnyCaseAndIntegers) {
    EXPECT_EQ(colorFromString("CLRED"), clRed);
    EXPECT_EQ(colorFromString("clbtnface"), clBtnFace);
    EXPECT_EQ(colorFromString("255"), clRed);
    EXPECT_EQ(colorFromString("0xFF0000"), clBlue);
    EXPECT_EQ(colorFromString("-16777201"), clBtnFace); // the signed form of $FF00000F
    EXPECT_EQ(colorFromString("clRedish"), std::nullopt);
    EXPECT_EQ(colorFromString(""), std::nullopt);
}

TEST(Colors, TableHasEveryColourOnce) {
    EXPECT_EQ(colorTable().size(), 52u);
    for (const NamedColor& a : colorTable()) {
        int sameValue = 0;
        for (const NamedColor& b : colorTable())
            sameValue += a.value == b.value;
        EXPECT_EQ(sameValue, 1) << a.name;
    }
}
