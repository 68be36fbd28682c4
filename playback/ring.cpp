// The lock-free ring between the streaming thread and the audio callback.
#include "playback/ring.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr size_t FRAME_BYTES = sizeof(int16_t) * RING_CHANNELS;

// The frames from the counter on lie in at most two pieces, split where the
// ring wraps: the first piece's length of count.
int first_piece(uint32_t counter, int count)
{
    return std::min(count, RING_FRAMES - static_cast<int>(counter & RING_MASK));
}

int16_t* frame_at(AudioRing* ring, uint32_t counter)
{
    return ring->samples + (counter & RING_MASK) * RING_CHANNELS;
}

} // namespace

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
    if (source_channels == RING_CHANNELS) {
        int first = first_piece(written, n);
        std::memcpy(frame_at(ring, written), source, static_cast<size_t>(first) * FRAME_BYTES);
        std::memcpy(ring->samples, source + first * RING_CHANNELS, static_cast<size_t>(n - first) * FRAME_BYTES);
    } else {
        for (int i = 0; i < n; ++i) {
            uint32_t slot = ((written + static_cast<uint32_t>(i)) & RING_MASK) * RING_CHANNELS;
            ring->samples[slot] = source[i];
            ring->samples[slot + 1] = source[i];
        }
    }
    ring->write_count.store(written + static_cast<uint32_t>(n), std::memory_order_release);
    return n;
}

int ring_read(AudioRing* ring, int16_t* out, int count)
{
    uint32_t taken = ring->read_count.load(std::memory_order_relaxed);
    uint32_t written = ring->write_count.load(std::memory_order_acquire);
    int n = std::clamp(count, 0, static_cast<int>(written - taken));
    int first = first_piece(taken, n);
    std::memcpy(out, frame_at(ring, taken), static_cast<size_t>(first) * FRAME_BYTES);
    std::memcpy(out + first * RING_CHANNELS, ring->samples, static_cast<size_t>(n - first) * FRAME_BYTES);
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
