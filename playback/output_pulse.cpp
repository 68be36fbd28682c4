// The sound server's output: libpulse's threaded mainloop runs the
// connection, the stream and the mix; the caller only asks, under its lock.
#include "playback/output_pulse.h"

#include <SDL.h>
#include <pulse/pulseaudio.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "playback/engine.h"
#include "playback/history.h"
#include "playback/mixer.h"
#include "playback/output.h"

namespace {

// How long start-up waits for the server to answer. A server that refuses
// does so at once; one that has not answered by then is taken as there but
// slow, and plays are silent until it answers.
constexpr int PROBE_WAIT_MS = 500;
// A change is written this far past what the listener hears: time for the
// write to reach the server before the sink plays that far.
constexpr int REWRITE_MARGIN_MS = 20;
// A server that neither asks for the mix nor answers for this long, while a
// stream is open or opening, has stalled. It asks a few times a second.
constexpr int STALL_MS = 3000;
// What the server plays from at a time, out of what it holds: the latency
// asked of the sink (PulseAudio) or of the graph (PipeWire), the rest of the
// buffer being split into two requests. The server wakes about that often,
// and what it has taken can no longer be written again, unless it can take
// it back. PulseAudio rewinds its sink, so it may take a quarter second and
// wake a few times a second. PipeWire's graph cannot give back what it has
// pulled, so it takes 50 ms at a time: measured on PipeWire 0.3.65, that
// costs the server no more than a quarter second does, while 20 ms costs
// twice as much. A click's change starts past what it may have pulled, so
// a pause is heard up to that much later there than on PulseAudio.
constexpr int PULSEAUDIO_LATENCY_MS = 250;
constexpr int PIPEWIRE_LATENCY_MS = 50;
constexpr char APPLICATION_NAME[] = "Klamor";
constexpr char ICON_NAME[] = "klamor";
constexpr char MEDIA_ROLE[] = "music";

int64_t steady_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

size_t frame_bytes(const AudioSystem* audio)
{
    return static_cast<size_t>(audio->config.output.channels) * sizeof(int16_t);
}

int64_t ms_to_frames(const AudioSystem* audio, int ms)
{
    return static_cast<int64_t>(audio->config.output.rate) * ms / 1000;
}

void heard_from_server(AudioSystem* audio)
{
    audio->pulse.last_heard_from.store(steady_ns(), std::memory_order_release);
}

// Gives up the connection or the stream from libpulse's thread: the caller
// hears of it and settles.
void fail(AudioSystem* audio)
{
    audio->pulse.lost.store(true, std::memory_order_release);
    output_notify(audio);
}

// Where the listener is, in output frames since the stream started: libpulse
// interpolates from the server's last report.
bool heard_now(AudioSystem* audio, int64_t* heard)
{
    pa_usec_t usec = 0;
    if (pa_stream_get_time(audio->pulse.stream, &usec) < 0) {
        return false;
    }
    *heard = static_cast<int64_t>(usec * static_cast<uint64_t>(audio->config.output.rate) / PA_USEC_PER_SEC);
    return true;
}

// The server has just said where the listener is: the history may let go of
// what lies behind, and the quiet heard tells when the stream may close.
void note_heard(AudioSystem* audio)
{
    int64_t heard = 0;
    if (!heard_now(audio, &heard)) {
        return;
    }
    audio->pulse.heard = heard;
    heard_from_server(audio);
    history_heard(audio, heard);
    int64_t quiet_from = audio->history.mixed - audio->callback.quiet_frames;
    int64_t quiet = heard - quiet_from;
    audio->device.quiet_frames.store(quiet < 0 ? 0 : (quiet > INT_MAX / 2 ? INT_MAX / 2 : static_cast<int>(quiet)),
                                     std::memory_order_release);
}

// Mixes frames straight into libpulse's buffers and hands them over, the
// first at the given place in the stream, the rest after it.
void write_mix(AudioSystem* audio, int64_t frames, pa_seek_mode_t seek, int64_t offset)
{
    pa_stream* stream = audio->pulse.stream;
    size_t size = frame_bytes(audio);
    while (frames > 0) {
        void* data = nullptr;
        size_t bytes = static_cast<size_t>(frames) * size;
        if (pa_stream_begin_write(stream, &data, &bytes) < 0 || data == nullptr) {
            return;
        }
        bytes -= bytes % size;
        if (bytes == 0) {
            pa_stream_cancel_write(stream);
            return;
        }
        audio_mix(audio, static_cast<uint8_t*>(data), static_cast<int>(bytes));
        if (pa_stream_write(stream, data, bytes, nullptr, offset, seek) < 0) {
            return;
        }
        seek = PA_SEEK_RELATIVE;
        offset = 0;
        frames -= static_cast<int64_t>(bytes / size);
    }
}

void on_timing(pa_stream* stream, int success, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    // An answer about a stream since closed tells nothing.
    if (success != 0 && stream == audio->pulse.stream) {
        note_heard(audio);
    }
}

// The server asks for more: the audio callback's work, on libpulse's thread.
void on_writable(pa_stream* stream, size_t bytes, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    heard_from_server(audio);
    write_mix(audio, static_cast<int64_t>(bytes / frame_bytes(audio)), PA_SEEK_RELATIVE, 0);
    note_heard(audio);
    // The server is awake anyway: its answer tells where the listener is
    // for the next change.
    pa_operation* asked = pa_stream_update_timing_info(stream, on_timing, audio);
    if (asked != nullptr) {
        pa_operation_unref(asked);
    }
}

void on_stream_state(pa_stream* stream, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    switch (pa_stream_get_state(stream)) {
    case PA_STREAM_READY:
        heard_from_server(audio);
        audio->pulse.streaming.store(true, std::memory_order_release);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        fail(audio);
        break;
    default:
        break;
    }
}

const char* media_name(const PulseOutput* p)
{
    return p->name[0] != '\0' ? p->name : APPLICATION_NAME;
}

// Asks for a stream on a ready connection; it starts when the server
// answers. Under the lock.
void open_stream(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    const AudioOutput* output = &audio->config.output;
    pa_sample_spec format = {PA_SAMPLE_S16NE, static_cast<uint32_t>(output->rate),
                             static_cast<uint8_t>(output->channels)};
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_MEDIA_ROLE, MEDIA_ROLE);
    p->stream = pa_stream_new_with_proplist(p->context, media_name(p), &format, nullptr, properties);
    pa_proplist_free(properties);
    if (p->stream == nullptr) {
        fail(audio);
        return;
    }
    // A new stream is written from its first frame.
    history_clear(audio);
    p->heard = 0;
    p->streaming.store(false, std::memory_order_relaxed);
    pa_stream_set_state_callback(p->stream, on_stream_state, audio);
    pa_stream_set_write_callback(p->stream, on_writable, audio);
    uint32_t size = static_cast<uint32_t>(frame_bytes(audio));
    int latency_ms = p->on_pipewire ? PIPEWIRE_LATENCY_MS : PULSEAUDIO_LATENCY_MS;
    pa_buffer_attr buffer = {};
    buffer.maxlength = UINT32_MAX;
    buffer.tlength = static_cast<uint32_t>(ms_to_frames(audio, PULSE_BUFFER_MS)) * size;
    buffer.prebuf = UINT32_MAX;
    // Without PA_STREAM_ADJUST_LATENCY both servers take the buffer less
    // two requests as the latency.
    buffer.minreq = static_cast<uint32_t>(ms_to_frames(audio, (PULSE_BUFFER_MS - latency_ms) / 2)) * size;
    buffer.fragsize = UINT32_MAX;
    if (pa_stream_connect_playback(p->stream, nullptr, &buffer, PA_STREAM_INTERPOLATE_TIMING, nullptr, nullptr) < 0) {
        fail(audio);
    }
}

void on_server_info(pa_context* context, const pa_server_info* info, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    PulseOutput* p = &audio->pulse;
    if (context != p->context) {
        return;
    }
    p->server_known = true;
    p->on_pipewire = info != nullptr && info->server_name != nullptr && std::strstr(info->server_name, "PipeWire");
    if (p->stream_wanted && p->stream == nullptr) {
        heard_from_server(audio);
        open_stream(audio);
    }
}

void on_context_state(pa_context* context, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    PulseOutput* p = &audio->pulse;
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        pa_operation* asked = pa_context_get_server_info(context, on_server_info, audio);
        if (asked != nullptr) {
            pa_operation_unref(asked);
        }
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        fail(audio);
        break;
    default:
        break;
    }
    // For pulse_probe, waiting for the answer.
    pa_threaded_mainloop_signal(p->mainloop, 0);
}

// Asks for a connection to the server; never starts one itself. Under the
// lock.
bool connect(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, APPLICATION_NAME);
    pa_proplist_sets(properties, PA_PROP_APPLICATION_ICON_NAME, ICON_NAME);
    p->context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(p->mainloop), APPLICATION_NAME, properties);
    pa_proplist_free(properties);
    if (p->context == nullptr) {
        return false;
    }
    p->lost.store(false, std::memory_order_release);
    p->server_known = false;
    pa_context_set_state_callback(p->context, on_context_state, audio);
    return pa_context_connect(p->context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0;
}

// Under the lock. Callbacks go first, so that what follows is not taken for
// a failure.
void drop_stream(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    if (p->stream != nullptr) {
        pa_stream_set_state_callback(p->stream, nullptr, nullptr);
        pa_stream_set_write_callback(p->stream, nullptr, nullptr);
        pa_stream_disconnect(p->stream);
        pa_stream_unref(p->stream);
        p->stream = nullptr;
    }
    p->streaming.store(false, std::memory_order_release);
    p->stream_wanted = false;
    p->last_heard_from.store(0, std::memory_order_release);
}

void drop_connection(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    drop_stream(audio);
    if (p->context != nullptr) {
        pa_context_set_state_callback(p->context, nullptr, nullptr);
        pa_context_disconnect(p->context);
        pa_context_unref(p->context);
        p->context = nullptr;
    }
    p->lost.store(false, std::memory_order_release);
}

bool names_pulse(const char* driver, size_t length)
{
    return (length == 10 && strncasecmp(driver, "pulseaudio", length) == 0) ||
           (length == 5 && strncasecmp(driver, "pulse", length) == 0);
}

struct ProbeWait {
    PulseOutput* pulse;
    bool over;
};

void on_probe_timeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata)
{
    ProbeWait* wait = static_cast<ProbeWait*>(userdata);
    wait->over = true;
    pa_threaded_mainloop_signal(wait->pulse->mainloop, 0);
}

// The first frame that the server may not have taken yet, where it cannot
// give back what it has taken (PipeWire): what it had read when it last
// said, what it has read since at the stream's rate, and one more pull,
// since it takes a whole period at once. A rewrite that starts earlier is
// lost in part, and the listener hears the song cut, without its fade, and
// resumed off by the part lost. PulseAudio takes back all it has not
// played, so nothing but the listener bounds a rewrite there.
int64_t first_untaken(AudioSystem* audio)
{
    const pa_timing_info* timing = pa_stream_get_timing_info(audio->pulse.stream);
    if (!audio->pulse.on_pipewire || timing == nullptr || timing->read_index_corrupt) {
        return 0;
    }
    int64_t read = timing->read_index / static_cast<int64_t>(frame_bytes(audio));
    int64_t since = static_cast<int64_t>(pa_timeval_age(&timing->timestamp)) * audio->config.output.rate /
                    static_cast<int64_t>(PA_USEC_PER_SEC);
    return read + since + ms_to_frames(audio, PIPEWIRE_LATENCY_MS);
}

} // namespace

bool pulse_wanted()
{
    const char* driver = std::getenv("SDL_AUDIODRIVER");
    if (driver == nullptr || driver[0] == '\0') {
        return true;
    }
    // SDL takes a list, separated by commas, in the order to try.
    return names_pulse(driver, std::strcspn(driver, ","));
}

bool pulse_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted)
{
    PulseOutput* p = &audio->pulse;
    p->mainloop = pa_threaded_mainloop_new();
    if (p->mainloop == nullptr) {
        return false;
    }
    if (pa_threaded_mainloop_start(p->mainloop) < 0) {
        pa_threaded_mainloop_free(p->mainloop);
        p->mainloop = nullptr;
        return false;
    }
    pa_threaded_mainloop_lock(p->mainloop);
    bool asked = connect(audio);
    ProbeWait wait = {p, false};
    pa_context_state_t state = asked ? pa_context_get_state(p->context) : PA_CONTEXT_FAILED;
    if (asked) {
        pa_time_event* timer = pa_context_rttime_new(p->context, pa_rtclock_now() + PROBE_WAIT_MS * PA_USEC_PER_MSEC,
                                                     on_probe_timeout, &wait);
        while (!wait.over && (state = pa_context_get_state(p->context)) != PA_CONTEXT_READY &&
               PA_CONTEXT_IS_GOOD(state)) {
            pa_threaded_mainloop_wait(p->mainloop);
        }
        if (timer != nullptr) {
            pa_threaded_mainloop_get_api(p->mainloop)->time_free(timer);
        }
    }
    bool there = PA_CONTEXT_IS_GOOD(state);
    if (!there) {
        drop_connection(audio);
    }
    pa_threaded_mainloop_unlock(p->mainloop);
    if (!there) {
        pa_threaded_mainloop_stop(p->mainloop);
        pa_threaded_mainloop_free(p->mainloop);
        p->mainloop = nullptr;
        return false;
    }
    *granted = {wanted->rate, wanted->channels, AUDIO_S16SYS};
    return true;
}

bool pulse_start(AudioSystem* audio, const char* name)
{
    PulseOutput* p = &audio->pulse;
    pa_threaded_mainloop_lock(p->mainloop);
    if (name != nullptr) {
        std::snprintf(p->name, sizeof p->name, "%s", name);
    }
    if (p->lost.load(std::memory_order_acquire)) {
        drop_connection(audio);
    }
    bool started = true;
    if (p->context == nullptr && !connect(audio)) {
        std::snprintf(audio->caller.last_error, sizeof audio->caller.last_error,
                      "cannot connect to the sound server: %s",
                      p->context != nullptr ? pa_strerror(pa_context_errno(p->context)) : "out of memory");
        drop_connection(audio);
        started = false;
    } else if (p->stream != nullptr) {
        if (name != nullptr) {
            pa_proplist* properties = pa_proplist_new();
            pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, media_name(p));
            pa_operation* asked = pa_stream_proplist_update(p->stream, PA_UPDATE_REPLACE, properties, nullptr, nullptr);
            if (asked != nullptr) {
                pa_operation_unref(asked);
            }
            pa_proplist_free(properties);
        }
    } else {
        p->stream_wanted = true;
        // Nothing has been heard yet that would have to be heard out.
        audio->device.quiet_frames.store(INT_MAX / 2, std::memory_order_release);
        heard_from_server(audio);
        if (p->server_known) {
            open_stream(audio);
        }
    }
    pa_threaded_mainloop_unlock(p->mainloop);
    return started;
}

void pulse_hold(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    pa_threaded_mainloop_lock(p->mainloop);
    p->rewriting = false;
    int64_t heard = 0;
    if (p->stream == nullptr || !p->streaming.load(std::memory_order_acquire) ||
        p->lost.load(std::memory_order_acquire) || !heard_now(audio, &heard)) {
        return;
    }
    int64_t written = audio->history.mixed;
    int64_t oldest = std::max(history_oldest(audio), first_untaken(audio));
    int64_t from = rewrite_start(heard, written, oldest, static_cast<int>(ms_to_frames(audio, REWRITE_MARGIN_MS)));
    if (from < written && history_rewind(audio, from)) {
        p->rewriting = true;
        p->rewrite_end = written;
    }
}

void pulse_release(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    if (p->rewriting) {
        // Over what the server holds from there on: it takes back what it
        // had not played yet.
        int64_t from = audio->history.mixed;
        write_mix(audio, p->rewrite_end - from, PA_SEEK_ABSOLUTE, from * static_cast<int64_t>(frame_bytes(audio)));
        p->rewriting = false;
    }
    pa_threaded_mainloop_unlock(p->mainloop);
}

bool pulse_mixing(const AudioSystem* audio)
{
    return audio->pulse.streaming.load(std::memory_order_acquire) && !audio->pulse.lost.load(std::memory_order_acquire);
}

bool pulse_failed(const AudioSystem* audio)
{
    if (audio->pulse.lost.load(std::memory_order_acquire)) {
        return true;
    }
    int64_t last = audio->pulse.last_heard_from.load(std::memory_order_acquire);
    return last != 0 && steady_ns() - last > static_cast<int64_t>(STALL_MS) * 1'000'000;
}

void pulse_close(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    pa_threaded_mainloop_lock(p->mainloop);
    bool failed = pulse_failed(audio);
    if (failed && audio->history.count > 0) {
        // The listener heard the stream up to the chunk playing when the
        // server last said: a resume goes on from there.
        history_heard(audio, p->heard);
        history_rewind(audio, history_oldest(audio));
        bool playing = false;
        for (AudioSound& sound : audio->sounds) {
            playing = playing || sound.state.load(std::memory_order_acquire) == SOUND_PLAYING;
        }
        if (playing) {
            audio->master.paused.store(true, std::memory_order_release);
        }
        if (audio->master.paused.load(std::memory_order_acquire)) {
            // A resume fades in.
            audio->callback.group_gain = 0.0f;
        }
    } else if (failed) {
        // Nothing was heard: what plays waits, paused, for the next play.
        for (AudioSound& sound : audio->sounds) {
            if (sound.state.load(std::memory_order_acquire) == SOUND_PLAYING) {
                audio->master.paused.store(true, std::memory_order_release);
                audio->callback.group_gain = 0.0f;
            }
        }
    }
    if (failed) {
        drop_connection(audio);
    } else {
        drop_stream(audio);
    }
    history_clear(audio);
    pa_threaded_mainloop_unlock(p->mainloop);
}

void pulse_shutdown(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    if (p->mainloop == nullptr) {
        return;
    }
    pa_threaded_mainloop_lock(p->mainloop);
    drop_connection(audio);
    pa_threaded_mainloop_unlock(p->mainloop);
    pa_threaded_mainloop_stop(p->mainloop);
    pa_threaded_mainloop_free(p->mainloop);
    p->mainloop = nullptr;
}
