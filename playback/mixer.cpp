// The mix the audio callback runs: reads each channel's ring, applies the
// group's pause fade and each stream's stop fade, and writes the device's
// format. It never blocks: all it shares with other threads is atomics.
//
// Nearly always one song plays at full gain into a 16-bit stereo device in
// the machine's byte order: its ring's frames are then the output's, bit
// for bit, and are copied out as they are. Only fades, streams overlapping
// and other formats go through the mix in float.
#include <SDL.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "playback/history.h"
#include "playback/mixer.h"

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

// Whether the output takes the ring's frames as they are.
bool is_ring_format(const AudioOutput* output)
{
    return output->format == AUDIO_S16SYS && output->channels == RING_CHANNELS;
}

int sample_bytes(uint16_t format)
{
    return (format & 0xFF) / 8;
}

bool is_signed(uint16_t format)
{
    return (format & 0x8000) != 0;
}

bool is_big_endian(uint16_t format)
{
    return (format & 0x1000) != 0;
}

void write_silence(uint16_t format, uint8_t* out, int bytes)
{
    if (is_signed(format)) {
        std::memset(out, 0, static_cast<size_t>(bytes));
        return;
    }
    // Unsigned formats are silent at mid-scale.
    if (sample_bytes(format) == 1) {
        std::memset(out, 0x80, static_cast<size_t>(bytes));
        return;
    }
    for (int i = 0; i + 1 < bytes; i += 2) {
        out[i] = is_big_endian(format) ? 0x80 : 0x00;
        out[i + 1] = is_big_endian(format) ? 0x00 : 0x80;
    }
}

void put_sample(uint16_t format, uint8_t* out, int16_t value)
{
    if (sample_bytes(format) == 1) {
        int8_t high = static_cast<int8_t>(value >> 8);
        out[0] = is_signed(format) ? static_cast<uint8_t>(high) : static_cast<uint8_t>(high + 128);
        return;
    }
    uint16_t bits = static_cast<uint16_t>(value);
    if (!is_signed(format)) {
        bits = static_cast<uint16_t>(bits + 32768u);
    }
    uint8_t low = static_cast<uint8_t>(bits & 0xFF);
    uint8_t high = static_cast<uint8_t>(bits >> 8);
    out[0] = is_big_endian(format) ? high : low;
    out[1] = is_big_endian(format) ? low : high;
}

void write_output(const AudioOutput* output, const AudioCallback* mixing, uint8_t* out, int frames)
{
    if (is_ring_format(output)) {
        auto* samples = reinterpret_cast<int16_t*>(out);
        for (int i = 0; i < frames * RING_CHANNELS; ++i) {
            samples[i] = to_int16(mixing->mix[i]);
        }
        return;
    }
    uint16_t format = output->format;
    int channels = output->channels;
    int width = sample_bytes(format);
    for (int i = 0; i < frames; ++i) {
        float left = mixing->mix[i * RING_CHANNELS];
        float right = mixing->mix[i * RING_CHANNELS + 1];
        uint8_t* frame = out + i * channels * width;
        if (channels == 1) {
            put_sample(format, frame, to_int16((left + right) * 0.5f));
            continue;
        }
        put_sample(format, frame, to_int16(left));
        put_sample(format, frame + width, to_int16(right));
        // Surround outputs get the pair on the front speakers only.
        for (int c = 2; c < channels; ++c) {
            put_sample(format, frame + c * width, 0);
        }
    }
}

// The group's gain for each frame, moved toward its target by one fade step
// a frame. Returns how many leading frames advance the streams: once a pause
// has faded to silence they hold their place.
int group_gains(const AudioGroup* group, AudioCallback* mixing, int frames, float step)
{
    bool paused = group->paused.load(std::memory_order_acquire);
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

void end_sound(AudioSound* sound, int64_t chunk_start)
{
    sound->done_at.store(chunk_start, std::memory_order_relaxed);
    sound->state.store(SOUND_DONE, std::memory_order_release);
}

// Returns whether the sound was on a channel and the group let it be heard.
// A sound that ends is noted as ending in the chunk starting at chunk_start.
bool mix_sound(AudioSound* sound, float* fade_of_sound, AudioCallback* mixing, int live, float step,
               int64_t chunk_start)
{
    int state = sound->state.load(std::memory_order_acquire);
    if (state != SOUND_PLAYING && state != SOUND_STOPPING) {
        return false;
    }
    // Read before the ring: once this says the whole stream is in, an empty
    // ring means the stream has ended rather than run short.
    bool fed = sound->fully_fed.load(std::memory_order_acquire);
    bool stopping = state == SOUND_STOPPING;
    // Frames until a stopping stream's fade reaches silence; the small
    // allowance keeps float rounding from leaving a last inaudible frame.
    int left = stopping ? static_cast<int>(std::ceil(*fade_of_sound / step - 0.001f)) : live;
    if (stopping && (left <= 0 || live == 0)) {
        // Faded out already, or the group is paused and this is silent.
        end_sound(sound, chunk_start);
        return false;
    }
    int wanted = std::min(live, left);
    int got = ring_read(&sound->ring, mixing->taken, wanted);
    float fade = *fade_of_sound;
    for (int i = 0; i < got; ++i) {
        if (stopping) {
            fade = std::max(0.0f, fade - step);
        }
        float gain = mixing->gains[i] * fade / INT16_SCALE;
        mixing->mix[i * RING_CHANNELS] += static_cast<float>(mixing->taken[i * RING_CHANNELS]) * gain;
        mixing->mix[i * RING_CHANNELS + 1] += static_cast<float>(mixing->taken[i * RING_CHANNELS + 1]) * gain;
    }
    *fade_of_sound = fade;
    if (stopping && (got == left || got < wanted)) {
        // Faded out, or nothing left to play.
        end_sound(sound, chunk_start);
    } else if (!stopping && fed && got < wanted) {
        // A stop may have come in meanwhile; then the next pass ends it.
        sound->done_at.store(chunk_start, std::memory_order_relaxed);
        int expected = SOUND_PLAYING;
        sound->state.compare_exchange_strong(expected, SOUND_DONE, std::memory_order_acq_rel);
    }
    return live > 0;
}

// The one stream on a channel when it plays at full gain and the group is
// not fading either, so that the mix would only copy it; otherwise nullptr.
AudioSound* sole_unfaded_sound(AudioSystem* audio)
{
    const AudioCallback* mixing = &audio->callback;
    if (audio->master.paused.load(std::memory_order_acquire) || mixing->group_gain != 1.0f) {
        return nullptr;
    }
    AudioSound* sole = nullptr;
    for (int slot = 0; slot < AUDIO_SOUND_SLOTS; ++slot) {
        int state = audio->sounds[slot].state.load(std::memory_order_acquire);
        if (state == SOUND_STOPPING || (state == SOUND_PLAYING && (sole != nullptr || mixing->fade[slot] != 1.0f))) {
            return nullptr;
        }
        if (state == SOUND_PLAYING) {
            sole = &audio->sounds[slot];
        }
    }
    return sole;
}

// mix_sound's work for the sole unfaded stream, straight into the output.
void copy_sound(AudioSound* sound, uint8_t* out, int frames, int64_t chunk_start)
{
    bool fed = sound->fully_fed.load(std::memory_order_acquire);
    int got = ring_read(&sound->ring, reinterpret_cast<int16_t*>(out), frames);
    size_t frame_bytes = RING_CHANNELS * sizeof(int16_t);
    std::memset(out + static_cast<size_t>(got) * frame_bytes, 0, static_cast<size_t>(frames - got) * frame_bytes);
    if (fed && got < frames) {
        // A stop may have come in meanwhile; then the next pass ends it.
        sound->done_at.store(chunk_start, std::memory_order_relaxed);
        int expected = SOUND_PLAYING;
        sound->state.compare_exchange_strong(expected, SOUND_DONE, std::memory_order_acq_rel);
    }
}

} // namespace

void audio_mix(AudioSystem* audio, uint8_t* out, int bytes)
{
    if (audio == nullptr || !audio->caller.running) {
        std::memset(out, 0, static_cast<size_t>(bytes));
        return;
    }
    const AudioOutput* output = &audio->config.output;
    AudioCallback* mixing = &audio->callback;
    uint16_t format = output->format;
    int frame_bytes = sample_bytes(format) * output->channels;
    int frames = bytes / frame_bytes;
    float step = 1.0f / static_cast<float>(audio->config.fade_frames);
    bool marked = audio->config.keeps_history;
    AudioHistory* history = &audio->history;
    int done = 0;
    bool copies = is_ring_format(output);
    while (done < frames) {
        int n = std::min(AUDIO_MIX_CHUNK, frames - done);
        if (marked) {
            // Chunks start on multiples of their length, each noted, so that
            // the mix can be wound back to any of them.
            int into_chunk = static_cast<int>(history->mixed % AUDIO_MIX_CHUNK);
            if (into_chunk == 0) {
                history_mark(audio);
            }
            n = std::min(n, AUDIO_MIX_CHUNK - into_chunk);
        }
        int64_t chunk_start = history->mixed - history->mixed % AUDIO_MIX_CHUNK;
        AudioSound* sole = copies ? sole_unfaded_sound(audio) : nullptr;
        if (sole != nullptr) {
            copy_sound(sole, out + done * frame_bytes, n, chunk_start);
            mixing->quiet_frames = 0;
            history->mixed += n;
            done += n;
            continue;
        }
        std::fill(mixing->mix, mixing->mix + n * RING_CHANNELS, 0.0f);
        int live = group_gains(&audio->master, mixing, n, step);
        bool sounded = false;
        for (int slot = 0; slot < AUDIO_SOUND_SLOTS; ++slot) {
            sounded = mix_sound(&audio->sounds[slot], &mixing->fade[slot], mixing, live, step, chunk_start) || sounded;
        }
        // Counts on from silence; held well below overflow.
        mixing->quiet_frames = sounded ? 0 : std::min(mixing->quiet_frames + n, INT_MAX / 2);
        write_output(output, mixing, out + done * frame_bytes, n);
        history->mixed += n;
        done += n;
    }
    history_after_mix(audio);
    if (!marked) {
        // What is written is as good as heard: the device holds little.
        audio->device.quiet_frames.store(mixing->quiet_frames, std::memory_order_release);
    }
    write_silence(format, out + done * frame_bytes, bytes - done * frame_bytes);
}
