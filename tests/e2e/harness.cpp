// Process, X and audio plumbing for the whole-program tests.
#include "tests/e2e/harness.h"

#include <SDL.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "display/layout.h"
#include "tests/tone.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The key colour of the button images as 0xRRGGBB: drawn transparent.
constexpr uint32_t KEY_COLOUR = (uint32_t{KEY_RED} << 16) | (uint32_t{KEY_GREEN} << 8) | KEY_BLUE;

// A test program stopped by CTest's time limit must not leave an X server
// or a player behind.
void end_with_parent()
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
}

std::vector<std::string> environment_with(const std::vector<std::pair<std::string, std::string>>& overrides)
{
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool replaced = false;
        for (const auto& [name, value] : overrides) {
            if (text.compare(0, name.size() + 1, name + "=") == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            env.push_back(text);
        }
    }
    for (const auto& [name, value] : overrides) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> pointers(std::vector<std::string>* texts)
{
    std::vector<char*> out;
    for (std::string& text : *texts) {
        out.push_back(text.data());
    }
    out.push_back(nullptr);
    return out;
}

} // namespace

bool start_xserver(XServer* server, std::string* why)
{
    int ready[2];
    if (pipe(ready) != 0) {
        *why = "pipe failed";
        return false;
    }
    pid_t pid = fork();
    if (pid == 0) {
        end_with_parent();
        close(ready[0]);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::string fd = std::to_string(ready[1]);
        // Wide enough that the browser window, grown from the centred player
        // window without moving, stays wholly on screen.
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x900x24", "-nolisten", "tcp", "-noreset",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    server->pid = pid;
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    bool ready_in_time = read_ready_line(ready[0], &number);
    close(ready[0]);
    if (!ready_in_time) {
        *why = "Xvfb did not start";
        return false;
    }
    server->number = std::stoi(number);
    server->display = open_display(":" + std::to_string(server->number));
    if (server->display == nullptr) {
        *why = "cannot connect to Xvfb, or it has no XTest";
        return false;
    }
    return true;
}

bool read_ready_line(int fd, std::string* line)
{
    line->clear();
    pollfd wait_for = {fd, POLLIN, 0};
    auto deadline = Clock::now() + std::chrono::duration<double>(PATIENCE_SECONDS);
    while (Clock::now() < deadline) {
        if (poll(&wait_for, 1, 100) > 0) {
            char c;
            if (read(fd, &c, 1) != 1) {
                return false;
            }
            if (c == '\n') {
                return true;
            }
            *line += c;
        }
    }
    return false;
}

std::string output_of(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "";
    }
    std::string out;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, got);
    }
    pclose(pipe);
    return out;
}

void end_child(pid_t* pid)
{
    if (*pid <= 0) {
        return;
    }
    kill(*pid, SIGTERM);
    int status;
    if (!wait_until([&] { return waitpid(*pid, &status, WNOHANG) == *pid; }, 5.0)) {
        kill(*pid, SIGKILL);
        waitpid(*pid, &status, 0);
    }
    *pid = -1;
}

void stop_xserver(XServer* server)
{
    if (server->display != nullptr) {
        close_display(server->display);
        server->display = nullptr;
    }
    end_child(&server->pid);
}

std::vector<std::string> player_settings(const XServer& server, const std::string& audio_file)
{
    std::vector<std::string> settings = {
        "DISPLAY=:" + std::to_string(server.number),
        "SDL_VIDEODRIVER=x11",
        std::string("SDL_AUDIODRIVER=") + (audio_file.empty() ? "dummy" : "disk"),
    };
    if (!audio_file.empty()) {
        settings.push_back("SDL_DISKAUDIOFILE=" + audio_file);
    }
    // The suite runs one test again with the player on another SDL library;
    // only the player loads it, not the tools around it.
    if (const char* library_path = std::getenv("KLAMOR_PLAYER_LIBRARY_PATH")) {
        settings.push_back(std::string("LD_LIBRARY_PATH=") + library_path);
    }
    // Only matters when the player is built with the sanitizers.
    std::string leak_options =
        "print_suppressions=0:suppressions=" + std::string(KLAMOR_SOURCE_DIR) + "/tests/lsan.supp";
    if (const char* given = std::getenv("LSAN_OPTIONS")) {
        leak_options = std::string(given) + ":" + leak_options;
    }
    settings.push_back("LSAN_OPTIONS=" + leak_options);
    return settings;
}

void start_player(Player* player, const XServer& server, const std::string& dir, const std::string& audio_file)
{
    player->audio_file = audio_file;
    // Never the desktop's own session bus, where a test's player would show
    // in the panel: libdbus and sd-bus take this address for none.
    std::vector<std::pair<std::string, std::string>> overrides = {{"DBUS_SESSION_BUS_ADDRESS", "disabled:"}};
    for (const std::string& setting : player_settings(server, audio_file)) {
        size_t equals = setting.find('=');
        overrides.push_back({setting.substr(0, equals), setting.substr(equals + 1)});
    }
    for (const auto& [name, value] : player->settings) {
        std::erase_if(overrides, [&name](const auto& setting) { return setting.first == name; });
        overrides.push_back({name, value});
    }
    start_program(player, dir, dir, {KLAMOR_PLAYER_PATH}, environment_with(overrides));
}

void start_program(Player* player, const std::string& dir, const std::string& cwd, std::vector<std::string> argv,
                   std::vector<std::string> env)
{
    player->dir = dir;
    player->status = -1;
    std::vector<char*> args = pointers(&argv);
    std::vector<char*> envp = pointers(&env);
    std::string out_path = dir + "/stdout.txt";
    std::string err_path = dir + "/stderr.txt";
    pid_t pid = fork();
    if (pid == 0) {
        end_with_parent();
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    player->pid = pid;
}

bool wait_exit(Player* player, double seconds)
{
    if (player->pid <= 0) {
        return true;
    }
    int status = 0;
    bool ended = wait_until([&] { return waitpid(player->pid, &status, WNOHANG) == player->pid; }, seconds);
    if (ended) {
        player->status = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
        player->pid = -1;
    }
    return ended;
}

void kill_player(Player* player)
{
    if (player->pid > 0) {
        kill(player->pid, SIGKILL);
        int status;
        waitpid(player->pid, &status, 0);
        player->pid = -1;
    }
}

std::string player_stdout(const Player& player)
{
    std::ifstream in(player.dir + "/stdout.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string player_stderr(const Player& player)
{
    std::ifstream in(player.dir + "/stderr.txt", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool holds_open(const Player& player, const std::string& path)
{
    std::error_code error;
    std::string folder = "/proc/" + std::to_string(player.pid) + "/fd";
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (std::filesystem::read_symlink(entry.path(), error) == std::filesystem::weakly_canonical(path, error)) {
            return true;
        }
    }
    return false;
}

bool maps_file_from(const Player& player, const std::string& folder, const std::string& name_start)
{
    // The maps name each file by its path with every link resolved.
    std::error_code error;
    std::string start = std::filesystem::weakly_canonical(folder, error).string() + "/" + name_start;
    std::ifstream maps("/proc/" + std::to_string(player.pid) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        size_t path = line.find('/');
        if (path != std::string::npos && line.compare(path, start.size(), start) == 0) {
            return true;
        }
    }
    return false;
}

Window player_window(const XServer& server, const Player& player)
{
    return find_window(server.display, player.pid);
}

Window wait_for_window(const XServer& server, const Player& player)
{
    return wait_for_pid_window(server.display, player.pid);
}

bool wait_for_width(const XServer& server, const Player& player, int width, WindowLook* look)
{
    return look_at(server.display, wait_for_pid_window(server.display, player.pid, width), look) &&
           look->width == width;
}

Image load_skin_bitmap(const std::string& name)
{
    std::string path = std::string(KLAMOR_SOURCE_DIR) + "/skins/used/" + name;
    SDL_Surface* loaded = SDL_LoadBMP(path.c_str());
    if (loaded == nullptr) {
        throw std::runtime_error("cannot load " + path);
    }
    Image image;
    image.width = loaded->w;
    image.height = loaded->h;
    SDL_LockSurface(loaded);
    int bpp = loaded->format->BytesPerPixel;
    for (int y = 0; y < loaded->h; ++y) {
        for (int x = 0; x < loaded->w; ++x) {
            const uint8_t* at = static_cast<const uint8_t*>(loaded->pixels) + y * loaded->pitch + x * bpp;
            uint32_t value = 0;
            std::memcpy(&value, at, bpp); // little-endian machine
            Uint8 r, g, b;
            SDL_GetRGB(value, loaded->format, &r, &g, &b);
            image.pixels.push_back(static_cast<uint32_t>(r) << 16 | g << 8 | b);
        }
    }
    SDL_UnlockSurface(loaded);
    SDL_FreeSurface(loaded);
    return image;
}

bool shows_bitmap(const Image& screen, const Image& bitmap, int x0, int y0)
{
    // The player draws at 16 bits per pixel (5, 6 and 5 bits); the server
    // widens that again, so only those top bits can be compared.
    auto reduce = [](uint32_t rgb) { return rgb & 0xF8FCF8; };
    int compared = 0;
    for (int y = 0; y < bitmap.height; ++y) {
        for (int x = 0; x < bitmap.width; ++x) {
            uint32_t want = bitmap.at(x, y);
            int sx = x0 + x, sy = y0 + y;
            if (want == KEY_COLOUR || sx >= screen.width || sy >= screen.height) {
                continue;
            }
            if (reduce(screen.at(sx, sy)) != reduce(want)) {
                return false;
            }
            ++compared;
        }
    }
    return compared > 0;
}

Heard listen(const std::string& audio_file, double seconds)
{
    Heard heard;
    std::ifstream in(audio_file, std::ios::binary | std::ios::ate);
    if (!in) {
        return heard;
    }
    const long frame_bytes = 4; // two sides of 16 bits
    long frames = static_cast<long>(seconds * AUDIO_RATE);
    long size = static_cast<long>(in.tellg()) / frame_bytes * frame_bytes;
    if (size < frames * frame_bytes) {
        return heard;
    }
    std::vector<int16_t> samples(static_cast<size_t>(frames) * 2);
    in.seekg(size - frames * frame_bytes);
    in.read(reinterpret_cast<char*>(samples.data()), frames * frame_bytes);
    if (!in) {
        return heard;
    }
    heard.enough = true;
    std::vector<float> left = channel_of(samples, 0);
    heard.rms = rms_of(left, 0, left.size());
    heard.hz = measure_frequency(left, AUDIO_RATE, 0, left.size());
    return heard;
}
