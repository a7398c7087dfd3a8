#include "desktop/sound_player.h"

#include <QFile>

#include <canberra.h>

#include <array>

namespace kalvento::desktop {

namespace {

// Every sound of a player uses this id so that the next one can cancel it.
constexpr uint32_t kSoundId = 1;

constexpr std::array<const char*, 8> kSystemSoundEvents = {
    "service-login",      // start
    "service-logout",     // exit
    "dialog-error",       // hand
    "dialog-information", // asterisk
    "window-question",    // question ("dialog-question" is missing from common themes)
    "dialog-warning",     // exclamation
    "service-login",      // welcome
    "bell",               // default
};

} // namespace

SoundChoice chooseSound(const QString& soundName, int soundIndex) {
    const qsizetype dotPosition = soundName.size() - 4; // 0-based fourth from the end
    if (dotPosition >= 0 && soundName.at(dotPosition) == u'.')
        return {SoundChoice::File, soundName, 0};
    return {SoundChoice::SystemSound, QString(), soundIndex};
}

const char* systemSoundEventId(int index) {
    if (index < 0 || index >= int(kSystemSoundEvents.size()))
        return kSystemSoundEvents.back();
    return kSystemSoundEvents[size_t(index)];
}

SoundPlayer::SoundPlayer() = default;

SoundPlayer::~SoundPlayer() {
    if (m_context != nullptr)
        ca_context_destroy(m_context);
}

ca_context* SoundPlayer::context() {
    // Opened on first use, and only tried once: without a sound server every later
    // attempt would fail the same way.
    if (m_context == nullptr && !m_contextFailed) {
        if (ca_context_create(&m_context) != CA_SUCCESS) {
            m_context = nullptr;
            m_contextFailed = true;
        }
    }
    return m_context;
}

void SoundPlayer::playFile(const QString& path) {
    ca_context* c = context();
    if (c == nullptr || path.isEmpty())
        return;
    const QByteArray fileName = QFile::encodeName(path);
    ca_context_cancel(c, kSoundId);
    ca_context_play(c, kSoundId, CA_PROP_MEDIA_FILENAME, fileName.constData(), nullptr);
}

void SoundPlayer::playSystemSound(int index) {
    ca_context* c = context();
    if (c == nullptr)
        return;
    ca_context_cancel(c, kSoundId);
    ca_context_play(c, kSoundId, CA_PROP_EVENT_ID, systemSoundEventId(index), nullptr);
}

void SoundPlayer::play(const SoundChoice& choice) {
    if (choice.kind == SoundChoice::File)
        playFile(choice.fileName);
    else
        playSystemSound(choice.systemSound);
}

} // namespace kalvento::desktop
