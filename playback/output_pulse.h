// The engine's own output on the desktop's sound server, through libpulse:
// PulseAudio, or PipeWire's pulse server. The server is asked to hold half a
// second, and asks for more a few times a second; a pause, a resume, a stop
// or a play is still heard at once, because the output writes the mix again
// from just past what the listener hears (the server takes back what it
// held; history.h keeps what to write).
//
// Nothing here waits on the server: connecting, opening and closing are
// asked for and happen on libpulse's mainloop thread as the server answers.
// A server that goes away, or stops answering even when asked, is lost; the
// caller hears of it through the engine's notification descriptor, and the
// engine decides what follows.
//
// Which thread may call what: every function here is the caller's, but
// pulse_failed (any thread) and pulse_watch (the streaming thread).
// libpulse's mainloop thread runs the callbacks in output_pulse.cpp, the mix
// among them, under the mainloop's lock; the others take that lock for each
// call, never for longer than it takes to ask the server for something or
// to write the mix again.
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

// The output's life, one value at a time:
//   OFF         no connection
//   CONNECTING  asked for a connection; nothing to play
//   CALLING     asked for a connection; a stream opens once the server answers
//   IDLE        connected, no stream
//   OPENING     a stream asked for, not ready yet
//   STREAMING   the server asks for the mix
//   LOST        the connection or the stream failed, or the server stopped
//               answering: given up at the caller's next settle
constexpr int PULSE_OFF = 0;
constexpr int PULSE_CONNECTING = 1;
constexpr int PULSE_CALLING = 2;
constexpr int PULSE_IDLE = 3;
constexpr int PULSE_OPENING = 4;
constexpr int PULSE_STREAMING = 5;
constexpr int PULSE_LOST = 6;

// Owned by AudioSystem; libpulse allocates its own objects behind the
// pointers. Under the mainloop's lock, but for the atomics.
struct PulseOutput {
    pa_threaded_mainloop* mainloop;
    pa_context* context;
    pa_stream* stream;
    std::atomic<int> state;     // PULSE_*; written under the lock, read by any thread
    bool on_pipewire;           // the server is PipeWire's pulse server
    int64_t rewrite_end;        // while held: the mix is written again up to here, -1 for not at all
    char name[PULSE_NAME_SIZE]; // the media name of the stream
    // What the listener had heard when the server last said, and when.
    int64_t heard;
    int64_t heard_ns;
    // When the server last asked or answered, steady clock nanoseconds.
    std::atomic<int64_t> last_contact_ns;
    std::atomic<int64_t> asked_ns; // when the server was last asked after, 0 when not
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
// Keeps the mix to the caller until pulse_release; with wind_back, wound
// back to what the listener is about to hear.
void pulse_hold(AudioSystem* audio, bool wind_back);
// Writes the mix again from where pulse_hold wound it back to, and gives the
// mix back to the server's requests.
void pulse_release(AudioSystem* audio);
// Whether the server asks for the mix, or will once the stream is ready.
bool pulse_mixing(const AudioSystem* audio);
// Whether the output is lost. Any thread.
bool pulse_failed(const AudioSystem* audio);
// Where the listener was when the server last said, carried on by the
// clock to the last moment the server was known to be there. While held.
int64_t pulse_heard_last(AudioSystem* audio);
// Asks a server that has said nothing for a while whether it is there; one
// that does not answer either is lost. Returns milliseconds until the next
// look, -1 while no stream is open. Streaming thread.
int pulse_watch(AudioSystem* audio);
// Closes the stream; a lost connection goes too, so that the next start
// connects afresh.
void pulse_stop(AudioSystem* audio);
// Closes everything and ends libpulse's thread.
void pulse_shutdown(AudioSystem* audio);
