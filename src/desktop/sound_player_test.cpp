#include "desktop/sound_player.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QTemporaryDir>

namespace kalvento::desktop {
void PrintTo(const SoundChoice& choice, std::ostream* out) {
    *out << (choice.kind == SoundChoice::File ? "file " : "system sound ")
         << choice.fileName.toStdString() << " " << choice.systemSound;
}
} // namespace kalvento::desktop

using kalvento::desktop::chooseSound;
using kalvento::desktop::SoundChoice;
using kalvento::desktop::SoundPlayer;
using kalvento::desktop::systemSoundEventId;

TEST(ChooseSound, DotFourthFromTheEndMeansAFile) {
    struct Case {
        const char* name;
        int index;
        SoundChoice expected;
    };
    const Case cases[] = {
        {"ding.wav", 3, {SoundChoice::File, "ding.wav", 0}},
        {"/home/me/Sounds/chime.WAV", 0, {SoundChoice::File, "/home/me/Sounds/chime.WAV", 0}},
        {".wav", 2, {SoundChoice::File, ".wav", 0}},
        {"System start", 0, {SoundChoice::SystemSound, "", 0}},
        {"System exclamation", 5, {SoundChoice::SystemSound, "", 5}},
        {"", 4, {SoundChoice::SystemSound, "", 4}},
        {"a.b", 1, {SoundChoice::SystemSound, "", 1}}, // too short to hold the dot
        {".", 2, {SoundChoice::SystemSound, "", 2}},
        {"abc", 7, {SoundChoice::SystemSound, "", 7}},
        {"song.flac", 6, {SoundChoice::SystemSound, "", 6}}, // dot is fifth from the end
        {"a.mp", 1, {SoundChoice::SystemSound, "", 1}},
        {"x.wavs", 9, {SoundChoice::SystemSound, "", 9}},
        {"ääni.wav", 0, {SoundChoice::File, "ääni.wav", 0}}, // characters, not bytes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(chooseSound(QString::fromUtf8(c.name), c.index), c.expected);
    }
}

TEST(SystemSoundEventId, MapsTheEightSoundsAndFallsBackToTheBell) {
    const std::pair<int, const char*> cases[] = {
        {0, "service-login"},
        {1, "service-logout"},
        {2, "dialog-error"},
        {3, "dialog-information"},
        {4, "window-question"},
        {5, "dialog-warning"},
        {6, "service-login"},
        {7, "bell"},
        {8, "bell"},
        {-1, "bell"},
        {1000, "bell"},
    };
    for (const auto& [index, event] : cases) {
        SCOPED_TRACE(index);
        EXPECT_STREQ(systemSoundEventId(index), event);
    }
}

// There is no sound device on a build machine: every call must come back at once
// and without complaint, whatever it was asked to play.
TEST(SoundPlayer, ReturnsAtOnceWhenNothingCanPlay) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SoundPlayer player;
    QElapsedTimer clock;
    clock.start();
    player.playFile(dir.filePath("missing.wav"));
    player.playFile(QString());
    player.play(chooseSound("System start", 0));
    for (int index = -1; index <= 8; ++index)
        player.playSystemSound(index);
    player.play(chooseSound("ding.wav", 0));
    EXPECT_LT(clock.elapsed(), 2000);
}
