// What a sound server's output has been given and may still take back. At
// the start of each chunk the mix notes where every stream's ring was, how
// far each fade had gone and what each stream was doing; the rings keep
// what lies behind. A pause, a resume, a stop or a play then winds the mix
// back to the chunk the listener is about to hear, makes its change, and has
// the output write the mix again from there, so that the change is heard at
// once however much the server holds.
//
// All of it is the callback's, and the caller's while it holds the output;
// history_may_release is for the streaming thread.
#pragma once

#include <cstdint>

#include "playback/engine.h"

// The first frame to write again so that a change made now is heard at once:
// margin frames past what is heard, on the next chunk start, no earlier than
// the oldest chunk remembered and no later than what has been written.
// Equals written when nothing can be taken back.
int64_t rewrite_start(int64_t heard, int64_t written, int64_t oldest, int margin);

// Empties the history for an output that starts or stops: nothing written,
// nothing to take back, and every finished stream free to go.
void history_clear(AudioSystem* audio);
// Makes an engine the caller mixes for keep a history, as for a sound
// server, so that the caller can play the server. Before the first mix.
void history_keep(AudioSystem* audio);
// Notes the mix's state at the start of the chunk at history.mixed; the
// oldest note makes way when all are taken. Callback.
void history_mark(AudioSystem* audio);
// The mix has been written up to history.mixed: without a history the rings
// need keep nothing behind their readers. Callback.
void history_after_mix(AudioSystem* audio);
// The listener has heard up to heard: chunks before the one playing then can
// never be written again, and the rings may give their frames up.
void history_heard(AudioSystem* audio, int64_t heard);
// The oldest chunk start that can still be written again, or history.mixed
// when there is none.
int64_t history_oldest(const AudioSystem* audio);
// Winds the mix back to the chunk that starts at frame, as remembered:
// streams that ended since come back, streams that started since go back to
// their start, and a stream stopped since keeps fading out, from there.
// False, changing nothing, when no chunk starts there.
bool history_rewind(AudioSystem* audio, int64_t frame);
// Whether a finished stream may be released: no rewinding can reach the
// chunk it ended in. Streaming thread.
bool history_may_release(const AudioSystem* audio, const AudioSound* sound);
