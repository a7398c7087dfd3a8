#include "app/command_line.h"

#include <gtest/gtest.h>

using kalvento::app::CommandLine;
using kalvento::app::parseCommandLine;

TEST(CommandLine, HelpAndVersionAnswerAndAnythingUnknownIsRefused) {
    const struct {
        QStringList arguments;
        CommandLine::Action action;
        int exitCode;
        const char* textHas;
    } cases[] = {
        {{}, CommandLine::Action::Run, 0, ""},
        {{"-s"}, CommandLine::Action::Run, 0, ""},
        {{"-session", "1234abcd", "-s"}, CommandLine::Action::Run, 0, ""},
        {{"-platform", "offscreen", "-style=fusion", "-reverse"}, CommandLine::Action::Run, 0, ""},
        {{"--help"}, CommandLine::Action::Help, 0, "Usage: kalvento [-s]"},
        {{"-s", "-h"}, CommandLine::Action::Help, 0, "--version"},
        {{"--version"}, CommandLine::Action::Version, 0, "Kalvento 1.2.0"},
        {{"--bogus", "--help"}, CommandLine::Action::Help, 0, "Usage:"},
        {{"--bogus"}, CommandLine::Action::Refuse, 2, "unknown option '--bogus'"},
        {{"-S"}, CommandLine::Action::Refuse, 2, "Try 'kalvento --help'"},
        {{"s"}, CommandLine::Action::Refuse, 2, "'s'"},
        {{"-platform"}, CommandLine::Action::Refuse, 2, "'-platform'"}, // its value is missing
    };
    for (const auto& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments, "kalvento");
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(line.action, c.action) << what;
        EXPECT_EQ(line.exitCode, c.exitCode) << what;
        EXPECT_TRUE(line.text.contains(QString::fromUtf8(c.textHas)))
            << what << ": " << line.text.toStdString();
    }
}

TEST(CommandLine, SendTakesPathsMadeAbsoluteAndTheComputersToSendTo) {
    using kalvento::app::SendRequest;
    const struct {
        QStringList arguments;
        CommandLine::Action action;
        SendRequest send;
        const char* textHas;
    } cases[] = {
        {{"--send", "report.pdf"}, CommandLine::Action::Run, {{"/home/u/work/report.pdf"}, {}}, ""},
        {{"--send", "a", "../b/c", "/etc/hosts", "--to", "Anna", "--to=PC2"},
         CommandLine::Action::Run,
         {{"/home/u/work/a", "/home/u/b/c", "/etc/hosts"}, {"Anna", "PC2"}},
         ""},
        // --to may come first; later paths after --send still count, and -s still starts hidden.
        {{"--to", "Anna", "-s", "--send", "./x/../y", "--send", "z"},
         CommandLine::Action::Run,
         {{"/home/u/work/y", "/home/u/work/z"}, {"Anna"}},
         ""},
        // After "--", a name that begins with a dash is a path.
        {{"--send", "--", "-notes.txt", "--to"},
         CommandLine::Action::Run,
         {{"/home/u/work/-notes.txt", "/home/u/work/--to"}, {}},
         ""},
        {{"--send", "a b.txt", "--to", " Anna "},
         CommandLine::Action::Run,
         {{"/home/u/work/a b.txt"}, {"Anna"}},
         ""},
        {{"--send"}, CommandLine::Action::Refuse, {}, "'--send' needs a file or folder"},
        {{"--send", "--to", "Anna"}, CommandLine::Action::Refuse, {}, "needs a file or folder"},
        {{"--send", "a", "--to"}, CommandLine::Action::Refuse, {}, "'--to' needs a computer"},
        {{"--send", "a", "--to="}, CommandLine::Action::Refuse, {}, "'--to' needs a computer"},
        {{"--send", "a", "--to", " "}, CommandLine::Action::Refuse, {}, "'--to' needs a computer"},
        {{"--to", "Anna"}, CommandLine::Action::Refuse, {}, "goes with '--send'"},
        {{"--send", ""}, CommandLine::Action::Refuse, {}, "empty path"},
        {{"--send", "a", "--bogus"}, CommandLine::Action::Refuse, {}, "unknown option '--bogus'"},
        {{"report.pdf"}, CommandLine::Action::Refuse, {}, "unknown option 'report.pdf'"},
    };
    for (const auto& c : cases) {
        const CommandLine line = parseCommandLine(c.arguments, "kalvento", "/home/u/work");
        const std::string what = c.arguments.join(' ').toStdString();
        EXPECT_EQ(line.action, c.action) << what;
        EXPECT_EQ(line.send.paths, c.send.paths) << what;
        EXPECT_EQ(line.send.computers, c.send.computers) << what;
        EXPECT_EQ(line.exitCode, c.action == CommandLine::Action::Refuse ? 2 : 0) << what;
        EXPECT_TRUE(line.text.contains(QString::fromUtf8(c.textHas)))
            << what << ": " << line.text.toStdString();
    }
    EXPECT_TRUE(parseCommandLine({"--help"}, "kalvento").text.contains("--send PATH..."));
}
