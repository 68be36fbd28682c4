// The X toolkit on the command line, for the benchmarks, the package check
// and the screenshot script: drives and watches the player's window from
// outside, as a user's X server sees it, and times how long the window takes
// to show a given picture by reading its pixels back. Nothing inside the
// player is instrumented.
//
//   xprobe wait PID [VIEW]         until PID's window is shown (and shows VIEW:
//                                  player or browser)
//   xprobe window PID [VIEW]       as wait, and prints the window's id
//   xprobe move PID SPOT           pointer to a spot of the window
//   xprobe click PID SPOT          move there, let the hover settle, click
//   xprobe press PID SPOT          as click, and print when the button went
//                                  down (steady clock, ms), for bench_listen
//   xprobe key PID KEY             focus the window and type KEY (Escape)
//
// A SPOT is window pixel X Y, a button (play, pause, stop, open, back), rest
// (over no button), or line N for where a click picks the list's line N (the
// first nine lines).
//   xprobe start RUNS DIR PROGRAM  exec to first presented frame, RUNS times
//   xprobe open PID RUNS [STALE LIST]
//                                  open click to presented browser, RUNS times;
//                                  with STALE and LIST, LIST is made a fresh copy
//                                  of STALE (on disk) before each timed click
//
// Times are printed in milliseconds, one run per line.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "tests/xdrive.h"

namespace {

using Clock = std::chrono::steady_clock;

// Pixel polling period: fine enough for millisecond figures, coarse enough
// not to steal the player's core on a two-core machine.
constexpr auto POLL_PERIOD = std::chrono::microseconds(500);
// A picture unchanged for this long is taken as the settled one.
constexpr auto SETTLE_TIME = std::chrono::milliseconds(1500);
// Time for a pointer move to reach the player before the button goes down,
// so that the click is timed alone, and for a click to be handled before
// the pointer moves on.
constexpr auto HOVER_SETTLE = std::chrono::milliseconds(100);
constexpr auto GIVE_UP = std::chrono::seconds(30);

struct NamedSpot {
    const char* name;
    Spot at;
};
constexpr NamedSpot NAMED_SPOTS[] = {
    {"play", PLAY_SPOT}, {"pause", PAUSE_SPOT}, {"stop", STOP_SPOT},
    {"open", OPEN_SPOT}, {"back", BACK_SPOT},   {"rest", REST_SPOT},
};

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The window of pid, of the given width unless 0; ends the program when
// none shows.
Window shown_window(Display* display, long pid, int width)
{
    Window window = wait_for_pid_window(display, pid, width);
    if (window == 0) {
        std::fprintf(stderr, "xprobe: no %d pixel wide window of process %ld\n", width, pid);
        std::exit(1);
    }
    return window;
}

int window_width(Display* display, Window window)
{
    WindowLook look;
    return look_at(display, window, &look) ? look.width : -1;
}

// The window's picture; an empty one when it cannot be read (gone, not yet
// shown).
Image picture_of(Display* display, Window window)
{
    Image picture;
    if (window == 0 || !screenshot(display, window, &picture)) {
        return {};
    }
    return picture;
}

bool same_picture(const Image& a, const Image& b)
{
    return a.width == b.width && a.height == b.height && a.pixels == b.pixels;
}

// Waits until the picture stops changing and returns it.
Image settled_picture(Display* display, long pid, int width)
{
    Image last;
    Clock::time_point changed = Clock::now();
    Clock::time_point start = changed;
    while (Clock::now() - changed < SETTLE_TIME) {
        if (Clock::now() - start > GIVE_UP) {
            std::fprintf(stderr, "xprobe: the window of process %ld never settles\n", pid);
            std::exit(1);
        }
        Image now = picture_of(display, shown_window(display, pid, width));
        if (!same_picture(now, last)) {
            last = now;
            changed = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return last;
}

// Waits until the window of pid shows exactly picture; returns the time it
// took from start.
double wait_picture(Display* display, long pid, const Image& picture, Clock::time_point start)
{
    while (Clock::now() - start < GIVE_UP) {
        if (same_picture(picture_of(display, find_window(display, pid)), picture)) {
            return ms_since(start);
        }
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    std::fprintf(stderr, "xprobe: the window of process %ld never showed the expected picture\n", pid);
    std::exit(1);
}

Clock::time_point settled_click(Display* display, Window window, Spot spot, bool settle_after)
{
    move_pointer(display, window, spot);
    std::this_thread::sleep_for(HOVER_SETTLE);
    Clock::time_point pressed = Clock::now();
    click(display);
    // The player reads the pointer per frame from the latest position, so a
    // move that reached it before the click was handled would aim the click
    // elsewhere: give it time to take the click where it was made.
    if (settle_after) {
        std::this_thread::sleep_for(HOVER_SETTLE);
    }
    return pressed;
}

void stop_child(pid_t child)
{
    kill(child, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(child, nullptr, WNOHANG) == child) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}

int run_start(Display* display, int runs, const char* dir, const char* program)
{
    Image reference;
    for (int run = 0; run <= runs; ++run) {
        Clock::time_point start = Clock::now();
        pid_t child = fork();
        if (child == 0) {
            if (chdir(dir) != 0) {
                _exit(127);
            }
            execl(program, program, static_cast<char*>(nullptr));
            _exit(127);
        }
        if (run == 0) {
            // An untimed first start warms the caches and shows what the
            // first frame looks like.
            reference = settled_picture(display, child, PLAYER_VIEW_WIDTH);
        } else {
            std::printf("%.2f\n", wait_picture(display, child, reference, start));
            std::fflush(stdout);
        }
        stop_child(child);
    }
    return 0;
}

// Puts a copy of stale at list, written through to the disk as a list left
// by an earlier run would be.
bool plant_stale_list(const char* stale, const char* list)
{
    std::error_code failed;
    std::filesystem::remove(list, failed);
    if (!std::filesystem::copy_file(stale, list, failed)) {
        std::fprintf(stderr, "xprobe: cannot copy %s: %s\n", stale, failed.message().c_str());
        return false;
    }
    int fd = open(list, O_RDONLY);
    bool synced = fd >= 0 && fsync(fd) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return synced;
}

int run_open(Display* display, long pid, int runs, const char* stale, const char* list)
{
    Window window = shown_window(display, pid, 0);
    Image reference;
    for (int run = 0; run <= runs; ++run) {
        if (window_width(display, window) == BROWSER_VIEW_WIDTH) {
            settled_click(display, window, BACK_SPOT, true);
            window = shown_window(display, pid, PLAYER_VIEW_WIDTH);
        }
        if (stale != nullptr && run > 0 && !plant_stale_list(stale, list)) {
            return 1;
        }
        // Let the back click's drawing finish so that it is not timed.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Timed from the press; nothing moves the pointer until the picture is in.
        Clock::time_point pressed = settled_click(display, window, OPEN_SPOT, false);
        if (run == 0) {
            reference = settled_picture(display, pid, BROWSER_VIEW_WIDTH);
        } else {
            std::printf("%.2f\n", wait_picture(display, pid, reference, pressed));
            std::fflush(stdout);
        }
        window = shown_window(display, pid, BROWSER_VIEW_WIDTH);
    }
    return 0;
}

// Reads a spot from the words of the command line; false when they name none.
bool read_spot(const std::vector<std::string>& words, Spot* spot)
{
    if (words.size() == 1) {
        for (const NamedSpot& named : NAMED_SPOTS) {
            if (words[0] == named.name) {
                *spot = named.at;
                return true;
            }
        }
        return false;
    }
    if (words.size() != 2) {
        return false;
    }
    if (words[0] == "line") {
        int line = std::atoi(words[1].c_str());
        if (line < 1 || line > static_cast<int>(std::size(LINE_SPOTS))) {
            return false;
        }
        *spot = LINE_SPOTS[line - 1];
        return true;
    }
    *spot = {std::atoi(words[0].c_str()), std::atoi(words[1].c_str())};
    return true;
}

int view_width(const std::string& view)
{
    return view == "browser" ? BROWSER_VIEW_WIDTH : (view == "player" ? PLAYER_VIEW_WIDTH : 0);
}

} // namespace

int main(int argc, char** argv)
{
    Display* display = open_display("");
    if (display == nullptr) {
        std::fprintf(stderr, "xprobe: cannot open the X display, or it has no XTest\n");
        return 1;
    }
    std::string mode = argc > 1 ? argv[1] : "";
    int result = 2;
    Spot spot = {};
    if ((mode == "wait" || mode == "window") && (argc == 3 || argc == 4)) {
        Window window = shown_window(display, std::atol(argv[2]), argc == 4 ? view_width(argv[3]) : 0);
        if (mode == "window") {
            std::printf("%lu\n", window);
        }
        result = 0;
    } else if ((mode == "move" || mode == "click" || mode == "press") && argc >= 4 &&
               read_spot(std::vector<std::string>(argv + 3, argv + argc), &spot)) {
        Window window = shown_window(display, std::atol(argv[2]), 0);
        if (mode == "move") {
            move_pointer(display, window, spot);
        } else {
            Clock::time_point pressed = settled_click(display, window, spot, true);
            if (mode == "press") {
                std::printf("%.2f\n", std::chrono::duration<double, std::milli>(pressed.time_since_epoch()).count());
            }
        }
        result = 0;
    } else if (mode == "key" && argc == 4) {
        result = press_key(display, shown_window(display, std::atol(argv[2]), 0), argv[3]) ? 0 : 2;
    } else if (mode == "start" && argc == 5) {
        result = run_start(display, std::atoi(argv[2]), argv[3], argv[4]);
    } else if (mode == "open" && (argc == 4 || argc == 6)) {
        result = run_open(display, std::atol(argv[2]), std::atoi(argv[3]), argc == 6 ? argv[4] : nullptr,
                          argc == 6 ? argv[5] : nullptr);
    } else {
        std::fprintf(stderr, "usage: see the comment at the top of tests/xprobe.cpp\n");
    }
    close_display(display);
    return result;
}
