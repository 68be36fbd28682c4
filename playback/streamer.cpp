// The streaming thread's loop and the work of each pass.
#include "playback/streamer.h"

#include <chrono>
#include <cstdio>
#include <system_error>

#include "playback/history.h"
#include "playback/output.h"

namespace {

// While the output plays the thread looks again this often: the ring holds
// 600 ms ahead, so it never falls below 350 ms, and each pass decodes a
// dozen MPEG frames rather than one.
constexpr auto STREAM_POLL = std::chrono::milliseconds(250);

// Whether a pass has decoding or releasing to do without being asked: a
// stream that plays and is not all in its ring, or one that has ended.
bool streams_need_service(const AudioSystem* audio)
{
    bool paused = audio->master.paused.load(std::memory_order_acquire);
    for (const AudioSound& sound : audio->sounds) {
        int state = sound.state.load(std::memory_order_acquire);
        if (state == SOUND_DONE || state == SOUND_STOPPING ||
            (state == SOUND_PLAYING && !paused && !sound.fully_fed.load(std::memory_order_relaxed))) {
            return true;
        }
    }
    return false;
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
                s->wake.wait_for(held, STREAM_POLL);
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
