// The mix the audio callback runs: reads the rings of the song playing and
// the one fading out, applies the pause fade and the stop fade, and writes
// 16-bit stereo frames, as every output takes them. It never blocks: all it
// shares with other threads is atomics, and a write to the streaming
// thread's wake-up descriptor.
//
// Nearly always one song plays at full gain: its ring's frames are then the
// output's, bit for bit, and are copied out as they are. Only fades and a
// stop under a new play go through the mix in float.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "playback/history.h"
#include "playback/mixer.h"
#include "playback/output.h"
#include "playback/streamer.h"

namespace {

// Full scale of a float sample in the ring's 16-bit samples.
constexpr float INT16_SCALE = 32767.0f;

// A float sample (full scale 1.0) as an output sample: clipped, rounded, and
// silent for NaN.
int16_t to_int16(float sample)
{
    float v = sample > 1.0f ? 1.0f : (sample < -1.0f ? -1.0f : sample);
    if (!(v == v)) {
        v = 0.0f;
    }
    return static_cast<int16_t>(std::lrintf(v * INT16_SCALE));
}

void write_output(const AudioMix* mixing, int16_t* out, int frames)
{
    for (int i = 0; i < frames * RING_CHANNELS; ++i) {
        out[i] = to_int16(mixing->mix[i]);
    }
}

// The pause fade's gain for each frame, moved toward its target by one step
// a frame. Returns how many leading frames advance the songs: once a pause
// has faded to silence they hold their place.
int pause_gains(const AudioSystem* audio, AudioMix* mixing, int frames, float step)
{
    bool paused = audio->paused.load(std::memory_order_acquire);
    float target = paused ? 0.0f : 1.0f;
    float gain = mixing->group_gain;
    int live = frames;
    for (int i = 0; i < frames; ++i) {
        gain = gain < target ? std::min(target, gain + step) : std::max(target, gain - step);
        // Steps summed in float miss the target by a rounding: left there, a
        // pause would play one more frame at no gain, a frame that a resume
        // then skips.
        if (std::fabs(gain - target) < step / 2) {
            gain = target;
        }
        mixing->gains[i] = gain;
        if (paused && gain <= 0.0f) {
            live = i;
            break;
        }
    }
    mixing->group_gain = gain;
    return live;
}

bool sounds_now(const AudioSound* sound)
{
    int state = sound->state.load(std::memory_order_acquire);
    return (state == SOUND_PLAYING || state == SOUND_STOPPING) && sound->ended_at < 0;
}

// Wakes the streaming thread once the song's ring holds less ahead than the
// most an output may take at once, plus time to decode more.
void ask_for_more(AudioSystem* audio, const AudioSound* sound, bool fed)
{
    if (!fed && sound->state.load(std::memory_order_relaxed) == SOUND_PLAYING &&
        ring_buffered(&sound->ring) < audio->config.low_frames) {
        streamer_ask(audio);
    }
}

// Took got of the wanted frames of a sound at chunk_start: notes where it
// fell silent, or the silence the streaming thread let in.
void after_read(AudioSystem* audio, AudioSound* sound, bool fed, int got, int wanted, int64_t chunk_start)
{
    if (got > 0) {
        audio->mixing.last_sounding = std::max(audio->mixing.last_sounding, chunk_start + got);
    }
    if (got < wanted && sound->state.load(std::memory_order_relaxed) == SOUND_PLAYING) {
        if (fed) {
            sound->ended_at = chunk_start + got;
        } else {
            audio->mixing.underrun_frames.fetch_add(wanted - got, std::memory_order_relaxed);
        }
    }
    ask_for_more(audio, sound, fed);
}

void mix_sound(AudioSystem* audio, AudioSound* sound, int live, float step, int64_t chunk_start)
{
    AudioMix* mixing = &audio->mixing;
    // Read before the ring: once this says the whole stream is in, an empty
    // ring means the stream has ended rather than run short.
    bool fed = sound->fully_fed.load(std::memory_order_acquire);
    bool stopping = sound->state.load(std::memory_order_acquire) == SOUND_STOPPING;
    // Frames until a stopping sound's fade reaches silence; the small
    // allowance keeps float rounding from leaving a last inaudible frame.
    int left = stopping ? static_cast<int>(std::ceil(sound->fade / step - 0.001f)) : live;
    if (stopping && (left <= 0 || live == 0)) {
        // Faded out already, or paused and so silent.
        sound->ended_at = chunk_start;
        return;
    }
    int wanted = std::min(live, left);
    int got = ring_read(&sound->ring, mixing->taken, wanted);
    float fade = sound->fade;
    for (int i = 0; i < got; ++i) {
        if (stopping) {
            fade = std::max(0.0f, fade - step);
        }
        float gain = mixing->gains[i] * fade / INT16_SCALE;
        mixing->mix[i * RING_CHANNELS] += static_cast<float>(mixing->taken[i * RING_CHANNELS]) * gain;
        mixing->mix[i * RING_CHANNELS + 1] += static_cast<float>(mixing->taken[i * RING_CHANNELS + 1]) * gain;
    }
    sound->fade = fade;
    if (stopping && (got == left || got < wanted)) {
        sound->ended_at = chunk_start + got;
    }
    after_read(audio, sound, fed, got, wanted, chunk_start);
}

// The one sound in the mix when it plays at full gain and the pause is not
// fading either, so that the mix would only copy it; otherwise nullptr.
AudioSound* sole_unfaded_sound(AudioSystem* audio)
{
    if (audio->paused.load(std::memory_order_acquire) || audio->mixing.group_gain != 1.0f) {
        return nullptr;
    }
    AudioSound* sole = nullptr;
    for (AudioSound& sound : audio->sounds) {
        if (sounds_now(&sound)) {
            if (sole != nullptr || sound.fade != 1.0f || sound.state.load(std::memory_order_acquire) != SOUND_PLAYING) {
                return nullptr;
            }
            sole = &sound;
        }
    }
    return sole;
}

// mix_sound's work for the sole unfaded sound, straight into the output.
void copy_sound(AudioSystem* audio, AudioSound* sound, int16_t* out, int frames, int64_t chunk_start)
{
    bool fed = sound->fully_fed.load(std::memory_order_acquire);
    int got = ring_read(&sound->ring, out, frames);
    std::fill(out + got * RING_CHANNELS, out + frames * RING_CHANNELS, int16_t{0});
    after_read(audio, sound, fed, got, frames, chunk_start);
}

} // namespace

void audio_mix(AudioSystem* audio, uint8_t* out, int bytes)
{
    if (audio == nullptr || !audio->caller.running) {
        std::memset(out, 0, static_cast<size_t>(bytes));
        return;
    }
    AudioMix* mixing = &audio->mixing;
    AudioHistory* history = &audio->history;
    auto* samples = reinterpret_cast<int16_t*>(out);
    int frames = bytes / AUDIO_FRAME_BYTES;
    float step = 1.0f / static_cast<float>(audio->config.fade_frames);
    int done = 0;
    while (done < frames) {
        int n = std::min(AUDIO_MIX_CHUNK, frames - done);
        if (audio->config.keeps_history) {
            // Chunks start on multiples of their length, each noted, so that
            // the mix can be wound back to any of them.
            int into_chunk = static_cast<int>(history->mixed % AUDIO_MIX_CHUNK);
            if (into_chunk == 0) {
                history_mark(audio);
            }
            n = std::min(n, AUDIO_MIX_CHUNK - into_chunk);
        }
        int64_t chunk_start = history->mixed;
        int16_t* chunk = samples + done * RING_CHANNELS;
        AudioSound* sole = sole_unfaded_sound(audio);
        if (sole != nullptr) {
            copy_sound(audio, sole, chunk, n, chunk_start);
        } else {
            std::fill(mixing->mix, mixing->mix + n * RING_CHANNELS, 0.0f);
            int live = pause_gains(audio, mixing, n, step);
            for (AudioSound& sound : audio->sounds) {
                if (sounds_now(&sound)) {
                    mix_sound(audio, &sound, live, step, chunk_start);
                }
            }
            write_output(mixing, chunk, n);
        }
        history->mixed += n;
        done += n;
    }
    std::memset(out + done * AUDIO_FRAME_BYTES, 0, static_cast<size_t>(bytes - done * AUDIO_FRAME_BYTES));
    if (!audio->config.keeps_history) {
        // What is written is as good as heard: the device holds little.
        mix_heard(audio, history->mixed);
    }
}

void mix_heard(AudioSystem* audio, int64_t heard)
{
    if (audio->config.keeps_history) {
        history_heard(audio, heard);
    } else {
        history_forget(audio);
    }
    bool finished = false;
    for (AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if ((state == SOUND_PLAYING || state == SOUND_STOPPING) && sound.ended_at >= 0 && sound.ended_at <= heard) {
            sound.state.store(SOUND_DONE, std::memory_order_release);
            finished = true;
        }
    }
    if (finished) {
        streamer_ask(audio);
    }
    audio->device.quiet_frames.store(std::max<int64_t>(0, heard - audio->mixing.last_sounding),
                                     std::memory_order_release);
    if (mix_may_close(audio) && !audio->device.told.exchange(true)) {
        output_notify(audio);
    }
}

void mix_restart(AudioSystem* audio)
{
    history_clear(audio);
    audio->mixing.last_sounding = 0;
    audio->device.quiet_frames.store(0, std::memory_order_release);
    audio->device.told.store(false, std::memory_order_release);
    for (AudioSound& sound : audio->sounds) {
        sound.started_at = -1;
    }
}

bool mix_may_close(const AudioSystem* audio)
{
    if (!audio->device.open.load(std::memory_order_acquire) ||
        audio->device.quiet_frames.load(std::memory_order_acquire) < audio->config.linger_frames) {
        return false;
    }
    if (audio->paused.load(std::memory_order_acquire)) {
        return true;
    }
    for (const AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_PLAYING || state == SOUND_STOPPING) {
            return false;
        }
    }
    return true;
}
