// The streaming thread's loop and the work of each pass.
#include "playback/streamer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <system_error>

#include "playback/output.h"

namespace {

// Decodes the song ahead, as long as it is the one playing.
void decode_ahead(AudioSystem* audio, int index)
{
    AudioSound* sound = &audio->sounds[index];
    // Said before looking, so that a create that takes this sound over
    // once it is done sees the decoder in use.
    audio->streamer.decoding.store(index);
    if (sound->state.load() == SOUND_PLAYING && !sound->fully_fed.load(std::memory_order_relaxed) &&
        decoder_fill(&sound->decoder, &sound->ring, audio->config.ahead_frames)) {
        // Everything is in the ring: the file can go now.
        decoder_close(&sound->decoder);
        sound->fully_fed.store(true, std::memory_order_release);
    }
    audio->streamer.decoding.store(-1);
}

void streaming_loop(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    while (!s->quit.load(std::memory_order_acquire)) {
        // Cleared before the pass, so that an ask made during it wakes the
        // next one.
        s->woken.store(false);
        uint64_t count = 0;
        ssize_t taken = read(s->wake_fd, &count, sizeof count);
        (void)taken;
        audio_service_streams(audio);
        pollfd wake = {s->wake_fd, POLLIN, 0};
        poll(&wake, 1, output_watch(audio));
    }
}

} // namespace

void sound_release(AudioSound* sound)
{
    decoder_close(&sound->decoder);
    ring_reset(&sound->ring);
    sound->fully_fed.store(false, std::memory_order_relaxed);
    sound->fade = 1.0f;
    sound->started_at = -1;
    sound->ended_at = -1;
}

bool streamer_start(AudioSystem* audio, char* error, int error_size)
{
    AudioStreamer* s = &audio->streamer;
    s->quit.store(false);
    s->decoding.store(-1);
    s->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (s->wake_fd < 0) {
        std::snprintf(error, static_cast<size_t>(error_size), "cannot create the audio streaming thread's wake-up");
        return false;
    }
    try {
        s->thread = std::thread(streaming_loop, audio);
    } catch (const std::system_error& failure) {
        std::snprintf(error, static_cast<size_t>(error_size), "cannot start the audio streaming thread: %s",
                      failure.what());
        close(s->wake_fd);
        s->wake_fd = -1;
        return false;
    }
    return true;
}

void streamer_stop(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    if (s->thread.joinable()) {
        s->quit.store(true, std::memory_order_release);
        s->woken.store(false);
        streamer_ask(audio);
        s->thread.join();
    }
    if (s->wake_fd >= 0) {
        close(s->wake_fd);
    }
    s->wake_fd = -1;
}

void streamer_ask(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    if (s->wake_fd >= 0 && !s->woken.exchange(true)) {
        uint64_t one = 1;
        // The counter only ever needs to be non-zero; a full one is as good.
        ssize_t written = write(s->wake_fd, &one, sizeof one);
        (void)written;
    }
}

void audio_service_streams(AudioSystem* audio)
{
    for (int i = 0; i < AUDIO_SOUNDS; ++i) {
        AudioSound* sound = &audio->sounds[i];
        int state = sound->state.load(std::memory_order_acquire);
        if (state == SOUND_PLAYING) {
            decode_ahead(audio, i);
        } else if (state == SOUND_DONE && sound->state.compare_exchange_strong(state, SOUND_CLAIMED)) {
            sound_release(sound);
            sound->state.store(SOUND_FREE, std::memory_order_release);
        }
    }
}
