// Process, X and audio plumbing for the whole-program tests.
#include "tests/e2e/harness.h"

#include <SDL.h>
#include <X11/Xatom.h>
#include <X11/Xutil.h>
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

// A window can vanish between finding and reading it (a view switch
// re-creates it); such errors must fail the read, not end the test program.
int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}

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

// Runs a program to its end with the X server's display; returns its exit
// status.
int run(const XServer& server, std::vector<std::string> argv)
{
    std::vector<std::string> env = environment_with({{"DISPLAY", ":" + std::to_string(server.number)}});
    std::vector<char*> args = pointers(&argv);
    std::vector<char*> envp = pointers(&env);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string xdotool_window(Window window)
{
    return std::to_string(window);
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
    XSetErrorHandler(ignore_x_error);
    server->display = XOpenDisplay((":" + std::to_string(server->number)).c_str());
    if (server->display == nullptr) {
        *why = "cannot connect to Xvfb";
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
        XCloseDisplay(server->display);
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

Window player_window(const XServer& server, const Player& player)
{
    Display* display = server.display;
    Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
    Window root, parent, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    XSync(display, False);
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) {
        return 0;
    }
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        Atom type;
        int format;
        unsigned long items, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, children[i], pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &items, &after,
                               &data) == Success &&
            data != nullptr && items == 1) {
            long pid = *reinterpret_cast<long*>(data);
            XWindowAttributes attributes;
            if (pid == player.pid && XGetWindowAttributes(display, children[i], &attributes) != 0 &&
                attributes.map_state == IsViewable) {
                found = children[i];
            }
        }
        if (data != nullptr) {
            XFree(data);
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

Window wait_for_window(const XServer& server, const Player& player)
{
    Window window = 0;
    wait_until([&] { return (window = player_window(server, player)) != 0; });
    return window;
}

bool look_at(const XServer& server, Window window, WindowLook* look)
{
    XWindowAttributes attributes;
    if (window == 0 || XGetWindowAttributes(server.display, window, &attributes) == 0) {
        return false;
    }
    look->width = attributes.width;
    look->height = attributes.height;
    look->caption.clear();
    Atom name_atom = XInternAtom(server.display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(server.display, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long items, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(server.display, window, name_atom, 0, 1024, False, utf8, &type, &format, &items, &after,
                           &data) == Success &&
        data != nullptr) {
        look->caption.assign(reinterpret_cast<char*>(data), items);
        XFree(data);
    } else {
        char* name = nullptr;
        if (XFetchName(server.display, window, &name) != 0 && name != nullptr) {
            look->caption = name;
            XFree(name);
        }
    }
    return true;
}

bool wait_for_width(const XServer& server, const Player& player, int width, WindowLook* look)
{
    return wait_until([&] { return look_at(server, player_window(server, player), look) && look->width == width; });
}

bool screenshot(const XServer& server, Window window, Image* image)
{
    XWindowAttributes attributes;
    if (window == 0 || XGetWindowAttributes(server.display, window, &attributes) == 0) {
        return false;
    }
    XImage* shot = XGetImage(server.display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (shot == nullptr) {
        return false;
    }
    image->width = attributes.width;
    image->height = attributes.height;
    image->pixels.assign(static_cast<size_t>(image->width) * image->height, 0);
    for (int y = 0; y < image->height; ++y) {
        for (int x = 0; x < image->width; ++x) {
            unsigned long p = XGetPixel(shot, x, y);
            uint32_t r = (p & shot->red_mask) >> __builtin_ctzl(shot->red_mask);
            uint32_t g = (p & shot->green_mask) >> __builtin_ctzl(shot->green_mask);
            uint32_t b = (p & shot->blue_mask) >> __builtin_ctzl(shot->blue_mask);
            image->pixels[static_cast<size_t>(y) * image->width + x] = r << 16 | g << 8 | b;
        }
    }
    XDestroyImage(shot);
    return true;
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

void move_pointer(const XServer& server, Window window, int x, int y)
{
    // Not --sync: it waits for a move even when the pointer is already there.
    // Each xdotool run ends its connection before the next starts, so the
    // server takes the moves and clicks in order anyway.
    run(server, {"xdotool", "mousemove", "--window", xdotool_window(window), std::to_string(x), std::to_string(y)});
}

void click(const XServer& server, int button, int repeat)
{
    run(server, {"xdotool", "click", "--repeat", std::to_string(repeat), "--delay", "0", std::to_string(button)});
}

void click_at(const XServer& server, Window window, int x, int y, int button)
{
    move_pointer(server, window, x, y);
    click(server, button);
}

void focus_window(const XServer& server, Window window)
{
    run(server, {"xdotool", "windowfocus", "--sync", xdotool_window(window)});
}

void press_key(const XServer& server, Window window, const std::string& key)
{
    // A key sent straight to the window (XSendEvent) does not reach the
    // player: focus the window, then type as a keyboard would.
    run(server, {"xdotool", "windowfocus", xdotool_window(window), "key", key});
}

void send_close_request(const XServer& server, Window window)
{
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(server.display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(server.display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(server.display, window, False, NoEventMask, &event);
    XFlush(server.display);
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
