// The caller's side of the engine: starting and closing it, creating and
// playing streams, and the master group's pause and stop.
#include "playback/engine.h"

#include <SDL.h>
#include <mpg123.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

#include "playback/history.h"
#include "playback/output.h"
#include "playback/streamer.h"

namespace {

// What the player asks its output for; whatever SDL grants is used as it is.
constexpr int REQUESTED_RATE = 48000;
constexpr int REQUESTED_CHANNELS = 2;
// Pause, resume and stop fade over 5 ms: short enough to feel immediate,
// long enough not to click.
constexpr int FADE_MS = 5;
// The streaming thread keeps this much decoded ahead of the output. The
// longer it is, the less often the thread wakes, and waking is dear: woken 4
// times a second it took a third more CPU than woken once.
constexpr int AHEAD_MS = 1300;
// What a stream holds before it counts as playing, so that however much an
// output takes at once when it opens (an ALSA device with several periods
// takes them all) the song starts whole before the streaming thread first
// looks at it; less than AHEAD_MS, which would hold up the click.
constexpr int START_MS = 600;
// Quiet output heard after the last sound before the output closes: what
// SDL's device and the sound server still hold is heard out first, so the
// fade is never cut, and a quick pause and play keeps the output.
constexpr int LINGER_MS = 500;
// How long a create waits for a fading-out stream to give back its slot.
// Only a burst of play and stop clicks faster than the device's buffer
// period fills every slot; generous, so that a loaded machine still gets one.
constexpr auto SLOT_WAIT = std::chrono::milliseconds(1000);

bool format_supported(uint16_t format)
{
    return format == AUDIO_U8 || format == AUDIO_S8 || format == AUDIO_U16LSB || format == AUDIO_S16LSB ||
           format == AUDIO_U16MSB || format == AUDIO_S16MSB;
}

AudioSound* try_claim_slot(AudioSystem* audio)
{
    for (AudioSound& sound : audio->sounds) {
        int expected = SOUND_FREE;
        if (sound.state.compare_exchange_strong(expected, SOUND_CLAIMED, std::memory_order_acq_rel)) {
            return &sound;
        }
    }
    return nullptr;
}

AudioSound* claim_slot(AudioSystem* audio)
{
    AudioSound* sound = try_claim_slot(audio);
    if (sound != nullptr || !audio->config.threaded) {
        return sound;
    }
    // Every slot is taken, some perhaps by streams still fading out after a
    // stop: give the callback and the streaming thread a moment to free one.
    auto deadline = std::chrono::steady_clock::now() + SLOT_WAIT;
    std::unique_lock<std::mutex> held(audio->streamer.lock);
    while ((sound = try_claim_slot(audio)) == nullptr) {
        if (audio->streamer.slot_freed.wait_until(held, deadline) == std::cv_status::timeout) {
            return try_claim_slot(audio);
        }
    }
    return sound;
}

// The slot's index, or -1 when the sound is not one of this engine's.
int slot_of(const AudioSystem* audio, const AudioSound* sound)
{
    for (int i = 0; i < AUDIO_SOUND_SLOTS; ++i) {
        if (&audio->sounds[i] == sound) {
            return i;
        }
    }
    return -1;
}

int count_in_state(const AudioSystem* audio, int state)
{
    int n = 0;
    for (const AudioSound& sound : audio->sounds) {
        if (sound.state.load(std::memory_order_acquire) == state) {
            ++n;
        }
    }
    return n;
}

// Fades out the stream started longest ago, so that a new one can take its
// channel.
void stop_oldest(AudioSystem* audio)
{
    while (count_in_state(audio, SOUND_PLAYING) >= audio->config.channel_count) {
        int oldest = -1;
        for (int i = 0; i < AUDIO_SOUND_SLOTS; ++i) {
            if (audio->sounds[i].state.load(std::memory_order_acquire) == SOUND_PLAYING &&
                (oldest < 0 || audio->caller.started[i] < audio->caller.started[oldest])) {
                oldest = i;
            }
        }
        if (oldest < 0) {
            return;
        }
        // Fails only when the stream ended by itself meanwhile; look again.
        int expected = SOUND_PLAYING;
        if (audio->sounds[oldest].state.compare_exchange_strong(expected, SOUND_STOPPING, std::memory_order_acq_rel)) {
            audio->sounds[oldest].stopped.store(true, std::memory_order_release);
        }
    }
}

void set_error(AudioSystem* audio, const char* text)
{
    std::snprintf(audio->caller.last_error, sizeof audio->caller.last_error, "%s", text);
}

bool start_engine(AudioSystem* audio, int channel_count, const AudioOutput* output, bool threaded, char* error,
                  int error_size)
{
    size_t size = static_cast<size_t>(error_size);
    if (channel_count < 1 || channel_count > AUDIO_MAX_CHANNELS) {
        std::snprintf(error, size, "cannot mix %d channels (1 to %d)", channel_count, AUDIO_MAX_CHANNELS);
        return false;
    }
    if (output->rate <= 0 || output->channels < 1 || !format_supported(output->format)) {
        std::snprintf(error, size, "unsupported audio output: %d Hz, %d channels, format 0x%x", output->rate,
                      output->channels, output->format);
        return false;
    }
    AudioConfig* config = &audio->config;
    config->channel_count = channel_count;
    config->output = *output;
    config->fade_frames = std::max(1, output->rate * FADE_MS / 1000);
    long ahead = static_cast<long>(output->rate) * AHEAD_MS / 1000;
    config->ahead_frames = ahead < RING_FRAMES ? static_cast<int>(ahead) : RING_FRAMES;
    config->start_frames =
        std::min(config->ahead_frames, static_cast<int>(static_cast<long>(output->rate) * START_MS / 1000));
    config->linger_frames = output->rate * LINGER_MS / 1000;
    config->threaded = threaded;
    audio->device.quiet_frames.store(INT_MAX / 2);
    audio->callback.quiet_frames = INT_MAX / 2;
    history_clear(audio);
    audio->caller.play_count = 0;
    audio->callback.group_gain = 1.0f;
    audio->master.paused.store(false);
    for (AudioSound& sound : audio->sounds) {
        sound_release(&sound);
    }
    if (threaded && !streamer_start(audio, error, error_size)) {
        config->threaded = false;
        return false;
    }
    audio->caller.running = true;
    return true;
}

bool refuse_restart(const AudioSystem* audio, char* error, int error_size)
{
    if (audio != nullptr && audio->caller.created && !audio->caller.running) {
        return false;
    }
    std::snprintf(error, static_cast<size_t>(error_size), "the audio system was not created, or is already running");
    return true;
}

} // namespace

bool audio_system_create(AudioSystem* audio)
{
    if (audio == nullptr) {
        return false;
    }
    // Sets up the decoder library's tables; repeated calls are harmless.
    if (mpg123_init() != MPG123_OK) {
        return false;
    }
    audio->master.system = audio;
    audio->master.paused.store(false);
    audio->caller.created = true;
    return true;
}

bool audio_system_start(AudioSystem* audio, int channel_count, const AudioOutput* output, bool streaming_thread,
                        char* error, int error_size)
{
    if (refuse_restart(audio, error, error_size)) {
        return false;
    }
    audio->config.output_kind = OUTPUT_CALLER;
    audio->config.keeps_history = false;
    return start_engine(audio, channel_count, output, streaming_thread, error, error_size);
}

bool audio_system_init(AudioSystem* audio, int channel_count, char* error, int error_size)
{
    if (refuse_restart(audio, error, error_size)) {
        return false;
    }
    // SDL's device is opened to learn that there is one and what it plays;
    // later opens ask for exactly this. It then stays open and closes as any
    // quiet device does: closing waits for SDL to drain two buffers, time
    // better spent after the window shows than before; and a stream closed
    // while the sound server is still setting it up held the caller for
    // seconds. The sound server's output opens nothing yet.
    AudioOutput wanted = {REQUESTED_RATE, REQUESTED_CHANNELS, AUDIO_S16SYS};
    AudioOutput output = {};
    if (!output_probe(audio, &wanted, &output, error, error_size)) {
        return false;
    }
    if (!start_engine(audio, channel_count, &output, true, error, error_size)) {
        output_close(audio);
        return false;
    }
    output_begin(audio);
    return true;
}

void audio_system_close(AudioSystem* audio)
{
    if (audio == nullptr) {
        return;
    }
    // The callback stops before the streams go.
    output_close(audio);
    streamer_stop(audio);
    audio->config.threaded = false;
    if (audio->caller.running) {
        for (AudioSound& sound : audio->sounds) {
            sound_release(&sound);
        }
    }
    audio->caller.running = false;
}

AudioSound* audio_create_stream(AudioSystem* audio, const char* path)
{
    if (audio == nullptr || !audio->caller.running || path == nullptr) {
        return nullptr;
    }
    AudioSound* sound = claim_slot(audio);
    if (sound == nullptr) {
        set_error(audio, "too many streams open at once");
        return nullptr;
    }
    if (!decoder_open(&sound->decoder, path, audio->config.output.rate, audio->caller.last_error,
                      sizeof audio->caller.last_error)) {
        sound->state.store(SOUND_FREE, std::memory_order_release);
        return nullptr;
    }
    const char* slash = std::strrchr(path, '/');
    std::snprintf(sound->name, sizeof sound->name, "%s", slash != nullptr ? slash + 1 : path);
    sound->state.store(SOUND_OPEN, std::memory_order_release);
    return sound;
}

bool audio_play_sound(AudioSystem* audio, AudioSound* sound)
{
    int slot = audio != nullptr ? slot_of(audio, sound) : -1;
    if (slot < 0 || !audio->caller.running || sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return false;
    }
    // Filled before the device opens, so that its first callbacks, however
    // many it runs at once, find the song's start waiting.
    if (decoder_fill(&sound->decoder, &sound->ring, audio->config.start_frames)) {
        decoder_close(&sound->decoder);
        sound->fully_fed.store(true, std::memory_order_release);
    }
    if (!output_start(audio, sound->name)) {
        return false;
    }
    output_hold(audio);
    stop_oldest(audio);
    audio->callback.fade[slot] = 1.0f;
    audio->caller.started[slot] = ++audio->caller.play_count;
    sound->stopped.store(false, std::memory_order_relaxed);
    sound->state.store(SOUND_PLAYING, std::memory_order_release);
    output_release(audio);
    if (audio->config.threaded) {
        streamer_wake(audio);
    }
    return true;
}

void audio_release_sound(AudioSystem* audio, AudioSound* sound)
{
    if (audio == nullptr || slot_of(audio, sound) < 0 || sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return;
    }
    sound_release(sound);
}

AudioGroup* audio_master_group(AudioSystem* audio)
{
    return audio == nullptr ? nullptr : &audio->master;
}

bool audio_group_paused(const AudioGroup* group)
{
    return group != nullptr && group->paused.load(std::memory_order_acquire);
}

bool audio_group_set_paused(AudioGroup* group, bool paused)
{
    if (group == nullptr) {
        return false;
    }
    AudioSystem* audio = group->system;
    if (audio == nullptr || !audio->caller.running) {
        group->paused.store(paused, std::memory_order_release);
        return true;
    }
    if (!paused && count_in_state(audio, SOUND_PLAYING) > 0 && !output_start(audio, nullptr)) {
        return false;
    }
    output_hold(audio);
    group->paused.store(paused, std::memory_order_release);
    output_release(audio);
    if (audio->config.threaded) {
        streamer_wake(audio);
    }
    return true;
}

void audio_group_stop(AudioGroup* group)
{
    if (group == nullptr || group->system == nullptr) {
        return;
    }
    AudioSystem* audio = group->system;
    if (!audio->caller.running) {
        return;
    }
    output_hold(audio);
    // With the output closed (everything paused and silent), or not yet
    // connected, no callback runs to fade the streams out: they end at once,
    // unheard.
    bool faded = output_mixing(audio);
    for (AudioSound& sound : audio->sounds) {
        int expected = SOUND_PLAYING;
        if (sound.state.compare_exchange_strong(expected, faded ? SOUND_STOPPING : SOUND_DONE,
                                                std::memory_order_acq_rel)) {
            sound.stopped.store(true, std::memory_order_release);
        }
    }
    output_release(audio);
    if (audio->config.threaded) {
        streamer_wake(audio);
    }
}

int audio_notify_fd(const AudioSystem* audio)
{
    return audio == nullptr ? -1 : output_notify_fd(audio);
}

void audio_settle_device(AudioSystem* audio)
{
    if (audio != nullptr && audio->caller.running) {
        output_settle(audio);
    }
}

int audio_playing_count(const AudioSystem* audio)
{
    return count_in_state(audio, SOUND_PLAYING) + count_in_state(audio, SOUND_STOPPING);
}

int audio_sound_count(const AudioSystem* audio)
{
    return AUDIO_SOUND_SLOTS - count_in_state(audio, SOUND_FREE);
}

int audio_sound_state(const AudioSound* sound)
{
    return sound->state.load(std::memory_order_acquire);
}

bool audio_device_open(const AudioSystem* audio)
{
    return audio->device.open.load(std::memory_order_acquire);
}

AudioOutput audio_output_format(const AudioSystem* audio)
{
    return audio->config.output;
}

const char* audio_last_error(const AudioSystem* audio)
{
    return audio->caller.last_error;
}
