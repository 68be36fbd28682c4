// Drives and watches the player's window from outside, as a user's X server
// sees it: finds the window by the process id SDL stores on it, moves the
// pointer and clicks through XTest, and times how long the window takes to
// show a given picture by reading its pixels back. Nothing inside the player
// is instrumented.
//
//   bench_xprobe wait PID [VIEW]         until PID's window is viewable (and shows
//                                        VIEW: player or browser)
//   bench_xprobe move PID SPOT           pointer to a spot of the window
//   bench_xprobe click PID SPOT          move there, let the hover settle, click
//   bench_xprobe press PID SPOT          as click, and print when the button went
//                                        down (steady clock, ms), for bench_listen
//
// A SPOT is window pixel X Y, a button (play, pause, stop, open, back), or line N
// for the list's line N in its first column (the first nine lines).
//   bench_xprobe start RUNS DIR PROGRAM  exec to first presented frame, RUNS times
//   bench_xprobe open PID RUNS [STALE LIST]
//                                        open click to presented browser, RUNS times;
//                                        with STALE and LIST, LIST is made a fresh copy
//                                        of STALE (on disk) before each timed click
//
// Times are printed in milliseconds, one run per line.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "display/layout.h"

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

constexpr ScreenPoint middle_of(ScreenSpan x, ScreenSpan y)
{
    return {(x.low + x.high) / 2, (y.low + y.high) / 2};
}

// The buttons the benchmarks click, in the middle of their hover ranges.
struct NamedSpot {
    const char* name;
    ScreenPoint at;
};
constexpr NamedSpot BUTTONS[] = {
    {"play", middle_of(PLAY_HOVER, ROW_BAND)},   {"stop", middle_of(STOP_HOVER, ROW_BAND)},
    {"open", middle_of(OPEN_HOVER, ROW_BAND)},   {"back", middle_of(BACK_HOVER_X, BACK_HOVER_Y)},
    {"pause", middle_of(PAUSE_HOVER, ROW_BAND)},
};
constexpr ScreenPoint OPEN_SPOT = BUTTONS[2].at;
constexpr ScreenPoint BACK_SPOT = BUTTONS[3].at;

int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}

double ms_since(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long window_pid(Display* display, Window window)
{
    Atom pid_atom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    long pid = -1;
    if (XGetWindowProperty(display, window, pid_atom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success &&
        data != nullptr) {
        if (format == 32 && count == 1) {
            pid = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
        }
        XFree(data);
    }
    return pid;
}

// The viewable top-level window of pid, or None.
Window find_window(Display* display, long pid)
{
    Window root_return = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = None;
    if (XQueryTree(display, DefaultRootWindow(display), &root_return, &parent, &children, &count) == 0) {
        return None;
    }
    for (unsigned int i = 0; i < count && found == None; ++i) {
        XWindowAttributes attributes;
        if (window_pid(display, children[i]) == pid && XGetWindowAttributes(display, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable) {
            found = children[i];
        }
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

int window_width(Display* display, Window window)
{
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) == 0) {
        return -1;
    }
    return attributes.width;
}

// The window's pixels, empty when it cannot be read (not viewable, gone).
std::vector<char> grab(Display* display, Window window)
{
    XWindowAttributes attributes;
    if (window == None || XGetWindowAttributes(display, window, &attributes) == 0 ||
        attributes.map_state != IsViewable) {
        return {};
    }
    XImage* image = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (image == nullptr) {
        return {};
    }
    std::vector<char> pixels(image->data, image->data + image->bytes_per_line * image->height);
    XDestroyImage(image);
    return pixels;
}

// Waits for the window of pid (of the given width when not 0).
Window wait_window(Display* display, long pid, int width)
{
    Clock::time_point start = Clock::now();
    while (Clock::now() - start < GIVE_UP) {
        Window window = find_window(display, pid);
        if (window != None && (width == 0 || window_width(display, window) == width)) {
            return window;
        }
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    std::fprintf(stderr, "bench_xprobe: no %d pixel wide window of process %ld\n", width, pid);
    std::exit(1);
}

// Waits until the picture stops changing and returns it.
std::vector<char> settled_picture(Display* display, long pid, int width)
{
    std::vector<char> last;
    Clock::time_point changed = Clock::now();
    Clock::time_point start = changed;
    while (Clock::now() - changed < SETTLE_TIME) {
        if (Clock::now() - start > GIVE_UP) {
            std::fprintf(stderr, "bench_xprobe: the window of process %ld never settles\n", pid);
            std::exit(1);
        }
        std::vector<char> now = grab(display, wait_window(display, pid, width));
        if (now != last) {
            last = now;
            changed = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return last;
}

// Waits until the window of pid shows exactly picture; returns the time it
// took from start.
double wait_picture(Display* display, long pid, const std::vector<char>& picture, Clock::time_point start)
{
    while (Clock::now() - start < GIVE_UP) {
        Window window = find_window(display, pid);
        if (window != None && grab(display, window) == picture) {
            return ms_since(start);
        }
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    std::fprintf(stderr, "bench_xprobe: the window of process %ld never showed the expected picture\n", pid);
    std::exit(1);
}

void move_pointer(Display* display, Window window, int x, int y)
{
    int root_x = 0;
    int root_y = 0;
    Window child = None;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), x, y, &root_x, &root_y, &child);
    XTestFakeMotionEvent(display, DefaultScreen(display), root_x, root_y, CurrentTime);
    XSync(display, False);
}

Clock::time_point click(Display* display, Window window, int x, int y, bool settle_after)
{
    move_pointer(display, window, x, y);
    std::this_thread::sleep_for(HOVER_SETTLE);
    Clock::time_point pressed = Clock::now();
    XTestFakeButtonEvent(display, 1, True, CurrentTime);
    XTestFakeButtonEvent(display, 1, False, CurrentTime);
    XSync(display, False);
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
    std::vector<char> reference;
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
            reference = settled_picture(display, child, PLAYER_WIDTH);
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
        std::fprintf(stderr, "bench_xprobe: cannot copy %s: %s\n", stale, failed.message().c_str());
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
    Window window = wait_window(display, pid, 0);
    std::vector<char> reference;
    for (int run = 0; run <= runs; ++run) {
        if (window_width(display, window) == BROWSER_WIDTH) {
            click(display, window, BACK_SPOT.x, BACK_SPOT.y, true);
            window = wait_window(display, pid, PLAYER_WIDTH);
        }
        if (stale != nullptr && run > 0 && !plant_stale_list(stale, list)) {
            return 1;
        }
        // Let the back click's drawing finish so that it is not timed.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // Timed from the press; nothing moves the pointer until the picture is in.
        Clock::time_point pressed = click(display, window, OPEN_SPOT.x, OPEN_SPOT.y, false);
        if (run == 0) {
            reference = settled_picture(display, pid, BROWSER_WIDTH);
        } else {
            std::printf("%.2f\n", wait_picture(display, pid, reference, pressed));
            std::fflush(stdout);
        }
        window = wait_window(display, pid, BROWSER_WIDTH);
    }
    return 0;
}

// Reads a spot from the words of the command line; false when they name none.
bool read_spot(const std::vector<std::string>& words, ScreenPoint* spot)
{
    if (words.size() == 1) {
        for (const NamedSpot& button : BUTTONS) {
            if (words[0] == button.name) {
                *spot = button.at;
                return true;
            }
        }
        return false;
    }
    if (words.size() != 2) {
        return false;
    }
    if (words[0] == "line") {
        // Inside the first band whose index is the line number.
        int line = std::atoi(words[1].c_str());
        if (line < 1 || line > LIST_ROWS) {
            return false;
        }
        int top = BAND_FIRST_TOP;
        while (top / LIST_ROW_HEIGHT < line && top < BAND_LAST_TOP) {
            top += BAND_HEIGHT;
        }
        *spot = {(GRID_COLUMNS[0].low + GRID_COLUMNS[0].high) / 2, top + BAND_HEIGHT / 2};
        return true;
    }
    *spot = {std::atoi(words[0].c_str()), std::atoi(words[1].c_str())};
    return true;
}

int view_width(const std::string& view)
{
    return view == "browser" ? BROWSER_WIDTH : (view == "player" ? PLAYER_WIDTH : 0);
}

} // namespace

int main(int argc, char** argv)
{
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "bench_xprobe: cannot open the X display\n");
        return 1;
    }
    // Windows come and go while they are watched; a failed query just reads
    // as "not there yet".
    XSetErrorHandler(ignore_x_error);
    std::string mode = argc > 1 ? argv[1] : "";
    int result = 2;
    ScreenPoint spot = {};
    if (mode == "wait" && (argc == 3 || argc == 4)) {
        wait_window(display, std::atol(argv[2]), argc == 4 ? view_width(argv[3]) : 0);
        result = 0;
    } else if ((mode == "move" || mode == "click" || mode == "press") && argc >= 4 &&
               read_spot(std::vector<std::string>(argv + 3, argv + argc), &spot)) {
        Window window = wait_window(display, std::atol(argv[2]), 0);
        if (mode == "move") {
            move_pointer(display, window, spot.x, spot.y);
        } else {
            Clock::time_point pressed = click(display, window, spot.x, spot.y, true);
            if (mode == "press") {
                std::printf("%.2f\n", std::chrono::duration<double, std::milli>(pressed.time_since_epoch()).count());
            }
        }
        result = 0;
    } else if (mode == "start" && argc == 5) {
        result = run_start(display, std::atoi(argv[2]), argv[3], argv[4]);
    } else if (mode == "open" && (argc == 4 || argc == 6)) {
        result = run_open(display, std::atol(argv[2]), std::atoi(argv[3]), argc == 6 ? argv[4] : nullptr,
                          argc == 6 ? argv[5] : nullptr);
    } else {
        std::fprintf(stderr, "usage: see the comment at the top of bench/xprobe.cpp\n");
    }
    XCloseDisplay(display);
    return result;
}
