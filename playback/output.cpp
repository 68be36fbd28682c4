// Which output plays the mix.
#include "playback/output.h"

#include <SDL.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>

#include "playback/output_pulse.h"
#include "playback/output_sdl.h"

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
        return pulse_start(audio, name);
    default:
        return true;
    }
}

void output_hold(AudioSystem* audio, bool wind_back)
{
    switch (audio->config.output_kind) {
    case OUTPUT_SDL:
        SDL_LockAudio();
        break;
    case OUTPUT_PULSE:
        pulse_hold(audio, wind_back);
        break;
    default:
        break;
    }
}

void output_release(AudioSystem* audio)
{
    switch (audio->config.output_kind) {
    case OUTPUT_SDL:
        SDL_UnlockAudio();
        break;
    case OUTPUT_PULSE:
        pulse_release(audio);
        break;
    default:
        break;
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

bool output_failed(const AudioSystem* audio)
{
    return audio->config.output_kind == OUTPUT_PULSE && pulse_failed(audio);
}

int64_t output_heard_last(AudioSystem* audio)
{
    return audio->config.output_kind == OUTPUT_PULSE ? pulse_heard_last(audio) : audio->history.mixed;
}

int output_watch(AudioSystem* audio)
{
    return audio->config.output_kind == OUTPUT_PULSE ? pulse_watch(audio) : -1;
}

void output_notify(AudioSystem* audio)
{
    if (audio->device.notify_fd < 0) {
        return;
    }
    uint64_t one = 1;
    // The counter only ever needs to be non-zero; a full one is as good.
    ssize_t written = write(audio->device.notify_fd, &one, sizeof one);
    (void)written;
}

void output_take_notification(AudioSystem* audio)
{
    uint64_t count = 0;
    ssize_t taken = read(audio->device.notify_fd, &count, sizeof count);
    (void)taken;
}

void output_stop(AudioSystem* audio)
{
    if (audio->config.output_kind == OUTPUT_SDL) {
        sdl_close(audio);
    } else if (audio->config.output_kind == OUTPUT_PULSE) {
        pulse_stop(audio);
    }
    audio->device.open.store(false, std::memory_order_release);
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
