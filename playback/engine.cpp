// The caller's side of the engine: starting and closing it, creating and
// playing streams, pausing and stopping, and what follows from an output
// that may close or was lost.
#include "playback/engine.h"

#include <SDL.h>
#include <mpg123.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/utf8.h"
#include "playback/history.h"
#include "playback/mixer.h"
#include "playback/output.h"
#include "playback/streamer.h"

namespace {

// What the player asks its output for; whatever SDL grants is used as it is.
constexpr int REQUESTED_RATE = 48000;
constexpr int REQUESTED_CHANNELS = 2;
// Pause, resume and stop fade over 5 ms: short enough to feel immediate,
// long enough not to click.
constexpr int FADE_MS = 5;
// The streaming thread decodes this far ahead when it wakes. The longer it
// is, the less often the thread wakes, and waking is dear: woken 4 times a
// second it took a third more CPU than woken once.
constexpr int AHEAD_MS = 2000;
// The mix wakes the streaming thread when a ring holds less than this
// ahead: the most an output takes at once (a new sound server stream's
// first request, its whole buffer), and a quarter second to decode more.
constexpr int LOW_MS = PULSE_BUFFER_MS + 250;
// What a stream holds before it counts as playing, so that however much an
// output takes at once when it opens (an ALSA device with several periods
// takes them all) the song starts whole before the streaming thread first
// looks at it; less than AHEAD_MS, which would hold up the click.
constexpr int START_MS = 600;
// Quiet output heard after the last sound before the output closes: what
// SDL's device and the sound server still hold is heard out first, so the
// fade is never cut, and a quick pause and play keeps the output.
constexpr int LINGER_MS = 500;

int frames_of(int rate, int ms)
{
    return static_cast<int>(static_cast<long>(rate) * ms / 1000);
}

// A free sound, or else one that is done and that the streaming thread is
// not decoding into; nullptr when neither is left.
AudioSound* claim_sound(AudioSystem* audio)
{
    for (AudioSound& sound : audio->sounds) {
        int expected = SOUND_FREE;
        if (sound.state.compare_exchange_strong(expected, SOUND_CLAIMED)) {
            return &sound;
        }
    }
    for (int i = 0; i < AUDIO_SOUNDS; ++i) {
        AudioSound* sound = &audio->sounds[i];
        int expected = SOUND_DONE;
        if (!sound->state.compare_exchange_strong(expected, SOUND_CLAIMED)) {
            continue;
        }
        if (audio->streamer.decoding.load() == i) {
            sound->state.store(SOUND_DONE);
            continue;
        }
        sound_release(sound);
        return sound;
    }
    return nullptr;
}

int count_in_state(const AudioSystem* audio, int state)
{
    int n = 0;
    for (const AudioSound& sound : audio->sounds) {
        n += sound.state.load(std::memory_order_acquire) == state ? 1 : 0;
    }
    return n;
}

// Takes the mix over for a change, heard from the first frame the output
// has not yet taken. Nothing before that frame is wound back to again, so
// whatever had been heard to its end by then is done.
void begin_change(AudioSystem* audio)
{
    output_hold(audio, true);
    history_forget(audio);
    bool mixing = output_mixing(audio);
    for (AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        // With no callback mixing, nothing is left to fade a stop out.
        if ((state == SOUND_PLAYING && sound.ended_at >= 0) ||
            (state == SOUND_STOPPING && (sound.ended_at >= 0 || !mixing))) {
            sound.state.store(SOUND_DONE, std::memory_order_release);
        }
    }
}

void end_change(AudioSystem* audio)
{
    output_release(audio);
    streamer_ask(audio);
}

// Fades the song out from here; one that has not sounded yet, or that no
// callback is left to fade, ends at once.
void stop_playing(AudioSystem* audio)
{
    bool mixing = output_mixing(audio);
    for (AudioSound& sound : audio->sounds) {
        if (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING) {
            bool heard = mixing && sound.started_at != audio->history.mixed;
            sound.state.store(heard ? SOUND_STOPPING : SOUND_DONE, std::memory_order_release);
        }
    }
}

// The output was closed: nothing is left to fade out what was stopping, or
// to play on what had ended.
void after_close(AudioSystem* audio)
{
    for (AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_STOPPING || (state == SOUND_PLAYING && sound.ended_at >= 0)) {
            sound.state.store(SOUND_DONE, std::memory_order_release);
        }
    }
    streamer_ask(audio);
}

// The sound server went away or stopped answering. The listener heard the
// mix up to about where the server last was: what played goes on from the
// chunk playing there, paused, and a resume fades in.
void give_up_output(AudioSystem* audio)
{
    output_hold(audio, false);
    if (audio->history.count > 0) {
        history_heard(audio, output_heard_last(audio));
        history_rewind(audio, history_oldest(audio));
    }
    bool playing = false;
    for (const AudioSound& sound : audio->sounds) {
        playing = playing || (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING && sound.ended_at < 0);
    }
    if (playing) {
        audio->paused.store(true, std::memory_order_release);
    }
    if (audio->paused.load(std::memory_order_acquire)) {
        audio->mixing.group_gain = 0.0f;
    }
    history_forget(audio);
    output_release(audio);
    output_stop(audio);
    after_close(audio);
}

bool start_engine(AudioSystem* audio, const AudioOutput* output, bool threaded, char* error, int error_size)
{
    if (output->rate <= 0 || output->channels != RING_CHANNELS || output->format != AUDIO_S16SYS) {
        std::snprintf(error, static_cast<size_t>(error_size),
                      "unsupported audio output: %d Hz, %d channels, format 0x%x", output->rate, output->channels,
                      output->format);
        return false;
    }
    AudioConfig* config = &audio->config;
    config->output = *output;
    config->fade_frames = std::max(1, frames_of(output->rate, FADE_MS));
    // Behind its reader a ring keeps what the sound server may still take
    // back; the rest is for decoding ahead.
    config->ahead_frames =
        std::min(frames_of(output->rate, AHEAD_MS), RING_FRAMES - AUDIO_HISTORY_MARKS * AUDIO_MIX_CHUNK);
    config->low_frames = std::min(frames_of(output->rate, LOW_MS), config->ahead_frames * 3 / 4);
    config->start_frames = std::min(config->ahead_frames, frames_of(output->rate, START_MS));
    config->linger_frames = frames_of(output->rate, LINGER_MS);
    config->threaded = threaded;
    audio->streamer.decoding.store(-1);
    audio->mixing.group_gain = 1.0f;
    audio->mixing.underrun_frames.store(0);
    audio->paused.store(false);
    for (AudioSound& sound : audio->sounds) {
        sound_release(&sound);
        sound.state.store(SOUND_FREE);
    }
    mix_restart(audio);
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
    audio->caller.created = true;
    return true;
}

bool audio_system_start(AudioSystem* audio, const AudioOutput* output, bool streaming_thread, char* error,
                        int error_size)
{
    if (refuse_restart(audio, error, error_size)) {
        return false;
    }
    audio->config.output_kind = OUTPUT_CALLER;
    audio->config.keeps_history = false;
    return start_engine(audio, output, streaming_thread, error, error_size);
}

bool audio_system_init(AudioSystem* audio, char* error, int error_size)
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
    if (!start_engine(audio, &output, true, error, error_size)) {
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
            sound.state.store(SOUND_FREE);
        }
    }
    audio->caller.running = false;
}

AudioSound* audio_create_stream(AudioSystem* audio, const char* path)
{
    if (audio == nullptr || !audio->caller.running || path == nullptr) {
        return nullptr;
    }
    AudioSound* sound = claim_sound(audio);
    if (sound == nullptr) {
        std::snprintf(audio->caller.last_error, sizeof audio->caller.last_error, "too many streams open at once");
        return nullptr;
    }
    if (!decoder_open(&sound->decoder, path, audio->config.output.rate, audio->caller.last_error,
                      sizeof audio->caller.last_error)) {
        sound->state.store(SOUND_FREE, std::memory_order_release);
        return nullptr;
    }
    const char* slash = std::strrchr(path, '/');
    copy_as_utf8(slash != nullptr ? slash + 1 : path, sound->name, sizeof sound->name);
    sound->state.store(SOUND_OPEN, std::memory_order_release);
    return sound;
}

bool audio_play_sound(AudioSystem* audio, AudioSound* sound)
{
    if (audio == nullptr || sound < audio->sounds || sound >= audio->sounds + AUDIO_SOUNDS || !audio->caller.running ||
        sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return false;
    }
    // Filled before the output opens, so that its first callbacks, however
    // much they take at once, find the song's start waiting.
    if (decoder_fill(&sound->decoder, &sound->ring, audio->config.start_frames)) {
        decoder_close(&sound->decoder);
        sound->fully_fed.store(true, std::memory_order_release);
    }
    if (!output_start(audio, sound->name)) {
        return false;
    }
    begin_change(audio);
    stop_playing(audio);
    sound->fade = 1.0f;
    sound->started_at = audio->history.mixed;
    sound->ended_at = -1;
    sound->state.store(SOUND_PLAYING, std::memory_order_release);
    end_change(audio);
    return true;
}

void audio_release_sound(AudioSystem* audio, AudioSound* sound)
{
    if (audio == nullptr || sound < audio->sounds || sound >= audio->sounds + AUDIO_SOUNDS ||
        sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return;
    }
    sound_release(sound);
    sound->state.store(SOUND_FREE, std::memory_order_release);
}

bool audio_paused(const AudioSystem* audio)
{
    return audio != nullptr && audio->paused.load(std::memory_order_acquire);
}

bool audio_set_paused(AudioSystem* audio, bool paused)
{
    if (audio == nullptr) {
        return false;
    }
    if (!audio->caller.running) {
        audio->paused.store(paused, std::memory_order_release);
        return true;
    }
    if (!paused && count_in_state(audio, SOUND_PLAYING) > 0 && !output_start(audio, nullptr)) {
        return false;
    }
    begin_change(audio);
    audio->paused.store(paused, std::memory_order_release);
    end_change(audio);
    return true;
}

void audio_stop(AudioSystem* audio)
{
    if (audio == nullptr || !audio->caller.running) {
        return;
    }
    begin_change(audio);
    stop_playing(audio);
    end_change(audio);
}

int audio_notify_fd(const AudioSystem* audio)
{
    return audio == nullptr ? -1 : output_notify_fd(audio);
}

void audio_settle_device(AudioSystem* audio)
{
    if (audio == nullptr || !audio->caller.running || output_notify_fd(audio) < 0) {
        return;
    }
    output_take_notification(audio);
    if (output_failed(audio)) {
        give_up_output(audio);
    } else if (mix_may_close(audio)) {
        output_stop(audio);
        after_close(audio);
    } else {
        // Told too early, or something sounds again: the mix tells anew.
        audio->device.told.store(false, std::memory_order_release);
    }
}

int audio_playing_count(const AudioSystem* audio)
{
    return count_in_state(audio, SOUND_PLAYING) + count_in_state(audio, SOUND_STOPPING);
}

int audio_sound_count(const AudioSystem* audio)
{
    return AUDIO_SOUNDS - count_in_state(audio, SOUND_FREE);
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

int64_t audio_underrun_frames(const AudioSystem* audio)
{
    return audio->mixing.underrun_frames.load(std::memory_order_relaxed);
}
