// The engine's own output on the desktop's sound server, through libpulse:
// PulseAudio, or PipeWire's pulse server. The server is asked to hold half a
// second, and asks for more a few times a second; a pause, a resume, a stop
// or a play is still heard at once, because the output writes the mix again
// from just past what the listener hears (the server takes back what it
// held; history.h keeps what to write).
//
// Nothing here waits on the server: connecting, opening and closing are
// asked for and happen on libpulse's mainloop thread as the server answers.
// A server that goes away, or stops answering, is given up; the caller hears
// of it through the engine's notification descriptor.
//
// Which thread may call what: every function here is the caller's, but
// pulse_stalled (any thread). libpulse's mainloop thread runs the callbacks
// in output_pulse.cpp, the mix among them, under the mainloop's lock; the
// caller takes that lock for each call, never for longer than it takes to
// ask the server for something or to write the mix again.
#pragma once

#include <atomic>
#include <cstdint>

struct pa_threaded_mainloop;
struct pa_context;
struct pa_stream;
struct AudioSystem;
struct AudioOutput;

// What the server is asked to hold.
constexpr int PULSE_BUFFER_MS = 500;
// Room for the song's name the desktop shows for the stream.
constexpr int PULSE_NAME_SIZE = 256;

// Owned by AudioSystem; libpulse allocates its own objects behind the
// pointers. Under the mainloop's lock, but for the atomics.
struct PulseOutput {
    pa_threaded_mainloop* mainloop;
    pa_context* context;
    pa_stream* stream;
    bool stream_wanted;         // made as soon as the server has said what it is
    bool server_known;          // the server has said what it is
    bool on_pipewire;           // and it is PipeWire's pulse server
    int64_t rewrite_end;        // while held: the mix is written again up to here
    bool rewriting;             // while held: the mix was wound back
    char name[PULSE_NAME_SIZE]; // the media name of the stream
    int64_t heard;              // output frames heard when the server last said
    // The stream has started asking for the mix.
    std::atomic<bool> streaming;
    // The connection or the stream failed; written by the mainloop thread.
    std::atomic<bool> lost;
    // When the server last asked or answered, steady clock nanoseconds; 0
    // while nothing is expected of it.
    std::atomic<int64_t> last_heard_from;
};

// Whether the user's settings leave the sound to the server: SDL_AUDIODRIVER
// unset, or naming pulseaudio (or pulse) first.
bool pulse_wanted();
// Starts libpulse's thread and connects to the server, waiting a moment for
// its answer. True when the server answered or has not refused yet (a stalled
// server costs a silent play, not a start-up); granted is then what the
// output plays: wanted, as asked. False, with everything undone, when there
// is no server or libpulse would not start.
bool pulse_probe(AudioSystem* audio, const AudioOutput* wanted, AudioOutput* granted);
// Something is to sound: connects afresh if the connection was lost, and
// opens a stream named name, or renames the open one. False, with
// audio_last_error saying why, only when libpulse refuses at once.
bool pulse_start(AudioSystem* audio, const char* name);
// Keeps the mix to the caller until pulse_release, wound back to what the
// listener is about to hear.
void pulse_hold(AudioSystem* audio);
// Writes the mix again from where pulse_hold wound it back to, and gives the
// mix back to the server's requests.
void pulse_release(AudioSystem* audio);
// Whether the server asks for the mix, so that a stop will be faded by it.
bool pulse_mixing(const AudioSystem* audio);
// Whether the server went away or stopped answering while a stream was
// open, or was being opened. Any thread.
bool pulse_failed(const AudioSystem* audio);
// Closes the stream. After a failure also drops the connection, so that the
// next play connects afresh, and first winds the mix back to what was heard
// last, pausing the group if it played.
void pulse_close(AudioSystem* audio);
// Closes everything and ends libpulse's thread.
void pulse_shutdown(AudioSystem* audio);
