// Starting, asking and listening to a private sound server.
#include "tests/e2e/sound_server.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/harness.h"
#include "tests/tone.h"

namespace {

constexpr int MONITOR_RATE = 48000;
constexpr float AUDIBLE_LEVEL = 0.01f;
constexpr const char* SINK = "monitored";

// Runs a shell command with the server's address and returns its output.
std::string ask(const SoundServer& server, const std::string& command)
{
    return output_of("PULSE_SERVER='" + server.address + "' " + command + " 2>/dev/null");
}

bool run_sound_server(SoundServer* server, std::string* why)
{
    int ends[2];
    if (pipe(ends) != 0) {
        *why = "cannot make a pipe";
        return false;
    }
    std::string script = std::string(KLAMOR_SOURCE_DIR) + "/tests/e2e/sound_server.sh";
    const char* kind = server->kind == ServerKind::PIPEWIRE ? "pipewire" : "pulseaudio";
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::freopen("/dev/null", "w", stderr);
        execl("/bin/bash", "bash", script.c_str(), kind, server->runtime_dir.c_str(), SINK,
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    server->pid = pid;
    std::string line;
    bool ready = read_ready_line(ends[0], &line) && line.rfind("ready ", 0) == 0;
    close(ends[0]);
    if (!ready) {
        *why = std::string(server_name(server->kind)) +
               " did not start: " + output_of("tail -n 3 '" + server->runtime_dir + "/log'");
        return false;
    }
    server->speaker = static_cast<pid_t>(std::atol(line.c_str() + 6));
    return true;
}

} // namespace

const char* server_name(ServerKind kind)
{
    return kind == ServerKind::PIPEWIRE ? "PipeWire" : "PulseAudio";
}

std::string missing_programs(ServerKind kind)
{
    std::vector<std::string> needed = {"pactl", "parec", "setpriv"};
    if (kind == ServerKind::PIPEWIRE) {
        needed.insert(needed.end(), {"pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon"});
    } else {
        needed.push_back("pulseaudio");
    }
    std::string missing;
    for (const std::string& program : needed) {
        if (output_of("command -v '" + program + "'").empty()) {
            missing += (missing.empty() ? "" : ", ") + program;
        }
    }
    return missing.empty() ? "" : std::string(server_name(kind)) + " is not installed here (no " + missing + ")";
}

bool start_sound_server(SoundServer* server, std::string* why)
{
    char pattern[] = "/tmp/klamor-sound.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        *why = "cannot make the server's folder";
        return false;
    }
    server->runtime_dir = pattern;
    server->address = "unix:" + server->runtime_dir + "/pulse/native";
    return run_sound_server(server, why);
}

bool restart_sound_server(SoundServer* server, std::string* why)
{
    kill(server->speaker, SIGKILL);
    // The script ends the server's other processes and then itself.
    end_child(&server->pid);
    std::filesystem::remove(server->runtime_dir + "/log");
    return run_sound_server(server, why);
}

void freeze_sound_server(const SoundServer& server, bool frozen)
{
    kill(server.speaker, frozen ? SIGSTOP : SIGCONT);
}

bool sound_server_died(SoundServer* server, std::string* what)
{
    int status;
    if (server->pid <= 0 || waitpid(server->pid, &status, WNOHANG) != server->pid) {
        return false;
    }
    server->pid = -1;
    *what = output_of("grep -h 'ended with status' '" + server->runtime_dir + "/log'");
    if (what->empty()) {
        *what = "the server's script ended\n";
    }
    return true;
}

void stop_sound_server(SoundServer* server)
{
    if (server->speaker > 0 && server->pid > 0) {
        kill(server->speaker, SIGCONT);
    }
    end_child(&server->pid);
    server->speaker = -1;
    if (!server->runtime_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(server->runtime_dir, ignored);
        server->runtime_dir.clear();
    }
}

void suspend_sink(const SoundServer& server, bool suspended)
{
    ask(server, std::string("pactl suspend-sink monitored ") + (suspended ? "1" : "0"));
}

std::vector<std::pair<std::string, std::string>> sound_server_settings(const SoundServer& server)
{
    return {{"SDL_AUDIODRIVER", "pulseaudio"}, {"PULSE_SERVER", server.address}};
}

std::string stream_description(const SoundServer& server, pid_t pid)
{
    std::string listing = ask(server, "pactl list sink-inputs");
    size_t at = listing.find("application.process.id = \"" + std::to_string(pid) + "\"");
    if (at == std::string::npos) {
        return "";
    }
    size_t begin = listing.rfind("Sink Input #", at);
    size_t end = listing.find("Sink Input #", at);
    return listing.substr(begin == std::string::npos ? 0 : begin,
                          end == std::string::npos ? std::string::npos : end - begin);
}

int streams_of(const SoundServer& server, pid_t pid)
{
    std::string listing = ask(server, "pactl list sink-inputs");
    if (ask(server, "pactl info").empty()) {
        return -1;
    }
    std::string mark = "application.process.id = \"" + std::to_string(pid) + "\"";
    int count = 0;
    for (size_t at = listing.find(mark); at != std::string::npos; at = listing.find(mark, at + 1)) {
        ++count;
    }
    return count;
}

Monitored monitor(const SoundServer& server, double seconds)
{
    Monitored result;
    long frames = static_cast<long>(seconds * MONITOR_RATE);
    std::string line = "PULSE_SERVER='" + server.address +
                       "' exec parec --raw --format=s16le --channels=2 --rate=48000 --latency-msec=10 "
                       "-d monitored.monitor 2>/dev/null";
    std::FILE* pipe = popen(line.c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
    size_t got = std::fread(samples.data(), sizeof samples[0], samples.size(), pipe);
    pclose(pipe);
    if (got < samples.size()) {
        return result;
    }
    result.heard = true;
    std::vector<float> left = channel_of(samples, 0);
    result.rms = rms_of(left, 0, left.size());
    // Over the audible stretch only: the near-silence before a song's first
    // notes crosses zero at random.
    auto [begin, end] = audible_span(left, AUDIBLE_LEVEL);
    result.hz = measure_frequency(left, MONITOR_RATE, begin, end);
    return result;
}

void start_recording(const SoundServer& server, Recording* recording)
{
    int ends[2];
    if (pipe(ends) != 0) {
        return;
    }
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[0]);
        close(ends[1]);
        std::freopen("/dev/null", "w", stderr);
        setenv("PULSE_SERVER", server.address.c_str(), 1);
        // Both sides, as the sink has them: PipeWire mixes a mono recording
        // of a stereo sink louder than either side. A new stream's first
        // frames may go missing at PulseAudio's null sink's monitor, up to
        // one fragment of the recorder: small fragments there. PipeWire
        // runs its whole graph at the smallest latency a client asks for:
        // at 2 ms it misses deadlines on a busy machine, and at 20 ms (512
        // frames a cycle) it still now and then let a cycle of silence
        // into the monitor that the player never wrote.
        const char* latency = server.kind == ServerKind::PIPEWIRE ? "--latency-msec=100" : "--latency-msec=2";
        execlp("parec", "parec", "--raw", "--format=s16le", "--channels=2", "--rate=48000", latency, "-d",
               "monitored.monitor", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    recording->pid = pid;
    recording->pipe = fdopen(ends[0], "r");
    recording->reader = std::thread([recording] {
        // 2 ms of both sides at a time, as parec hands them on.
        int16_t block[MONITOR_RATE / 500][2];
        size_t got;
        while ((got = std::fread(block, sizeof block[0], std::size(block), recording->pipe)) > 0) {
            std::lock_guard<std::mutex> held(recording->lock);
            for (size_t i = 0; i < got; ++i) {
                recording->samples.push_back(block[i][0] / 32768.0f);
            }
        }
    });
}

void stop_recording(Recording* recording)
{
    if (recording->pid <= 0) {
        return;
    }
    // The pipe ends with parec, and with it the reader.
    end_child(&recording->pid);
    recording->reader.join();
    std::fclose(recording->pipe);
    recording->pipe = nullptr;
}

std::vector<float> recorded(Recording* recording)
{
    std::lock_guard<std::mutex> held(recording->lock);
    return recording->samples;
}
