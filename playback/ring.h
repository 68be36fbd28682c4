// A single-producer, single-consumer ring of stereo 16-bit frames: the
// streaming thread writes decoded audio ahead, the audio callback takes it
// without waiting on any lock. Behind what the callback has taken, the ring
// can keep what a sound server still holds, so that the mix can be wound
// back and written again.
#pragma once

#include <atomic>
#include <cstdint>

// A power of two, so that the free-running counters index it with a mask and
// survive wrapping. 131072 frames hold about 2.7 s at 48 kHz: two seconds
// decoded ahead, and behind the reader what a sound server's buffer still
// holds.
constexpr int RING_FRAMES = 131072;
constexpr uint32_t RING_MASK = RING_FRAMES - 1;
constexpr int RING_CHANNELS = 2;

struct AudioRing {
    int16_t samples[RING_FRAMES * RING_CHANNELS];
    // Frames written and taken since the last reset. Only the writer stores
    // write_count and only the reader stores read_count and keep_count.
    std::atomic<uint32_t> write_count;
    std::atomic<uint32_t> read_count;
    // Frames before this may be written over. It trails read_count by what
    // the reader may still take again.
    std::atomic<uint32_t> keep_count;
};

// Empties the ring. Only while neither side is using it.
void ring_reset(AudioRing* ring);
// Frames waiting to be read.
int ring_buffered(const AudioRing* ring);
// Writes up to count frames of interleaved input with source_channels (1 or 2)
// channels, a single channel going to both sides, without letting the ring
// hold more than limit frames ahead of the reader, nor write over what it
// keeps. Returns the frames written.
int ring_write(AudioRing* ring, const int16_t* source, int count, int source_channels, int limit);
// Reads up to count stereo frames into out. Returns the frames read.
int ring_read(AudioRing* ring, int16_t* out, int count);
// Where the reader is, counted since the last reset. Reader only.
uint32_t ring_read_position(const AudioRing* ring);
// Moves the reader back to a position it passed that the ring still keeps.
// Reader only.
void ring_rewind(AudioRing* ring, uint32_t position);
// Lets the writer write over everything before position. Reader only.
void ring_keep_from(AudioRing* ring, uint32_t position);
