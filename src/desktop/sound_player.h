#pragma once
// Sounds of the new-message alert: a WAV file or one of the eight system sounds, played
// through libcanberra. Playing never waits and never reports a failure: a missing file or
// sound device simply stays silent.

#include <QString>

struct ca_context;

namespace kalvento::desktop {

// What the alert plays for the settings "Sound name" and "Sound index".
struct SoundChoice {
    enum Kind { File, SystemSound };
    Kind kind = SystemSound;
    QString fileName;    // File
    int systemSound = 0; // SystemSound: "Sound index" as stored, possibly out of range

    bool operator==(const SoundChoice&) const = default;
};

// A name with "." as its fourth character from the end ("ding.wav") is a file; anything
// else, a name shorter than four characters included, means the system sound at
// soundIndex.
SoundChoice chooseSound(const QString& soundName, int soundIndex);

// The sound theme's event for a system sound: 0 start, 1 exit, 2 hand, 3 asterisk,
// 4 question, 5 exclamation, 6 welcome, 7 default. Any other index is the default sound.
const char* systemSoundEventId(int index);

class SoundPlayer {
public:
    SoundPlayer();
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Each call cuts off the sound this player is still playing, so a burst of messages
    // does not stack up overlapping sounds.
    void playFile(const QString& path);
    void playSystemSound(int index);
    void play(const SoundChoice& choice);

private:
    ca_context* context();

    ca_context* m_context = nullptr;
    bool m_contextFailed = false;
};

} // namespace kalvento::desktop
