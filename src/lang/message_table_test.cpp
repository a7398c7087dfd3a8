#include "lang/format_message.h"
#include "lang/language_file.h"
#include "lang/message_table.h"

#include "support/qt_print.h"

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QSet>

using namespace kalvento::lang;

namespace {

// The placeholders of a text in order ("%s", "%d", "%1.n"...), "%%" left out.
QStringList placeholders(const QString& text) {
    static const QRegularExpression placeholder(QStringLiteral("%(%|[0-9.]*n|s|d)"));
    QStringList found;
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(text)) {
        if (match.captured(1) != QLatin1String("%"))
            found << match.captured(0);
    }
    return found;
}

// The languages the program ships: the built-in English and every file of Languages/.
struct ShippedLanguage {
    QString name;
    std::shared_ptr<const LanguageFile> file; // nullptr for the built-in English
};

QList<ShippedLanguage> shippedLanguages() {
    QList<ShippedLanguage> languages{{QStringLiteral("English"), nullptr}};
    const QString folder = QStringLiteral(KALVENTO_SOURCE_DIR) + QLatin1String(LanguagesFolder);
    for (const QString& name : splitQuotedCommaText(GetFiles(folder)))
        languages.append(
            {name, LoadLanguageFile(languageFileName(name), QStringLiteral(KALVENTO_SOURCE_DIR))});
    return languages;
}

} // namespace

TEST(MessageTexts, EveryMessageHasATextInEveryShippedLanguageWithTheSamePlaceholders) {
    const QList<ShippedLanguage> languages = shippedLanguages();
    ASSERT_GE(languages.size(), 2) << "no language file found in Languages/";
    for (const ShippedLanguage& language : languages) {
        SCOPED_TRACE(language.name.toStdString());
        ASSERT_TRUE(language.name == QLatin1String("English") || language.file != nullptr);
        for (const MessageEntry& entry : messageTable()) {
            const QString identifier = messageIdentifier(entry.id);
            SCOPED_TRACE(identifier.toStdString());
            const QString english = messageDefault(entry.id);
            const QString text = messageText(language.file.get(), english, identifier);
            EXPECT_FALSE(text.trimmed().isEmpty());
            EXPECT_EQ(placeholders(text), placeholders(english));
        }
    }
}

// A key in a language's message section that the program never asks for is a typing error
// whose message then shows up empty.
TEST(MessageTexts, EveryShippedMessageKeyIsOneTheProgramAsksFor) {
    for (const ShippedLanguage& language : shippedLanguages()) {
        if (!language.file)
            continue;
        SCOPED_TRACE(language.name.toStdString());
        const QStringList keys = language.file->document().keys(QString::fromLatin1(MiscSection));
        EXPECT_FALSE(keys.isEmpty());
        for (const QString& key : keys)
            EXPECT_TRUE(messageIdFromIdentifier(key).has_value()) << key.toStdString();
    }
}

// Each text, formatted with as many arguments as it has placeholders, shows every argument
// in order and no placeholder is left over.
TEST(MessageTexts, FormattingFillsEveryPlaceholderOfEveryLanguage) {
    for (const ShippedLanguage& language : shippedLanguages()) {
        SCOPED_TRACE(language.name.toStdString());
        for (const MessageEntry& entry : messageTable()) {
            const QString identifier = messageIdentifier(entry.id);
            SCOPED_TRACE(identifier.toStdString());
            const QString text =
                messageText(language.file.get(), messageDefault(entry.id), identifier);
            QStringList args;
            for (qsizetype i = 0; i < placeholders(text).size(); ++i)
                args << QStringLiteral("<arg%1>").arg(i);
            const QString formatted = FormatMessage(text, args);
            EXPECT_TRUE(placeholders(formatted).isEmpty()) << formatted.toStdString();
            qsizetype from = 0;
            for (const QString& arg : args) {
                from = formatted.indexOf(arg, from);
                EXPECT_GE(from, 0) << arg.toStdString() << " in " << formatted.toStdString();
            }
        }
    }
}

// A message looked up by its number and by its name is the same text: the number indexes
// the table, so a number out of step with its row would show another message.
TEST(MessageTable, LookupsByNumberAndByNameAgreeAndIgnoreLetterCase) {
    QSet<QString> seen;
    for (const MessageEntry& entry : messageTable()) {
        const QString identifier = messageIdentifier(entry.id);
        EXPECT_FALSE(seen.contains(identifier)) << identifier.toStdString();
        seen.insert(identifier);
        EXPECT_EQ(messageIdFromIdentifier(identifier.toLower()), entry.id);
        EXPECT_EQ(messageDefault(identifier.toLower()), messageDefault(entry.id));
    }
}

TEST(MessageTable, UnusedAndUnknownIdentifiersHaveNoDefault) {
    for (const char* identifier : {"M009", "M027", "M046", "", "M1"})
        EXPECT_FALSE(messageDefault(QString::fromLatin1(identifier)).has_value()) << identifier;
}
