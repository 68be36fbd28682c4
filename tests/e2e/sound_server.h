// A private sound server for the whole-program tests, PulseAudio or PipeWire
// with pipewire-pulse, as tests/e2e/sound_server.sh runs it: a null sink at
// 48 kHz as the default sink, whose monitor lets a test hear what the player
// sends, and a count of the streams a process holds open on it.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

enum class ServerKind { PULSEAUDIO, PIPEWIRE };

struct SoundServer {
    ServerKind kind = ServerKind::PULSEAUDIO;
    pid_t pid = -1;          // sound_server.sh, which runs the server's processes
    pid_t speaker = -1;      // the process that speaks PulseAudio's protocol to clients
    std::string runtime_dir; // scratch XDG_RUNTIME_DIR and HOME of the server
    std::string address;     // for PULSE_SERVER
};

const char* server_name(ServerKind kind);
// The programs a server of this kind needs that are not installed, as a
// reason to skip; empty when it can run here.
std::string missing_programs(ServerKind kind);

// Returns false, with a reason, when the server does not come up.
bool start_sound_server(SoundServer* server, std::string* why);
// Ends the server by its process id and removes its folder.
void stop_sound_server(SoundServer* server);
// Kills the process clients talk to outright, as a crash would, and starts a
// fresh server at the same address.
bool restart_sound_server(SoundServer* server, std::string* why);
// Freezes the process clients talk to (SIGSTOP) or lets it go on (SIGCONT):
// it then holds their connections open and answers nothing.
void freeze_sound_server(const SoundServer& server, bool frozen);
// Whether one of the server's processes ended without being asked to (a
// crash), and, if so, which one and how.
bool sound_server_died(SoundServer* server, std::string* what);

// Suspends the sink, as a user may with pactl, or lets it play again: the
// server then stops asking its streams for more, and still answers.
void suspend_sink(const SoundServer& server, bool suspended);

// The settings that send a player's sound to the server.
std::vector<std::pair<std::string, std::string>> sound_server_settings(const SoundServer& server);

// Playback streams that process pid holds open on the server; -1 when the
// server cannot be asked.
int streams_of(const SoundServer& server, pid_t pid);
// What the server tells of the first playback stream of process pid, as
// `pactl list sink-inputs` prints it; empty when it has none.
std::string stream_description(const SoundServer& server, pid_t pid);

// The left side of what left the sink over the given time: its level and
// pitch.
struct Monitored {
    double rms = 0;     // full scale 1.0
    double hz = 0;      // from zero crossings
    bool heard = false; // the recording came through
};
Monitored monitor(const SoundServer& server, double seconds);

// The left side of what leaves the sink, recorded from start_recording until
// stop_recording, with when each read of it came in.
struct Recording {
    pid_t pid = -1; // parec's
    std::FILE* pipe = nullptr;
    std::thread reader;
    std::mutex lock;
    std::vector<float> samples; // full scale 1.0, at 48 kHz
};
void start_recording(const SoundServer& server, Recording* recording);
void stop_recording(Recording* recording);
// A copy of what has come in so far.
std::vector<float> recorded(Recording* recording);
