#include "platform/ini_file.h"

#include "platform/system_error.h"

#include "support/qt_print.h"
#include "support/test_data.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kalvento::platform;
using kalvento::test::readFile;
using kalvento::test::writeFile;

TEST(IniDocument, ReadsValuesLikeThePrivateProfileFunctions) {
    const QByteArray text = "  [ Main ]  \n"
                            "  Name  =  Bob  \n"
                            "quoted=\"  padded  \"\n"
                            "single='x'\n"
                            "unmatched=\"x'\n"
                            "lonequote=\"\n"
                            "emptyquotes=\"\"\n"
                            "dup=first\n"
                            "DUP=second\n"
                            "novalue\n"
                            "; comment=yes\n"
                            "eq=a=b\n"
                            "=nameless\n"
                            "[Other]\n"
                            "name=other\n"
                            "[main]\n"
                            "late=hidden\n";
    const IniDocument doc = IniDocument::parse(text);
    struct Case {
        const char* section;
        const char* key;
        std::optional<QString> expected;
    } cases[] = {
        {"Main", "Name", QStringLiteral("Bob")},
        {"MAIN", "name", QStringLiteral("Bob")},
        {" main ", " NAME ", QStringLiteral("Bob")},
        {"Main", "quoted", QStringLiteral("  padded  ")},
        {"Main", "single", QStringLiteral("x")},
        {"Main", "unmatched", QStringLiteral("\"x'")},
        {"Main", "lonequote", QStringLiteral("\"")},
        {"Main", "emptyquotes", QString()},
        {"Main", "dup", QStringLiteral("first")},
        {"Main", "novalue", std::nullopt},
        {"Main", "; comment", QStringLiteral("yes")},
        {"Main", "eq", QStringLiteral("a=b")},
        {"Main", "", std::nullopt},
        {"Main", "late", std::nullopt}, // only the first section of a name is read
        {"Other", "name", QStringLiteral("other")},
        {"Missing", "name", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(doc.value(QString::fromUtf8(c.section), QString::fromUtf8(c.key)), c.expected)
            << c.section << "/" << c.key;

    EXPECT_EQ(doc.keys(u"main"), (QStringList{"Name", "quoted", "single", "unmatched", "lonequote",
                                              "emptyquotes", "dup", "; comment", "eq"}));
    EXPECT_EQ(doc.sections(), (QStringList{"Main", "Other"}));
    EXPECT_EQ(doc.value(u"Main", u"missing", QStringLiteral("fallback")), "fallback");
}

TEST(IniDocument, SemicolonCommentsOnlyWhenAsked) {
    const QByteArray text = "[S]\n;a=1\n  ;b=2\nc=3\n";
    EXPECT_TRUE(IniDocument::parse(text).hasKey(u"S", u";a"));
    const IniDocument doc = IniDocument::parse(text, {.semicolonComments = true});
    EXPECT_EQ(doc.keys(u"S"), QStringList{"c"});
}

TEST(IniDocument, KeysBeforeAnySectionBelongToNone) {
    const IniDocument doc = IniDocument::parse("a=1\n[S]\nb=2\n");
    EXPECT_FALSE(doc.hasKey(u"", u"a"));
    EXPECT_EQ(doc.keys(u"S"), QStringList{"b"});
}

TEST(IniDocument, EveryLineEndingReads) {
    for (const QByteArray& text :
         {QByteArray("[S]\r\na=1\r\nb=2\r\n"), QByteArray("[S]\na=1\nb=2"),
          QByteArray("[S]\ra=1\rb=2\r"), QByteArray("[S]\r\na=1\nb=2\r")}) {
        const IniDocument doc = IniDocument::parse(text);
        EXPECT_EQ(doc.value(u"s", u"A"), QStringLiteral("1")) << text.toHex().constData();
        EXPECT_EQ(doc.value(u"s", u"b"), QStringLiteral("2")) << text.toHex().constData();
    }
}

TEST(IniDocument, WritesKeepTheFileAndItsLineEnding) {
    struct Case {
        const char* name;
        QByteArray before;
        std::function<void(IniDocument&)> change;
        QByteArray after;
    } cases[] = {
        {"new document", "", [](IniDocument& d) { d.setValue("S", "k", "v"); }, "[S]\nk=v\n"},
        {"replace keeps the spelling and position", "[S]\r\n  KEY = old \r\nz=1\r\n",
         [](IniDocument& d) { d.setValue("s", "key", "new"); }, "[S]\r\nKEY=new\r\nz=1\r\n"},
        {"replace touches the first duplicate", "[S]\na=1\na=2\n",
         [](IniDocument& d) { d.setValue("S", "A", "3"); }, "[S]\na=3\na=2\n"},
        {"new key ends its section, before blank lines", "[A]\nx=1\n\n[B]\ny=2\n",
         [](IniDocument& d) { d.setValue("a", "z", "3"); }, "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
        {"new key in an empty last section", "[A]\n",
         [](IniDocument& d) { d.setValue("A", "k", "v"); }, "[A]\nk=v\n"},
        {"new section at the end, unknown lines kept", "; note\n[A]\nodd line\n",
         [](IniDocument& d) { d.setValue("B", "k", "v"); }, "; note\n[A]\nodd line\n[B]\nk=v\n"},
        {"CR only", "[A]\rx=1\r", [](IniDocument& d) { d.setValue("A", "y", "2"); },
         "[A]\rx=1\ry=2\r"},
        {"missing final line end", "[A]\nx=1", [](IniDocument& d) { d.setValue("A", "y", "2"); },
         "[A]\nx=1\ny=2\n"},
        {"remove key", "[A]\nx=1\ny=2\n", [](IniDocument& d) { d.removeKey(u"a", u"X"); },
         "[A]\ny=2\n"},
        {"remove section, every copy of it", "[A]\nx=1\n[F]\nf=1\n\n[B]\ny=2\n[f]\ng=2\n",
         [](IniDocument& d) { d.removeSection(u"F"); }, "[A]\nx=1\n[B]\ny=2\n"},
        {"replace section: every copy goes, the new one ends the file",
         "[F]\nold=1\n[A]\nx=1\n[f]\ng=2\n",
         [](IniDocument& d) {
             d.replaceSection("F", {{"k1", " v"}, {"k2", "w"}});
         },
         "[A]\nx=1\n[F]\nk1=\" v\"\nk2=w\n"},
        {"replace section with nothing removes it", "[A]\nx=1\n[F]\nf=1\n",
         [](IniDocument& d) { d.replaceSection("F", {}); }, "[A]\nx=1\n"},
        {"values that the reader would alter are quoted", "",
         [](IniDocument& d) {
             d.setValue("S", "a", " lead");
             d.setValue("S", "b", "'q'");
             d.setValue("S", "c", "plain \"inner\" text");
         },
         "[S]\na=\" lead\"\nb=\"'q'\"\nc=plain \"inner\" text\n"},
        {"line breaks cannot plant keys", "",
         [](IniDocument& d) { d.setValue("S", "k", "x\n[S]\r\nevil=1"); },
         "[S]\nk=x [S]  evil=1\n"},
    };
    for (auto& c : cases) {
        IniDocument doc = IniDocument::parse(c.before);
        c.change(doc);
        EXPECT_EQ(doc.serialize(), c.after) << c.name;
    }
}

TEST(IniDocument, WrittenValuesReadBackUnchanged) {
    IniDocument doc;
    const QStringList values = {"", " both ", "\"quoted\"", "'", "a=b", "caf\u00e9 \u20ac"};
    for (qsizetype i = 0; i < values.size(); ++i)
        doc.setValue("S", QString::number(i), values[i]);
    const IniDocument again = IniDocument::parse(doc.serialize());
    for (qsizetype i = 0; i < values.size(); ++i)
        EXPECT_EQ(again.value(u"S", QString::number(i)), values[i]) << i;
}

TEST(IniDocument, EntriesAreTheKeysWithTheValuesValueReads) {
    const IniDocument doc =
        IniDocument::parse("[S]\nb=2\nodd line\nA=1\nB=3\na=4\n[T]\nc=5\n[s]\nd=6\n");
    const auto entries = doc.entries(u"s");
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].key, QStringLiteral("b"));
    EXPECT_EQ(entries[0].value, doc.value(u"S", u"B"));
    EXPECT_EQ(entries[1].key, QStringLiteral("A"));
    EXPECT_EQ(entries[1].value, doc.value(u"S", u"a"));
    EXPECT_EQ(doc.keys(u"S"), QStringList({"b", "A"}));
    EXPECT_TRUE(doc.entries(u"none").empty());
}

TEST(IniDocument, LongValuesReadCutTo2047Characters) {
    const QString longValue(5000, u'x');
    IniDocument doc;
    doc.setValue("S", "k", longValue);
    EXPECT_EQ(IniDocument::parse(doc.serialize()).value(u"S", u"k")->size(), 2047);
}

TEST(IniDocument, Windows1252FilesReadAndAreWrittenAsUtf8) {
    IniDocument doc = IniDocument::parse("[S]\nname=Jos\xe9\n");
    EXPECT_EQ(doc.value(u"S", u"name"), QStringLiteral("Jos\u00e9"));
    EXPECT_EQ(doc.serialize(), QByteArray("[S]\nname=Jos\xc3\xa9\n"));
}

TEST(IniFile, MissingFileIsEmptyAndSaveCreatesIt) {
    QTemporaryDir dir;
    const QString path = dir.filePath("Options.ini");
    IniDocument doc = ini::load(path);
    EXPECT_TRUE(doc.sections().isEmpty());
    doc.setValue("General", "Width", "633");
    ini::save(path, doc);
    EXPECT_EQ(readFile(path), QByteArray("[General]\nWidth=633\n"));
    EXPECT_EQ(ini::load(path).value(u"general", u"width"), QStringLiteral("633"));
}

TEST(IniFile, FailedSaveThrowsTheSystemTextAndKeepsTheOldFile) {
    QTemporaryDir dir;
    // A path whose parent is a plain file cannot be written, even by root.
    const QString blocker = dir.filePath("blocker");
    writeFile(blocker, "not a directory");
    IniDocument doc;
    doc.setValue("S", "k", "v");
    try {
        ini::save(blocker + "/Options.ini", doc);
        FAIL() << "save into a file's path succeeded";
    } catch (const SystemError& e) {
        EXPECT_FALSE(e.text().isEmpty());
    }

    EXPECT_FALSE(QFile::exists(blocker + "/Options.ini"));
}

TEST(IniFile, FailedWriteLeavesTheOldFileWhole) {
    QTemporaryDir dir;
    const QString path = dir.filePath("Options.ini");
    writeFile(path, "[S]\nk=old\n");
    IniDocument doc = ini::load(path);
    doc.setValue("S", "k", QString(4000, u'n'));

    // A file size limit makes the write fail part way, whoever runs the test.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            ini::save(path, doc);
        } catch (const SystemError& e) {
            _exit(e.text().isEmpty() ? 3 : 0);
        }
        _exit(2);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no error reported, 3: error without text";
    EXPECT_EQ(readFile(path), QByteArray("[S]\nk=old\n"));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{"Options.ini"});
}
