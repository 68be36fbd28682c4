// Drives the real player as a person would: under its own Xvfb server,
// through the X toolkit, with SDL's disk audio driver recording what it
// plays.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tests/support.h"
#include "tests/xdrive.h"

// A private X server on a free display number.
struct XServer {
    pid_t pid = -1;
    int number = -1;
    Display* display = nullptr;
};

// Returns false, with a reason, when the server does not come up.
bool start_xserver(XServer* server, std::string* why);
void stop_xserver(XServer* server);
// Asks a child to end, kills it when it has not within a few seconds, and
// reaps it; *pid is then -1.
void end_child(pid_t* pid);
// Reads one line that a child writes into the pipe fd when it is ready;
// false when none comes in time. The newline is not kept.
bool read_ready_line(int fd, std::string* line);
// Runs a shell command line to its end and returns what it wrote on
// standard output.
std::string output_of(const std::string& command);

// One run of the player in a working directory of the test's making.
struct Player {
    pid_t pid = -1;
    std::string dir;
    std::string audio_file; // what the disk audio driver writes, when used
    int status = -1;        // the exit status once it ended, -2 when killed by a signal
    // NAME=VALUE settings for its environment that override the harness's
    // own (another audio driver, a session bus, say).
    std::vector<std::pair<std::string, std::string>> settings;
};

// Starts the player in dir. With audio_file empty the dummy audio driver is
// used, otherwise the disk driver writes there. It has no session bus unless
// its settings give one.
void start_player(Player* player, const XServer& server, const std::string& dir, const std::string& audio_file = "");
// Starts any program from the working directory cwd with exactly the
// environment given; its output goes to files in dir, as the player's does.
void start_program(Player* player, const std::string& dir, const std::string& cwd, std::vector<std::string> argv,
                   std::vector<std::string> env);
// What start_player gives the player: the display, SDL's drivers, the
// library path KLAMOR_PLAYER_LIBRARY_PATH names (another SDL, say) and
// the sanitizers' settings.
std::vector<std::string> player_settings(const XServer& server, const std::string& audio_file = "");
// True once the player has ended within the time; its status is then set.
bool wait_exit(Player* player, double seconds = PATIENCE_SECONDS);
void kill_player(Player* player);
std::string player_stdout(const Player& player);
std::string player_stderr(const Player& player);
// Whether the running player has the file at this absolute path open, as
// SDL's disk audio driver has its file while the device is open.
bool holds_open(const Player& player, const std::string& path);

// Whether the running player has mapped a file from the folder whose name
// starts as given: which of two libraries of one name it runs on.
bool maps_file_from(const Player& player, const std::string& folder, const std::string& name_start);

// The player's mapped top-level window, or 0 when none shows yet.
Window player_window(const XServer& server, const Player& player);
// Waits for the window and returns it, or 0.
Window wait_for_window(const XServer& server, const Player& player);
// Waits until the player's window has the width given, and describes it.
bool wait_for_width(const XServer& server, const Player& player, int width, WindowLook* look);

// A bitmap of the skin folder, read with SDL.
Image load_skin_bitmap(const std::string& name);
// Whether the screen shows the bitmap at (x, y) wherever the bitmap is not
// the key colour, compared at the 16 bits per pixel the player draws in.
bool shows_bitmap(const Image& screen, const Image& bitmap, int x, int y);

// What the disk audio driver wrote most recently: the level and the pitch of
// the left side over the last stretch of the given length.
struct Heard {
    double rms = 0;      // full scale 1.0
    double hz = 0;       // from the zero crossings
    bool enough = false; // the file held that much audio
};

// The player asks for signed 16-bit stereo at 48 kHz; the disk driver
// records it as granted.
constexpr int AUDIO_RATE = 48000;
Heard listen(const std::string& audio_file, double seconds);
