// What a sound server's output has been given and may still take back. At
// the start of each chunk the mix notes where each sound's ring was and how
// far the fades had gone; the rings keep what lies behind. A pause, a
// resume, a stop or a play then winds the mix back to the chunk the
// listener is about to hear, makes its change there, and has the output
// write the mix again from there, so that the change is heard at once
// however much the server holds. A change is also a barrier: nothing before
// it is wound back to again, so the sounds a mark knows are the ones that
// still play.
//
// All of it is the callback's, and the caller's while it holds the output.
#pragma once

#include <cstdint>

#include "playback/system.h"

// The first frame to write again so that a change made now is heard at once:
// margin frames past what is heard, on the next chunk start, no earlier than
// the oldest chunk remembered and no later than what has been written.
// Equals written when nothing can be taken back.
int64_t rewrite_start(int64_t heard, int64_t written, int64_t oldest, int margin);

// Empties the history for an output that starts or stops: nothing written,
// nothing to take back.
void history_clear(AudioSystem* audio);
// Makes an engine the caller mixes for keep a history, as for a sound
// server, so that the caller can play the server. Before the first mix.
void history_keep(AudioSystem* audio);
// Notes the mix's state at the start of the chunk at history.mixed; the
// oldest note makes way when all are taken.
void history_mark(AudioSystem* audio);
// Forgets every note: a change was made at history.mixed, and nothing
// before it may be written again. Without a history the rings then keep
// nothing behind their readers.
void history_forget(AudioSystem* audio);
// The listener has heard up to heard: chunks before the one playing then can
// never be written again, and the rings may give their frames up.
void history_heard(AudioSystem* audio, int64_t heard);
// The oldest chunk start that can still be written again, or history.mixed
// when there is none.
int64_t history_oldest(const AudioSystem* audio);
// Winds the mix back to the chunk that starts at frame, as remembered: each
// sound still playing or fading goes back to where it was there, and the
// notes from there on are dropped. False, changing nothing, when no chunk
// starts there.
bool history_rewind(AudioSystem* audio, int64_t frame);
