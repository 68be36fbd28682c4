// The streaming thread's loop and the work of each pass.
#include "playback/streamer.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "playback/device.h"

namespace {

// While a stream is being decoded ahead the thread looks again once this
// share of what it keeps ahead has played, so that the ring never runs
// lower than the rest, and each pass decodes dozens of MPEG frames at once.
constexpr int DECODE_POLL_PERCENT = 75;
// While the device only plays out what it has, the thread looks this often
// to see it fall quiet.
constexpr auto QUIET_POLL = std::chrono::milliseconds(250);

// Whether a stream plays and is not all in its ring.
bool streams_decoding(const AudioSystem* audio)
{
    if (audio->master.paused.load(std::memory_order_acquire)) {
        return false;
    }
    for (const AudioSound& sound : audio->sounds) {
        if (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING &&
            !sound.fully_fed.load(std::memory_order_relaxed)) {
            return true;
        }
    }
    return false;
}

std::chrono::milliseconds poll_period(const AudioSystem* audio)
{
    if (!streams_decoding(audio)) {
        return QUIET_POLL;
    }
    long long ahead_ms = 1000LL * audio->config.ahead_frames / audio->config.output.rate;
    return std::chrono::milliseconds(ahead_ms * DECODE_POLL_PERCENT / 100);
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
    // Set once the caller has been told the device is quiet, so that it is
    // told once; cleared when something sounds again.
    bool told = false;
    std::unique_lock<std::mutex> held(s->lock);
    while (!s->quit) {
        held.unlock();
        audio_service_streams(audio);
        held.lock();
        bool device = audio->device.open.load(std::memory_order_acquire);
        bool quiet = device_may_close(audio);
        if (quiet && !told) {
            device_notify_quiet(audio);
        }
        told = quiet;
        // While the device plays, look again now and then: to decode ahead,
        // and to see it fall quiet. Otherwise sleep until a play, a resume or
        // a stop wakes us, so that an idle or paused player costs nothing.
        bool periodic = (device && !quiet) || (!audio->config.uses_device && streams_need_service(audio));
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
        } else if (state == SOUND_DONE) {
            sound_release(&sound);
            freed = true;
        }
    }
    if (freed && audio->config.threaded) {
        std::lock_guard<std::mutex> held(audio->streamer.lock);
        audio->streamer.slot_freed.notify_all();
    }
}
