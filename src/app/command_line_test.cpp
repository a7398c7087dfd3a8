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
