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

#include "playback/history.h"
#include "playback/mixer.h"
#include "playback/output.h"
#include "playback/system.h"

namespace {

// How long start-up waits for the server to answer. A server that refuses
// does so at once; one that has not answered by then is taken as there but
// slow, and plays are silent until it answers.
constexpr int PROBE_WAIT_MS = 500;
// A change is written this far past what the listener hears: time for the
// write to reach the server before the sink plays that far.
constexpr int REWRITE_MARGIN_MS = 20;
// A server that says nothing for this long while a stream is open, or
// opening, is asked whether it is there; it asks a few times a second while
// it plays, but not at all while the user has suspended its sink.
constexpr int SILENCE_MS = 3000;
// A server that does not answer that question within this is lost.
constexpr int ANSWER_MS = 1000;
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
    audio->pulse.last_contact_ns.store(steady_ns(), std::memory_order_release);
    audio->pulse.asked_ns.store(0, std::memory_order_release);
}

// The connection or the stream failed, seen on libpulse's thread: the
// server was there until now.
void lose(AudioSystem* audio)
{
    heard_from_server(audio);
    audio->pulse.state.store(PULSE_LOST, std::memory_order_release);
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

// The server has just said where the listener is.
void note_heard(AudioSystem* audio)
{
    int64_t heard = 0;
    if (!heard_now(audio, &heard)) {
        return;
    }
    audio->pulse.heard = heard;
    audio->pulse.heard_ns = steady_ns();
    heard_from_server(audio);
    mix_heard(audio, heard);
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
        audio->pulse.state.store(PULSE_STREAMING, std::memory_order_release);
        break;
    case PA_STREAM_FAILED:
    case PA_STREAM_TERMINATED:
        lose(audio);
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
        lose(audio);
        return;
    }
    // A new stream is written from its first frame.
    mix_restart(audio);
    p->heard = 0;
    p->heard_ns = steady_ns();
    p->state.store(PULSE_OPENING, std::memory_order_release);
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
        lose(audio);
    }
}

void on_server_info(pa_context* context, const pa_server_info* info, void* userdata)
{
    AudioSystem* audio = static_cast<AudioSystem*>(userdata);
    PulseOutput* p = &audio->pulse;
    if (context != p->context) {
        return;
    }
    p->on_pipewire = info != nullptr && info->server_name != nullptr && std::strstr(info->server_name, "PipeWire");
    heard_from_server(audio);
    if (p->state.load(std::memory_order_relaxed) == PULSE_CALLING) {
        open_stream(audio);
    } else {
        p->state.store(PULSE_IDLE, std::memory_order_release);
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
        lose(audio);
        break;
    default:
        break;
    }
    // For pulse_probe, waiting for the answer.
    pa_threaded_mainloop_signal(p->mainloop, 0);
}

// Asks for a connection to the server; never starts one itself. With
// calling, a stream opens as soon as the server answers. Under the lock.
bool connect(AudioSystem* audio, bool calling)
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
    p->state.store(calling ? PULSE_CALLING : PULSE_CONNECTING, std::memory_order_release);
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
    p->state.store(p->context != nullptr ? PULSE_IDLE : PULSE_OFF, std::memory_order_release);
}

void drop_connection(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    if (p->context != nullptr) {
        pa_context_set_state_callback(p->context, nullptr, nullptr);
        pa_context_disconnect(p->context);
        pa_context_unref(p->context);
        p->context = nullptr;
    }
    drop_stream(audio);
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

void on_answer(pa_context*, const pa_server_info*, void* userdata)
{
    heard_from_server(static_cast<AudioSystem*>(userdata));
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
    bool asked = connect(audio, false);
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
    if (p->state.load(std::memory_order_relaxed) == PULSE_LOST) {
        drop_connection(audio);
    }
    // The silence before the server's first word counts from now.
    heard_from_server(audio);
    bool started = true;
    switch (p->state.load(std::memory_order_relaxed)) {
    case PULSE_OFF:
        if (!connect(audio, true)) {
            std::snprintf(audio->caller.last_error, sizeof audio->caller.last_error,
                          "cannot connect to the sound server: %s",
                          p->context != nullptr ? pa_strerror(pa_context_errno(p->context)) : "out of memory");
            drop_connection(audio);
            started = false;
        }
        break;
    case PULSE_CONNECTING:
        p->state.store(PULSE_CALLING, std::memory_order_release);
        break;
    case PULSE_IDLE:
        open_stream(audio);
        break;
    case PULSE_OPENING:
    case PULSE_STREAMING:
        if (name != nullptr) {
            pa_proplist* properties = pa_proplist_new();
            pa_proplist_sets(properties, PA_PROP_MEDIA_NAME, media_name(p));
            pa_operation* asked = pa_stream_proplist_update(p->stream, PA_UPDATE_REPLACE, properties, nullptr, nullptr);
            if (asked != nullptr) {
                pa_operation_unref(asked);
            }
            pa_proplist_free(properties);
        }
        break;
    default:
        break;
    }
    if (started && !audio->device.open.load(std::memory_order_relaxed)) {
        audio->device.told.store(false, std::memory_order_release);
        audio->device.open.store(true, std::memory_order_release);
    }
    pa_threaded_mainloop_unlock(p->mainloop);
    return started;
}

void pulse_hold(AudioSystem* audio, bool wind_back)
{
    PulseOutput* p = &audio->pulse;
    pa_threaded_mainloop_lock(p->mainloop);
    p->rewrite_end = -1;
    int64_t heard = 0;
    if (!wind_back || p->state.load(std::memory_order_relaxed) != PULSE_STREAMING || !heard_now(audio, &heard)) {
        return;
    }
    int64_t written = audio->history.mixed;
    int64_t oldest = std::max(history_oldest(audio), first_untaken(audio));
    int64_t from = rewrite_start(heard, written, oldest, static_cast<int>(ms_to_frames(audio, REWRITE_MARGIN_MS)));
    if (from < written && history_rewind(audio, from)) {
        p->rewrite_end = written;
    }
}

void pulse_release(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    if (p->rewrite_end >= 0) {
        // Over what the server holds from there on: it takes back what it
        // had not played yet.
        int64_t from = audio->history.mixed;
        write_mix(audio, p->rewrite_end - from, PA_SEEK_ABSOLUTE, from * static_cast<int64_t>(frame_bytes(audio)));
        p->rewrite_end = -1;
    }
    pa_threaded_mainloop_unlock(p->mainloop);
}

bool pulse_mixing(const AudioSystem* audio)
{
    return audio->pulse.state.load(std::memory_order_acquire) == PULSE_STREAMING;
}

bool pulse_failed(const AudioSystem* audio)
{
    return audio->pulse.state.load(std::memory_order_acquire) == PULSE_LOST;
}

int64_t pulse_heard_last(AudioSystem* audio)
{
    const PulseOutput* p = &audio->pulse;
    int64_t since_ns = std::max<int64_t>(0, p->last_contact_ns.load(std::memory_order_acquire) - p->heard_ns);
    int64_t since = since_ns * audio->config.output.rate / 1'000'000'000;
    return std::min(p->heard + since, audio->history.mixed);
}

int pulse_watch(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    int state = p->state.load(std::memory_order_acquire);
    if (state != PULSE_CALLING && state != PULSE_OPENING && state != PULSE_STREAMING) {
        return -1;
    }
    int64_t now = steady_ns();
    int64_t asked = p->asked_ns.load(std::memory_order_acquire);
    if (asked != 0) {
        int64_t waited_ms = (now - asked) / 1'000'000;
        if (waited_ms < ANSWER_MS) {
            return static_cast<int>(ANSWER_MS - waited_ms);
        }
        pa_threaded_mainloop_lock(p->mainloop);
        if (p->asked_ns.load(std::memory_order_relaxed) != 0 && PULSE_LOST != p->state.load()) {
            p->state.store(PULSE_LOST, std::memory_order_release);
            output_notify(audio);
        }
        pa_threaded_mainloop_unlock(p->mainloop);
        return -1;
    }
    int64_t silent_ms = (now - p->last_contact_ns.load(std::memory_order_acquire)) / 1'000'000;
    if (silent_ms < SILENCE_MS) {
        return static_cast<int>(SILENCE_MS - silent_ms);
    }
    // Any answer will do: a server whose sink the user suspended answers,
    // and plays on when the sink resumes.
    pa_threaded_mainloop_lock(p->mainloop);
    pa_operation* question = p->context != nullptr ? pa_context_get_server_info(p->context, on_answer, audio) : nullptr;
    if (question != nullptr) {
        pa_operation_unref(question);
        p->asked_ns.store(now, std::memory_order_release);
    } else if (p->state.load() != PULSE_LOST) {
        p->state.store(PULSE_LOST, std::memory_order_release);
        output_notify(audio);
    }
    pa_threaded_mainloop_unlock(p->mainloop);
    return ANSWER_MS;
}

void pulse_stop(AudioSystem* audio)
{
    PulseOutput* p = &audio->pulse;
    pa_threaded_mainloop_lock(p->mainloop);
    if (p->state.load(std::memory_order_relaxed) == PULSE_LOST) {
        drop_connection(audio);
    } else {
        drop_stream(audio);
    }
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
