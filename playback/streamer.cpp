// The streaming thread's loop and the work of each pass.
#include "playback/streamer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <system_error>

#include "playback/history.h"
#include "playback/output.h"

namespace {

// While a stream is being decoded ahead the thread looks again once this
// share of what its ring holds ahead has played, so that the ring never runs
// lower than the rest, and each pass decodes dozens of MPEG frames at once.
constexpr int DECODE_POLL_PERCENT = 75;
// While the output only plays out what it has, the thread looks this often
// to see it fall quiet, or a sound server stall.
constexpr auto QUIET_POLL = std::chrono::milliseconds(250);
// A ring that stays nearly empty (a decoder that gives little at a time)
// must not turn the thread into a spin.
constexpr auto SHORTEST_POLL = std::chrono::milliseconds(10);

// The least that any stream being decoded holds ahead in its ring, in
// frames; -1 when none is being decoded.
int least_ahead(const AudioSystem* audio)
{
    if (audio->master.paused.load(std::memory_order_acquire)) {
        return -1;
    }
    int least = -1;
    for (const AudioSound& sound : audio->sounds) {
        if (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING &&
            !sound.fully_fed.load(std::memory_order_relaxed)) {
            int ahead = ring_buffered(&sound.ring);
            least = least < 0 ? ahead : std::min(least, ahead);
        }
    }
    return least;
}

bool streams_decoding(const AudioSystem* audio)
{
    return least_ahead(audio) >= 0;
}

// What the rings hold ahead, not what the thread aims for: the history a
// sound server's rewinds need takes part of each ring.
std::chrono::milliseconds poll_period(const AudioSystem* audio)
{
    int ahead = least_ahead(audio);
    if (ahead < 0) {
        return QUIET_POLL;
    }
    long long ahead_ms = 1000LL * ahead / audio->config.output.rate;
    return std::max(SHORTEST_POLL, std::chrono::milliseconds(ahead_ms * DECODE_POLL_PERCENT / 100));
}

// Whether a pass has decoding or releasing to do without being asked: a
// stream that plays and is not all in its ring, or one that has ended.
bool streams_need_service(const AudioSystem* audio)
{
    for (const AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_DONE || state == SOUND_STOPPING) {
            return true;
        }
    }
    return streams_decoding(audio);
}

void streaming_loop(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    // Set once the caller has been told to settle the output, so that it is
    // told once; cleared when something sounds again.
    bool told = false;
    std::unique_lock<std::mutex> held(s->lock);
    while (!s->quit) {
        held.unlock();
        audio_service_streams(audio);
        held.lock();
        bool open = audio->device.open.load(std::memory_order_acquire);
        bool settle = output_needs_settling(audio);
        if (settle && !told) {
            output_notify(audio);
        }
        told = settle;
        // While the output plays, look again now and then: to decode ahead,
        // to see it fall quiet, and to see a sound server stall. Otherwise
        // sleep until a play, a resume or a stop wakes us, so that an idle or
        // paused player costs nothing.
        bool periodic =
            (open && !settle) || (audio->config.output_kind == OUTPUT_CALLER && streams_need_service(audio));
        if (!s->wake_due && !s->quit) {
            if (periodic) {
                s->wake.wait_for(held, poll_period(audio));
            } else {
                s->wake.wait(held, [s] { return s->wake_due || s->quit; });
            }
        }
        s->wake_due = false;
    }
}

} // namespace

void sound_release(AudioSound* sound)
{
    decoder_close(&sound->decoder);
    ring_reset(&sound->ring);
    sound->fully_fed.store(false, std::memory_order_relaxed);
    sound->stopped.store(false, std::memory_order_relaxed);
    sound->done_at.store(-1, std::memory_order_relaxed);
    sound->state.store(SOUND_FREE, std::memory_order_release);
}

bool streamer_start(AudioSystem* audio, char* error, int error_size)
{
    audio->streamer.quit = false;
    audio->streamer.wake_due = false;
    try {
        audio->streamer.thread = std::thread(streaming_loop, audio);
    } catch (const std::system_error& failure) {
        std::snprintf(error, static_cast<size_t>(error_size), "cannot start the audio streaming thread: %s",
                      failure.what());
        return false;
    }
    return true;
}

void streamer_stop(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    if (!s->thread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> held(s->lock);
        s->quit = true;
    }
    s->wake.notify_one();
    s->thread.join();
}

void streamer_wake(AudioSystem* audio)
{
    AudioStreamer* s = &audio->streamer;
    {
        std::lock_guard<std::mutex> held(s->lock);
        s->wake_due = true;
    }
    s->wake.notify_one();
}

void audio_service_streams(AudioSystem* audio)
{
    bool freed = false;
    for (AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_PLAYING && !sound.fully_fed.load(std::memory_order_relaxed)) {
            if (decoder_fill(&sound.decoder, &sound.ring, audio->config.ahead_frames)) {
                // Everything is in the ring: the file can go now.
                decoder_close(&sound.decoder);
                sound.fully_fed.store(true, std::memory_order_release);
            }
        } else if (state == SOUND_DONE && history_may_release(audio, &sound)) {
            sound_release(&sound);
            freed = true;
        }
    }
    if (freed && audio->config.threaded) {
        std::lock_guard<std::mutex> held(audio->streamer.lock);
        audio->streamer.slot_freed.notify_all();
    }
}
