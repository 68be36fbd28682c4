// Which output plays the mix, and the life all outputs share: open while
// something sounds, closed once it has been heard out.
#include "playback/output.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "playback/output_pulse.h"
#include "playback/output_sdl.h"
#include "playback/streamer.h"

namespace {

// Once the output is closed no callback is left to fade what was stopping.
void after_close(AudioSystem* audio)
{
    audio->device.open.store(false, std::memory_order_release);
    for (AudioSound& sound : audio->sounds) {
        int expected = SOUND_STOPPING;
        sound.state.compare_exchange_strong(expected, SOUND_DONE, std::memory_order_acq_rel);
    }
    if (audio->config.threaded) {
        streamer_wake(audio);
    }
}

} // namespace

bool output_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted, char* error, int error_size)
{
    audio->config.keeps_history = false;
    if (pulse_wanted() && pulse_probe(audio, wanted, granted)) {
        audio->config.output_kind = OUTPUT_PULSE;
        audio->config.keeps_history = true;
    } else if (sdl_probe(audio, wanted, granted, error, error_size)) {
        audio->config.output_kind = OUTPUT_SDL;
    } else {
        return false;
    }
    audio->device.notify_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (audio->device.notify_fd < 0) {
        std::snprintf(error, static_cast<size_t>(error_size),
                      "cannot create the audio engine's notification descriptor");
        output_close(audio);
        return false;
    }
    return true;
}

void output_begin(AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_SDL) {
        sdl_start(audio);
    }
}

bool output_start(AudioSystem* audio, const char* name)
{
    switch (audio->config.output_kind) {
    case OUTPUT_SDL:
        return sdl_open(audio);
    case OUTPUT_PULSE:
        if (!pulse_start(audio, name)) {
            return false;
        }
        audio->device.open.store(true, std::memory_order_release);
        if (audio->config.threaded) {
            streamer_wake(audio);
        }
        return true;
    default:
        return true;
    }
}

void output_hold(AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_PULSE) {
        pulse_hold(audio);
    }
}

void output_release(AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_PULSE) {
        pulse_release(audio);
    }
}

bool output_mixing(const AudioSystem* audio)
{
    switch (audio->config.output_kind) {
    case OUTPUT_SDL:
        return audio->device.open.load(std::memory_order_relaxed);
    case OUTPUT_PULSE:
        return pulse_mixing(audio);
    default:
        return true;
    }
}

bool output_may_close(const AudioSystem* audio)
{
    if (!audio->device.open.load(std::memory_order_acquire) ||
        audio->device.quiet_frames.load(std::memory_order_acquire) < audio->config.linger_frames) {
        return false;
    }
    return audio->master.paused.load(std::memory_order_acquire) || audio_playing_count(audio) == 0;
}

bool output_needs_settling(const AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_PULSE && audio->device.open.load(std::memory_order_acquire) &&
        pulse_failed(audio)) {
        return true;
    }
    return output_may_close(audio);
}

void output_notify(AudioSystem* audio)
{
    uint64_t one = 1;
    // The counter only ever needs to be non-zero; a full one is as good.
    ssize_t written = write(audio->device.notify_fd, &one, sizeof one);
    (void)written;
}

void output_settle(AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_CALLER) {
        return;
    }
    uint64_t count = 0;
    ssize_t taken = read(audio->device.notify_fd, &count, sizeof count);
    (void)taken;
    if (!output_needs_settling(audio)) {
        return;
    }
    if (audio->config.output_kind == OUTPUT_SDL) {
        sdl_close(audio);
    } else {
        pulse_close(audio);
    }
    after_close(audio);
}

void output_close(AudioSystem* audio)
{
    // Normally SDL_Quit has already closed SDL's device and with it the
    // callback; when it has not (or the device is still the probe's), the
    // callback stops here, before the streams go.
    if (audio->config.output_kind == OUTPUT_SDL) {
        sdl_close(audio);
    }
    pulse_shutdown(audio);
    audio->device.open.store(false, std::memory_order_release);
    if (audio->device.notify_fd >= 0) {
        close(audio->device.notify_fd);
    }
    audio->device.notify_fd = -1;
    audio->config.output_kind = OUTPUT_CALLER;
}

int output_notify_fd(const AudioSystem* audio)
{
    return audio->config.output_kind == OUTPUT_CALLER ? -1 : audio->device.notify_fd;
}
