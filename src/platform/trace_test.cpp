#include "platform/trace.h"

#include <gtest/gtest.h>

namespace kalvento::platform {
namespace {

TEST(Trace, ControlCharactersCannotStartALineOfTheirOwn) {
    const struct {
        QString text;
        QString escaped;
    } cases[] = {
        {QStringLiteral("plain café € 日本"), QStringLiteral("plain café € 日本")},
        {QStringLiteral("a\nTRACE peer+ FAKE x"), QStringLiteral("a\\nTRACE peer+ FAKE x")},
        {QStringLiteral("cr\r\ttab"), QStringLiteral("cr\\r\\ttab")},
        {QStringLiteral("back\\n slash"), QStringLiteral("back\\\\n slash")},
        {QString::fromUtf16(u"nul\u0000esc\u001bdel\u007fnel\u0085ls\u2028ps\u2029", 22),
         QStringLiteral("nul\\x{00}esc\\x{1b}del\\x{7f}nel\\x{85}ls\\x{2028}ps\\x{2029}")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(escapeControls(c.text), c.escaped) << c.text.toStdString();
        EXPECT_FALSE(escapeControls(c.text).contains(u'\n'));
    }
}

} // namespace
} // namespace kalvento::platform
