#include "lang/message_table.h"

#include <gtest/gtest.h>

#include <QSet>

using namespace kalvento::lang;

TEST(MessageTable, EveryIdLooksUpItsOwnIdentifierAndDefault) {
    QSet<QString> seen;
    for (const MessageEntry& entry : messageTable()) {
        const QString identifier = QString::fromLatin1(entry.identifier);
        EXPECT_FALSE(seen.contains(identifier)) << identifier.toStdString();
        seen.insert(identifier);
        EXPECT_EQ(messageIdentifier(entry.id), identifier);
        EXPECT_EQ(messageDefault(entry.id), QString::fromUtf8(entry.englishDefault));
        EXPECT_EQ(messageIdFromIdentifier(identifier), entry.id);
        EXPECT_EQ(messageDefault(identifier.toLower()), messageDefault(entry.id));
    }
    EXPECT_EQ(seen.size(), 35);
}

TEST(MessageTable, UnusedAndUnknownIdentifiersHaveNoDefault) {
    for (const char* identifier : {"M009", "M027", "M046", "", "M1"})
        EXPECT_FALSE(messageDefault(QString::fromLatin1(identifier)).has_value()) << identifier;
}
