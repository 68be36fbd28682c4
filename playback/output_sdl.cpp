// Opening SDL's audio device when something is to sound, and closing it once
// everything has faded and been heard out.
#include "playback/output_sdl.h"

#include <SDL.h>

#include <cstdio>

#include "playback/mixer.h"
#include "playback/streamer.h"

namespace {

// The device's buffer. A sound server wakes for every buffer of every open
// stream, so small ones cost CPU on both sides; what the device holds is
// also heard after a pause or stop fades, so large ones are slow to answer.
// About 43 ms at 48 kHz answers a click within 100 ms.
constexpr int REQUESTED_BUFFER_FRAMES = 2048;

void mix_callback(void* userdata, uint8_t* stream, int length)
{
    audio_mix(static_cast<AudioSystem*>(userdata), stream, length);
}

// With granted the device's own rate is taken and written into granted;
// otherwise SDL must take exactly output, converting if the device has
// changed since.
bool open_sdl_device(AudioSystem* audio, const AudioOutput* output, AudioOutput* granted, char* error, int error_size)
{
    size_t size = static_cast<size_t>(error_size);
    // Classic SDL 1.2 shuts its audio down with every SDL_CloseAudio;
    // sdl12-compat keeps it up. Either way it is up before an open.
    if (SDL_WasInit(SDL_INIT_AUDIO) == 0 && SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        std::snprintf(error, size, "cannot start SDL audio: %s", SDL_GetError());
        return false;
    }
    SDL_AudioSpec wanted = {};
    wanted.freq = output->rate;
    wanted.format = output->format;
    wanted.channels = static_cast<uint8_t>(output->channels);
    wanted.samples = REQUESTED_BUFFER_FRAMES;
    wanted.callback = mix_callback;
    wanted.userdata = audio;
    SDL_AudioSpec obtained = {};
    if (SDL_OpenAudio(&wanted, granted != nullptr ? &obtained : nullptr) != 0) {
        std::snprintf(error, size, "cannot open the audio device: %s", SDL_GetError());
        return false;
    }
    if (granted == nullptr) {
        return true;
    }
    if (obtained.format != AUDIO_S16SYS || obtained.channels != RING_CHANNELS) {
        // At the device's own rate, which the engine converts to itself, but
        // in the one sample format the mix writes: SDL converts that.
        SDL_CloseAudio();
        AudioOutput mixed = {obtained.freq, RING_CHANNELS, AUDIO_S16SYS};
        if (!open_sdl_device(audio, &mixed, nullptr, error, error_size)) {
            return false;
        }
        *granted = mixed;
        return true;
    }
    *granted = {obtained.freq, obtained.channels, obtained.format};
    return true;
}

} // namespace

bool sdl_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted, char* error, int error_size)
{
    return open_sdl_device(audio, wanted, granted, error, error_size);
}

void sdl_start(AudioSystem* audio)
{
    // Nothing asked for since the device opened has been heard yet.
    mix_restart(audio);
    audio->device.open.store(true, std::memory_order_release);
    // Taking the device's lock once orders everything set up so far before
    // the callback's first run.
    SDL_LockAudio();
    SDL_UnlockAudio();
    SDL_PauseAudio(0);
    streamer_ask(audio);
}

bool sdl_open(AudioSystem* audio)
{
    if (audio->device.open.load(std::memory_order_relaxed)) {
        return true;
    }
    if (!open_sdl_device(audio, &audio->config.output, nullptr, audio->caller.last_error,
                         sizeof audio->caller.last_error)) {
        return false;
    }
    sdl_start(audio);
    return true;
}

void sdl_close(AudioSystem* audio)
{
    // After SDL_Quit there is nothing left to close.
    if (SDL_WasInit(SDL_INIT_AUDIO) != 0) {
        SDL_CloseAudio();
    }
    audio->device.open.store(false, std::memory_order_release);
}
