// The lock-free ring between the streaming thread and the audio callback.
#include "playback/ring.h"

#include <algorithm>
#include <cmath>

void ring_reset(AudioRing* ring)
{
    ring->write_count.store(0, std::memory_order_relaxed);
    ring->read_count.store(0, std::memory_order_relaxed);
    ring->keep_count.store(0, std::memory_order_relaxed);
}

int ring_buffered(const AudioRing* ring)
{
    uint32_t written = ring->write_count.load(std::memory_order_acquire);
    uint32_t taken = ring->read_count.load(std::memory_order_acquire);
    return static_cast<int>(written - taken);
}

int ring_write(AudioRing* ring, const int16_t* source, int count, int source_channels, int limit)
{
    uint32_t written = ring->write_count.load(std::memory_order_relaxed);
    uint32_t taken = ring->read_count.load(std::memory_order_acquire);
    uint32_t kept = ring->keep_count.load(std::memory_order_acquire);
    int ahead = static_cast<int>(written - taken);
    int held = static_cast<int>(written - kept);
    int room = std::min(std::min(limit, RING_FRAMES) - ahead, RING_FRAMES - held);
    int n = std::clamp(count, 0, std::max(room, 0));
    for (int i = 0; i < n; ++i) {
        uint32_t slot = ((written + static_cast<uint32_t>(i)) & RING_MASK) * RING_CHANNELS;
        int16_t left = source[i * source_channels];
        int16_t right = source_channels > 1 ? source[i * source_channels + 1] : left;
        ring->samples[slot] = left;
        ring->samples[slot + 1] = right;
    }
    ring->write_count.store(written + static_cast<uint32_t>(n), std::memory_order_release);
    return n;
}

int ring_read(AudioRing* ring, int16_t* out, int count)
{
    uint32_t taken = ring->read_count.load(std::memory_order_relaxed);
    uint32_t written = ring->write_count.load(std::memory_order_acquire);
    int n = std::clamp(count, 0, static_cast<int>(written - taken));
    for (int i = 0; i < n; ++i) {
        uint32_t slot = ((taken + static_cast<uint32_t>(i)) & RING_MASK) * RING_CHANNELS;
        out[i * RING_CHANNELS] = ring->samples[slot];
        out[i * RING_CHANNELS + 1] = ring->samples[slot + 1];
    }
    ring->read_count.store(taken + static_cast<uint32_t>(n), std::memory_order_release);
    return n;
}

uint32_t ring_read_position(const AudioRing* ring)
{
    return ring->read_count.load(std::memory_order_relaxed);
}

void ring_rewind(AudioRing* ring, uint32_t position)
{
    ring->read_count.store(position, std::memory_order_release);
}

void ring_keep_from(AudioRing* ring, uint32_t position)
{
    ring->keep_count.store(position, std::memory_order_release);
}

int16_t to_int16(float sample)
{
    float v = sample > 1.0f ? 1.0f : (sample < -1.0f ? -1.0f : sample);
    if (!(v == v)) {
        v = 0.0f;
    }
    return static_cast<int16_t>(std::lrintf(v * INT16_SCALE));
}
