#include "lang/language_file.h"
#include "lang/qt_translation.h"

#include "support/qt_print.h"
#include "support/test_data.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <dirent.h>
#include <sys/stat.h>

using namespace kalvento::lang;
using namespace Qt::StringLiterals;
using kalvento::test::writeFile;

namespace {

LanguageFile fileWithMisc(const QByteArray& lines) {
    return LanguageFile::fromBytes("[Misc]\r\n" + lines);
}

// Leaves no language behind for the next test.
class CurrentLanguage : public ::testing::Test {
protected:
    void TearDown() override { SetCurrentLanguageFile(nullptr); }
};

} // namespace

TEST(MessageText, LineBreakMarkersAreTakenApartPieceByPiece) {
    struct Case {
        const char* value;
        const char* expected;
    };
    const Case cases[] = {
        {"Plain text", "Plain text"},
        {"New message!*|*Open the window", "New message!\r\nOpen the window"},
        {"A*|*B*|*C", "A\r\nB\r\nC"},
        {"A*|**|*B", "A\r\n\r\nB"},
        {"*|*word", "\r\nword"},
        {"A*|*", "A\r\n"},
        {"*|*", "\r\n"},
        // Two leading markers leave one break: the first piece is empty, so the second
        // piece starts the text afresh.
        {"*|**|*x", "\r\nx"},
        {"a*|b|*c", "a*|b|*c"},
    };
    for (const Case& c : cases) {
        const LanguageFile file = fileWithMisc(QByteArray("M007=") + c.value);
        EXPECT_EQ(messageText(&file, u"English"_s, u"M007"), QString::fromUtf8(c.expected))
            << c.value;
    }
}

TEST(MessageText, PresentFileWithoutTheIdentifierGivesEmptyText) {
    const LanguageFile file = fileWithMisc("M001=Selaa...\r\n");
    EXPECT_EQ(messageText(&file, u"Browse for folder..."_s, u"M001"), u"Selaa...");
    EXPECT_EQ(messageText(&file, u"To"_s, u"M005"), QString());
    // The identifier has to be in "Misc", not elsewhere.
    const LanguageFile other = LanguageFile::fromBytes("[MainForm]\nM005=Vastaanottaja\n");
    EXPECT_EQ(messageText(&other, u"To"_s, u"M005"), QString());
}

TEST_F(CurrentLanguage, NoCurrentFileGivesTheEnglishDefault) {
    SetCurrentLanguageFile(nullptr);
    EXPECT_EQ(GetMessageText(u"To"_s, u"M005"), u"To");
    EXPECT_EQ(GetMessageText(MessageId::M004), u"Kalvento - You have got a new message!");

    SetCurrentLanguageFile(std::make_shared<const LanguageFile>(fileWithMisc("M005=Vast.\n")));
    EXPECT_EQ(GetMessageText(MessageId::M005), u"Vast.");
    EXPECT_EQ(GetMessageText(MessageId::M004), QString());
}

TEST(LanguageFileFormat, SemicolonLinesAreCommentsAndNamesIgnoreCase) {
    const LanguageFile file = LanguageFile::fromBytes("; a translator's note\n"
                                                      "[misc]\n"
                                                      ";M001=commented out\n"
                                                      "  ; M002=also commented out\n"
                                                      "  m003  =  padded value  \n"
                                                      "\n"
                                                      "[MAINFORM]\n"
                                                      "mainform.BTNSEND.caption=&Lahetä\n");
    EXPECT_EQ(messageText(&file, u"x"_s, u"M001"), QString());
    EXPECT_EQ(messageText(&file, u"x"_s, u"M002"), QString());
    EXPECT_EQ(messageText(&file, u"x"_s, u"M003"), u"padded value");
    EXPECT_EQ(file.readString(u"MainForm", u"MainForm.btnSend.Caption"), u"&Lahetä");
    EXPECT_FALSE(file.readString(u"MainForm", u"MainForm.btnSend.Hint").has_value());
}

TEST(LoadLanguageFile, ReadsUtf8AndWindows1252Files) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    writeFile(
        base.filePath("Languages/Suomi.txt"),
        "[Misc]\r\nM007=Uusi viesti k\xc3\xa4ytt\xc3\xa4j\xc3\xa4lt\xc3\xa4 \xe2\x82\xac\r\n");
    writeFile(base.filePath("Languages/Svenska.txt"),
              "[Misc]\r\nM007=Nytt meddelande fr\xe5n \x80 \x96 s\xe4ger\r\n");

    const auto suomi = LoadLanguageFile(languageFileName(u"Suomi"_s), base.path());
    ASSERT_NE(suomi, nullptr);
    EXPECT_EQ(messageText(suomi.get(), {}, u"M007"), u"Uusi viesti käyttäjältä €");

    // A trailing separator on the folder does not matter.
    const auto svenska = LoadLanguageFile(u"Languages/Svenska.txt"_s, base.path() + u'/');
    ASSERT_NE(svenska, nullptr);
    EXPECT_EQ(messageText(svenska.get(), {}, u"M007"), u"Nytt meddelande från € – säger");
}

TEST(LoadLanguageFile, NothingToReadGivesNoFile) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    QDir(base.path()).mkpath("Languages/Folder.txt");
    ASSERT_EQ(::mkfifo(QFile::encodeName(base.filePath("Languages/Pipe.txt")).constData(), 0600),
              0);

    EXPECT_EQ(LoadLanguageFile(languageFileName(u"Missing"_s), base.path()), nullptr);
    EXPECT_EQ(LoadLanguageFile(languageFileName(u"Folder"_s), base.path()), nullptr);
    // A FIFO would block the reader forever.
    EXPECT_EQ(LoadLanguageFile(languageFileName(u"Pipe"_s), base.path()), nullptr);
}

TEST(GetFiles, ListsTextFilesInDirectoryOrderAndNothingElse) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QDir dir(folder.path());
    for (const char* name :
         {"Suomi.txt", "Deutsch.txt", "Zulu.txt", "Afrikaans.txt", "Norsk.txt", ".Hidden.txt",
          "Suomi.bmp", "readme.md", "Upper.TXT", "a.b.txt", ".txt"})
        writeFile(dir.filePath(QString::fromLatin1(name)), "[Misc]\n");
    dir.mkdir("Folder.txt");
    ASSERT_TRUE(QFile::link(dir.filePath("Suomi.txt"), dir.filePath("Linked.txt")));
    ASSERT_TRUE(QFile::link(dir.filePath("missing"), dir.filePath("Broken.txt")));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("Pipe.txt")).constData(), 0600), 0);

    const QSet<QString> listable{"Suomi", "Deutsch", "Zulu", "Afrikaans",
                                 "Norsk", ".Hidden", "a.b",  "Linked"};
    QStringList expected;
    DIR* handle = ::opendir(QFile::encodeName(folder.path()).constData());
    ASSERT_NE(handle, nullptr);
    while (const dirent* entry = ::readdir(handle)) {
        QString name = QFile::decodeName(entry->d_name);
        if (name.endsWith(u".txt") && listable.contains(name.chopped(4)))
            expected.append(name.chopped(4));
    }
    ::closedir(handle);
    ASSERT_EQ(expected.size(), listable.size());

    const QString files = GetFiles(folder.path() + u'/');
    EXPECT_EQ(splitQuotedCommaText(files), expected) << files.toStdString();
    EXPECT_TRUE(files.startsWith(u'"') && files.endsWith(u'"'));
    EXPECT_EQ(files.count(u','), expected.size() - 1);
}

TEST(GetFiles, EmptyOrMissingFolderGivesEmptyText) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    EXPECT_EQ(GetFiles(folder.path()), QString());
    EXPECT_EQ(GetFiles(folder.filePath("absent")), QString());
    EXPECT_EQ(languageList(folder.path()), QStringList{u"Default (English)"_s});
}

TEST(GetFiles, NamesWithQuotesAndCommasSplitBackUnchanged) {
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    writeFile(folder.filePath("say \"hi\", then.txt"), "");
    writeFile(folder.filePath("Plain.txt"), "");

    QStringList names = languageList(folder.path());
    ASSERT_EQ(names.size(), 3);
    EXPECT_EQ(names.takeFirst(), u"Default (English)");
    names.sort();
    EXPECT_EQ(names, (QStringList{u"Plain"_s, u"say \"hi\", then"_s}));
}

TEST(SplitQuotedCommaText, TakesQuotedAndBareNames) {
    EXPECT_EQ(splitQuotedCommaText(u""), QStringList());
    EXPECT_EQ(splitQuotedCommaText(u"\"A\""), QStringList{u"A"_s});
    EXPECT_EQ(splitQuotedCommaText(u"\"A\",\"B C\",D"), (QStringList{u"A"_s, u"B C"_s, u"D"_s}));
    EXPECT_EQ(splitQuotedCommaText(u"\"a\"\"b\",\"\""), (QStringList{u"a\"b"_s, QString()}));
}

TEST(ChooseHelpFile, OwnHelpWhenPresentElseEnglish) {
    QTemporaryDir base;
    ASSERT_TRUE(base.isValid());
    writeFile(base.filePath("Helps/KVSuomi.html"), "<html></html>");
    writeFile(base.filePath("Helps/KVEnglish.html"), "<html></html>");
    QDir(base.path()).mkpath("Helps/KVFolder.html");
    const QString english = base.filePath("Helps/KVEnglish.html");

    struct Case {
        int index;
        const char* language;
        QString expected;
    };
    const Case cases[] = {
        {1, "Suomi", base.filePath("Helps/KVSuomi.html")},
        {2, "Svenska", english},
        {1, "Folder", english},
        // Index 0 reads nothing, whatever stale language is stored.
        {0, "Suomi", english},
        {0, "", english},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chooseHelpFile(c.index, QString::fromUtf8(c.language), base.path()), c.expected)
            << c.index << " " << c.language;
}

TEST(ChooseHelpFile, TopicIsAnAnchor) {
    const QUrl url = helpUrl(u"/opt/kv/Helps/KVEnglish.html"_s, 101);
    EXPECT_TRUE(url.isLocalFile());
    EXPECT_EQ(url.toLocalFile(), u"/opt/kv/Helps/KVEnglish.html");
    EXPECT_EQ(url.fragment(), u"101");
}

// Weekdays and dates in the language of the texts around them, whatever the system speaks.
TEST(DisplayLocale, NamesTheDaysInTheLanguageOfTheFile) {
    const struct {
        const char* file;
        const char* tuesday;
    } rows[] = {
        {"[Language]\nLocale=fi\n", "tiistai"},
        {"[Language]\nLocale=fi_FI\n", "tiistai"},
        {"[Language]\nLocale=sv_FI\n", "tisdag"},
        {"[Misc]\nM001=no locale named\n", "Tuesday"},
    };
    for (const auto& row : rows) {
        const LanguageFile file = LanguageFile::fromBytes(row.file);
        EXPECT_EQ(displayLocale(&file).standaloneDayName(2), QString::fromUtf8(row.tuesday))
            << row.file;
    }
    EXPECT_EQ(displayLocale(nullptr).standaloneDayName(2), u"Tuesday"_s);
    const LanguageFile finnish = LanguageFile::fromBytes("[Language]\nLocale=fi\n");
    EXPECT_EQ(displayLocale(&finnish).toString(QDate(2026, 12, 8), QLocale::ShortFormat),
              u"8.12.2026"_s);
}
