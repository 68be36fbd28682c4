// Winding the mix back to a chunk a sound server still holds.
#include "playback/history.h"

#include <algorithm>
#include <climits>

namespace {

MixMark* mark_at(AudioSystem* audio, int age)
{
    AudioHistory* h = &audio->history;
    return &h->marks[(h->oldest + age) % AUDIO_HISTORY_MARKS];
}

// The rings keep everything from the oldest chunk on: a stream on a channel
// there from where it then was, a stream started since from its start.
void keep_from_oldest(AudioSystem* audio)
{
    const MixMark* oldest = audio->history.count > 0 ? mark_at(audio, 0) : nullptr;
    for (int slot = 0; slot < AUDIO_SOUND_SLOTS; ++slot) {
        AudioRing* ring = &audio->sounds[slot].ring;
        uint32_t position = ring_read_position(ring);
        if (oldest != nullptr) {
            position = oldest->state[slot] != 0 ? oldest->ring_read[slot] : 0;
        }
        ring_keep_from(ring, position);
    }
    int64_t forgotten = oldest != nullptr ? oldest->frame : INT64_MAX;
    audio->history.forgotten.store(forgotten, std::memory_order_release);
}

void drop_oldest(AudioSystem* audio)
{
    AudioHistory* h = &audio->history;
    h->oldest = (h->oldest + 1) % AUDIO_HISTORY_MARKS;
    --h->count;
}

} // namespace

int64_t rewrite_start(int64_t heard, int64_t written, int64_t oldest, int margin)
{
    int64_t wanted = std::max(heard + margin, oldest);
    int64_t chunk = AUDIO_MIX_CHUNK;
    int64_t start = (wanted + chunk - 1) / chunk * chunk;
    return std::min(start, written);
}

void history_clear(AudioSystem* audio)
{
    AudioHistory* h = &audio->history;
    h->mixed = 0;
    h->oldest = 0;
    h->count = 0;
    keep_from_oldest(audio);
}

void history_keep(AudioSystem* audio)
{
    audio->config.keeps_history = true;
    history_clear(audio);
}

void history_mark(AudioSystem* audio)
{
    AudioHistory* h = &audio->history;
    if (h->count == AUDIO_HISTORY_MARKS) {
        // The server holds more than the history reaches: the oldest chunk
        // can no longer be written again, and its frames may go.
        drop_oldest(audio);
        keep_from_oldest(audio);
    }
    MixMark* mark = mark_at(audio, h->count);
    ++h->count;
    mark->frame = h->mixed;
    mark->group_gain = audio->callback.group_gain;
    mark->quiet_frames = audio->callback.quiet_frames;
    for (int slot = 0; slot < AUDIO_SOUND_SLOTS; ++slot) {
        AudioSound* sound = &audio->sounds[slot];
        int state = sound->state.load(std::memory_order_acquire);
        bool on_channel = state == SOUND_PLAYING || state == SOUND_STOPPING;
        mark->state[slot] = on_channel ? state : 0;
        mark->fade[slot] = audio->callback.fade[slot];
        mark->ring_read[slot] = ring_read_position(&sound->ring);
    }
    if (h->count == 1) {
        // The first mark is the oldest: from here on a finished stream is
        // kept until the listener has passed its end.
        keep_from_oldest(audio);
    }
}

void history_after_mix(AudioSystem* audio)
{
    if (audio->config.keeps_history) {
        return;
    }
    for (AudioSound& sound : audio->sounds) {
        ring_keep_from(&sound.ring, ring_read_position(&sound.ring));
    }
}

void history_heard(AudioSystem* audio, int64_t heard)
{
    AudioHistory* h = &audio->history;
    // The chunk playing now stays: winding back to it repeats at most a
    // chunk of what was heard, where the next would skip some.
    int dropped = 0;
    while (h->count > 1 && mark_at(audio, 1)->frame <= heard) {
        drop_oldest(audio);
        ++dropped;
    }
    if (dropped > 0) {
        keep_from_oldest(audio);
    }
}

int64_t history_oldest(const AudioSystem* audio)
{
    const AudioHistory* h = &audio->history;
    return h->count > 0 ? h->marks[h->oldest].frame : h->mixed;
}

bool history_rewind(AudioSystem* audio, int64_t frame)
{
    AudioHistory* h = &audio->history;
    int age = 0;
    while (age < h->count && mark_at(audio, age)->frame < frame) {
        ++age;
    }
    if (age == h->count || mark_at(audio, age)->frame != frame) {
        return false;
    }
    const MixMark* mark = mark_at(audio, age);
    AudioCallback* mixing = &audio->callback;
    mixing->group_gain = mark->group_gain;
    mixing->quiet_frames = mark->quiet_frames;
    for (int slot = 0; slot < AUDIO_SOUND_SLOTS; ++slot) {
        AudioSound* sound = &audio->sounds[slot];
        int state = sound->state.load(std::memory_order_acquire);
        bool stopped = sound->stopped.load(std::memory_order_acquire);
        if (mark->state[slot] != 0) {
            if (state == SOUND_DONE) {
                // Ended after the mark, and kept for this: it comes back as
                // it was then, fading out if it has been stopped since.
                int back = stopped ? SOUND_STOPPING : mark->state[slot];
                if (!sound->state.compare_exchange_strong(state, back, std::memory_order_acq_rel)) {
                    continue;
                }
            } else if (state != SOUND_PLAYING && state != SOUND_STOPPING) {
                continue;
            }
            mixing->fade[slot] = mark->fade[slot];
            ring_rewind(&sound->ring, mark->ring_read[slot]);
        } else if (state == SOUND_PLAYING || state == SOUND_STOPPING ||
                   (state == SOUND_DONE && sound->done_at.load(std::memory_order_acquire) >= frame)) {
            // Started after the mark: it starts there instead, whole.
            int back = state == SOUND_DONE ? (stopped ? SOUND_STOPPING : SOUND_PLAYING) : state;
            if (state == SOUND_DONE && !sound->state.compare_exchange_strong(state, back, std::memory_order_acq_rel)) {
                continue;
            }
            mixing->fade[slot] = 1.0f;
            ring_rewind(&sound->ring, 0);
        }
    }
    // What came after is written again; the mark itself is written again too.
    h->count = age;
    h->mixed = frame;
    return true;
}

bool history_may_release(const AudioSystem* audio, const AudioSound* sound)
{
    return !audio->config.keeps_history ||
           sound->done_at.load(std::memory_order_acquire) < audio->history.forgotten.load(std::memory_order_acquire);
}
