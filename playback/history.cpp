// Winding the mix back to a chunk a sound server still holds.
#include "playback/history.h"

#include <algorithm>

namespace {

MixMark* mark_at(AudioSystem* audio, int age)
{
    AudioHistory* h = &audio->history;
    return &h->marks[(h->oldest + age) % AUDIO_HISTORY_MARKS];
}

bool in_the_mix(const AudioSound* sound)
{
    int state = sound->state.load(std::memory_order_acquire);
    return state == SOUND_PLAYING || state == SOUND_STOPPING;
}

// Each ring in the mix keeps everything from where it was at the oldest
// chunk on; the others are not the mix's to touch.
void keep_from_oldest(AudioSystem* audio)
{
    const MixMark* oldest = audio->history.count > 0 ? mark_at(audio, 0) : nullptr;
    for (int i = 0; i < AUDIO_SOUNDS; ++i) {
        AudioSound* sound = &audio->sounds[i];
        if (in_the_mix(sound)) {
            AudioRing* ring = &sound->ring;
            ring_keep_from(ring, oldest != nullptr ? oldest->ring_read[i] : ring_read_position(ring));
        }
    }
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
    audio->history.mixed = 0;
    history_forget(audio);
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
        // can no longer be written again.
        h->oldest = (h->oldest + 1) % AUDIO_HISTORY_MARKS;
        --h->count;
    }
    MixMark* mark = mark_at(audio, h->count);
    ++h->count;
    mark->frame = h->mixed;
    mark->group_gain = audio->mixing.group_gain;
    mark->last_sounding = audio->mixing.last_sounding;
    for (int i = 0; i < AUDIO_SOUNDS; ++i) {
        const AudioSound* sound = &audio->sounds[i];
        mark->ring_read[i] = ring_read_position(&sound->ring);
        mark->fade[i] = sound->fade;
        mark->ended_at[i] = sound->ended_at;
    }
    keep_from_oldest(audio);
}

void history_forget(AudioSystem* audio)
{
    audio->history.oldest = 0;
    audio->history.count = 0;
    keep_from_oldest(audio);
}

void history_heard(AudioSystem* audio, int64_t heard)
{
    AudioHistory* h = &audio->history;
    // The chunk playing now stays: winding back to it repeats at most a
    // chunk of what was heard, where the next would skip some.
    int dropped = 0;
    while (h->count > 1 && mark_at(audio, 1)->frame <= heard) {
        h->oldest = (h->oldest + 1) % AUDIO_HISTORY_MARKS;
        --h->count;
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
    audio->mixing.group_gain = mark->group_gain;
    audio->mixing.last_sounding = mark->last_sounding;
    for (int i = 0; i < AUDIO_SOUNDS; ++i) {
        AudioSound* sound = &audio->sounds[i];
        if (in_the_mix(sound)) {
            sound->fade = mark->fade[i];
            sound->ended_at = mark->ended_at[i];
            ring_rewind(&sound->ring, mark->ring_read[i]);
        }
    }
    // The mark itself is written again too.
    h->count = age;
    h->mixed = frame;
    return true;
}
