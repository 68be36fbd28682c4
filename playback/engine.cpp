// The engine's records and the operations the transport calls.
#include "playback/engine.h"

#include <SDL.h>
#include <mpg123.h>

#include <chrono>
#include <cstdio>
#include <system_error>

#include "playback/mixer.h"

namespace {

// What the player asks SDL for; whatever SDL grants is used as it is.
constexpr int REQUESTED_RATE = 48000;
constexpr int REQUESTED_CHANNELS = 2;
constexpr int REQUESTED_BUFFER_FRAMES = 1024;
// Pause, resume and stop fade over 5 ms: short enough to feel immediate,
// long enough not to click.
constexpr int FADE_MS = 5;
// The streaming thread keeps this much decoded ahead of the device, and
// looks again at least this often.
constexpr int AHEAD_MS = 300;
// Waking every 50 ms keeps the ring at least 250 ms full and decodes a few
// frames at a time rather than one, which is most of the thread's cost.
constexpr auto STREAM_POLL = std::chrono::milliseconds(50);
// Decoded on the caller's thread before a stream goes on a channel, so that
// it starts without a gap while the streaming thread catches up.
constexpr int START_MS = 60;
// How long a create waits for a fading-out stream to give back its slot.
// Only a burst of play and stop clicks faster than the device's buffer
// period fills every slot; generous, so that a loaded machine still gets one.
constexpr auto SLOT_WAIT = std::chrono::milliseconds(1000);

bool format_supported(uint16_t format)
{
    return format == AUDIO_U8 || format == AUDIO_S8 || format == AUDIO_U16LSB || format == AUDIO_S16LSB ||
           format == AUDIO_U16MSB || format == AUDIO_S16MSB;
}

void wake_streamer(AudioSystem* audio)
{
    {
        std::lock_guard<std::mutex> held(audio->lock);
        audio->wake_due = true;
    }
    audio->wake.notify_one();
}

void streaming_loop(AudioSystem* audio)
{
    std::unique_lock<std::mutex> held(audio->lock);
    while (!audio->quit) {
        held.unlock();
        audio_service_streams(audio);
        held.lock();
        if (audio_sound_count(audio) == 0) {
            // Nothing to feed or release: sleep until a play wakes us, so
            // that an idle player costs no CPU.
            audio->wake.wait(held, [audio] { return audio->wake_due || audio->quit; });
        } else if (!audio->wake_due && !audio->quit) {
            audio->wake.wait_for(held, STREAM_POLL);
        }
        audio->wake_due = false;
    }
}

void free_slot(AudioSound* sound)
{
    decoder_close(&sound->decoder);
    ring_reset(&sound->ring);
    sound->fully_fed.store(false, std::memory_order_relaxed);
    sound->state.store(SOUND_FREE, std::memory_order_release);
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
    if (sound != nullptr || !audio->threaded) {
        return sound;
    }
    // Every slot is taken, some perhaps by streams still fading out after a
    // stop: give the callback and the streaming thread a moment to free one.
    auto deadline = std::chrono::steady_clock::now() + SLOT_WAIT;
    std::unique_lock<std::mutex> held(audio->lock);
    while ((sound = try_claim_slot(audio)) == nullptr) {
        if (audio->slot_freed.wait_until(held, deadline) == std::cv_status::timeout) {
            return try_claim_slot(audio);
        }
    }
    return sound;
}

bool owns_sound(const AudioSystem* audio, const AudioSound* sound)
{
    for (const AudioSound& slot : audio->sounds) {
        if (&slot == sound) {
            return true;
        }
    }
    return false;
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
    for (;;) {
        if (count_in_state(audio, SOUND_PLAYING) < audio->channel_count) {
            return;
        }
        AudioSound* oldest = nullptr;
        for (AudioSound& sound : audio->sounds) {
            if (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING &&
                (oldest == nullptr || sound.started < oldest->started)) {
                oldest = &sound;
            }
        }
        if (oldest == nullptr) {
            return;
        }
        // Fails only when the stream ended by itself meanwhile; look again.
        int expected = SOUND_PLAYING;
        oldest->state.compare_exchange_strong(expected, SOUND_STOPPING, std::memory_order_acq_rel);
    }
}

void set_error(AudioSystem* audio, const char* text)
{
    std::snprintf(audio->last_error, sizeof audio->last_error, "%s", text);
}

void mix_callback(void* userdata, uint8_t* stream, int length)
{
    audio_mix(static_cast<AudioSystem*>(userdata), stream, length);
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
    audio->created = true;
    return true;
}

bool audio_system_start(AudioSystem* audio, int channel_count, const AudioOutput* output, bool streaming_thread,
                        char* error, int error_size)
{
    size_t size = static_cast<size_t>(error_size);
    if (audio == nullptr || !audio->created || audio->running) {
        std::snprintf(error, size, "the audio system was not created, or is already running");
        return false;
    }
    if (channel_count < 1 || channel_count > AUDIO_MAX_CHANNELS) {
        std::snprintf(error, size, "cannot mix %d channels (1 to %d)", channel_count, AUDIO_MAX_CHANNELS);
        return false;
    }
    if (output->rate <= 0 || output->channels < 1 || !format_supported(output->format)) {
        std::snprintf(error, size, "unsupported audio output: %d Hz, %d channels, format 0x%x", output->rate,
                      output->channels, output->format);
        return false;
    }
    audio->channel_count = channel_count;
    audio->output = *output;
    audio->fade_frames = output->rate * FADE_MS / 1000;
    if (audio->fade_frames < 1) {
        audio->fade_frames = 1;
    }
    long ahead = static_cast<long>(output->rate) * AHEAD_MS / 1000;
    audio->ahead_frames = ahead < RING_FRAMES ? static_cast<int>(ahead) : RING_FRAMES;
    audio->play_count = 0;
    audio->group_gain = 1.0f;
    audio->master.paused.store(false);
    for (AudioSound& sound : audio->sounds) {
        sound.decoder.file_open = false;
        sound.decoder.mpg = nullptr;
        sound.decoder.resampler = nullptr;
        free_slot(&sound);
    }
    audio->quit = false;
    audio->wake_due = false;
    audio->threaded = streaming_thread;
    if (streaming_thread) {
        try {
            audio->streamer = std::thread(streaming_loop, audio);
        } catch (const std::system_error& failure) {
            std::snprintf(error, size, "cannot start the audio streaming thread: %s", failure.what());
            audio->threaded = false;
            return false;
        }
    }
    audio->running = true;
    return true;
}

bool audio_system_init(AudioSystem* audio, int channel_count, char* error, int error_size)
{
    size_t size = static_cast<size_t>(error_size);
    if (audio == nullptr || !audio->created || audio->running) {
        std::snprintf(error, size, "the audio system was not created, or is already running");
        return false;
    }
    if (SDL_WasInit(SDL_INIT_AUDIO) == 0 && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        std::snprintf(error, size, "cannot start SDL audio: %s", SDL_GetError());
        return false;
    }
    SDL_AudioSpec wanted = {};
    wanted.freq = REQUESTED_RATE;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = REQUESTED_CHANNELS;
    wanted.samples = REQUESTED_BUFFER_FRAMES;
    wanted.callback = mix_callback;
    wanted.userdata = audio;
    SDL_AudioSpec granted = {};
    if (SDL_OpenAudio(&wanted, &granted) != 0) {
        std::snprintf(error, size, "cannot open the audio device: %s", SDL_GetError());
        return false;
    }
    AudioOutput output = {granted.freq, granted.channels, granted.format};
    // The device starts paused: the callback runs only once the engine is
    // ready for it.
    if (!audio_system_start(audio, channel_count, &output, true, error, error_size)) {
        SDL_CloseAudio();
        return false;
    }
    audio->device_open = true;
    // Taking the device's lock once orders everything set up above before
    // the callback's first run.
    SDL_LockAudio();
    SDL_UnlockAudio();
    SDL_PauseAudio(0);
    return true;
}

void audio_system_close(AudioSystem* audio)
{
    if (audio == nullptr) {
        return;
    }
    // Normally SDL_Quit has already closed the device and with it the
    // callback; when it has not, close the device here so that the callback
    // stops before the streams go.
    if (audio->device_open && SDL_WasInit(SDL_INIT_AUDIO) != 0) {
        SDL_CloseAudio();
    }
    audio->device_open = false;
    if (audio->streamer.joinable()) {
        {
            std::lock_guard<std::mutex> held(audio->lock);
            audio->quit = true;
        }
        audio->wake.notify_one();
        audio->streamer.join();
    }
    audio->threaded = false;
    if (audio->running) {
        for (AudioSound& sound : audio->sounds) {
            free_slot(&sound);
        }
    }
    audio->running = false;
}

AudioSound* audio_create_stream(AudioSystem* audio, const char* path)
{
    if (audio == nullptr || !audio->running || path == nullptr) {
        return nullptr;
    }
    AudioSound* sound = claim_slot(audio);
    if (sound == nullptr) {
        set_error(audio, "too many streams open at once");
        return nullptr;
    }
    ring_reset(&sound->ring);
    sound->fully_fed.store(false, std::memory_order_relaxed);
    if (!decoder_open(&sound->decoder, path, audio->output.rate, audio->last_error, sizeof audio->last_error)) {
        sound->state.store(SOUND_FREE, std::memory_order_release);
        return nullptr;
    }
    sound->state.store(SOUND_OPEN, std::memory_order_release);
    return sound;
}

bool audio_play_sound(AudioSystem* audio, AudioSound* sound)
{
    if (audio == nullptr || !audio->running || sound == nullptr || !owns_sound(audio, sound) ||
        sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return false;
    }
    int start_frames = audio->output.rate * START_MS / 1000;
    if (decoder_fill(&sound->decoder, &sound->ring, start_frames)) {
        decoder_close(&sound->decoder);
        sound->fully_fed.store(true, std::memory_order_release);
    }
    stop_oldest(audio);
    sound->fade = 1.0f;
    sound->started = ++audio->play_count;
    sound->state.store(SOUND_PLAYING, std::memory_order_release);
    if (audio->threaded) {
        wake_streamer(audio);
    }
    return true;
}

void audio_release_sound(AudioSystem* audio, AudioSound* sound)
{
    if (audio == nullptr || sound == nullptr || !owns_sound(audio, sound) ||
        sound->state.load(std::memory_order_acquire) != SOUND_OPEN) {
        return;
    }
    free_slot(sound);
}

AudioGroup* audio_master_group(AudioSystem* audio)
{
    return audio == nullptr ? nullptr : &audio->master;
}

bool audio_group_paused(const AudioGroup* group)
{
    return group != nullptr && group->paused.load(std::memory_order_acquire);
}

void audio_group_set_paused(AudioGroup* group, bool paused)
{
    if (group != nullptr) {
        group->paused.store(paused, std::memory_order_release);
    }
}

void audio_group_stop(AudioGroup* group)
{
    if (group == nullptr || group->system == nullptr) {
        return;
    }
    for (AudioSound& sound : group->system->sounds) {
        int expected = SOUND_PLAYING;
        sound.state.compare_exchange_strong(expected, SOUND_STOPPING, std::memory_order_acq_rel);
    }
}

void audio_service_streams(AudioSystem* audio)
{
    bool freed = false;
    for (AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_PLAYING && !sound.fully_fed.load(std::memory_order_relaxed)) {
            if (decoder_fill(&sound.decoder, &sound.ring, audio->ahead_frames)) {
                // Everything is in the ring: the file can go now.
                decoder_close(&sound.decoder);
                sound.fully_fed.store(true, std::memory_order_release);
            }
        } else if (state == SOUND_DONE) {
            free_slot(&sound);
            freed = true;
        }
    }
    if (freed && audio->threaded) {
        std::lock_guard<std::mutex> held(audio->lock);
        audio->slot_freed.notify_all();
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
