// Every call the tests, the benchmarks and the package check make to the X
// server: Xlib to find and read windows, XTest to point, click and type.
#include "tests/xdrive.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace {

// The player reads where the pointer is once per frame, from the latest
// position it has been told of: a move that reached it before it took a
// click would aim the click there. A person's pause after each click keeps
// the two apart.
constexpr auto CLICK_PAUSE = std::chrono::milliseconds(50);

// A window can vanish between finding and reading it; such errors must fail
// the read, not end the program.
int ignore_x_error(Display*, XErrorEvent*)
{
    return 0;
}

// A window property's items of the type given, as Xlib hands them over (an
// item of format 32 as a long); none when the window has no such property.
std::vector<unsigned char> property_of(Display* display, Window window, const char* name, Atom type, long items)
{
    Atom actual = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::vector<unsigned char> bytes;
    if (XGetWindowProperty(display, window, XInternAtom(display, name, False), 0, items, False, type, &actual, &format,
                           &count, &after, &data) == Success &&
        data != nullptr) {
        size_t item_size = format == 32 ? sizeof(long) : static_cast<size_t>(format) / 8;
        bytes.assign(data, data + count * item_size);
        XFree(data);
    }
    return bytes;
}

long window_pid(Display* display, Window window)
{
    std::vector<unsigned char> pid = property_of(display, window, "_NET_WM_PID", XA_CARDINAL, 1);
    long value = -1;
    if (pid.size() == sizeof value) {
        std::memcpy(&value, pid.data(), sizeof value);
    }
    return value;
}

bool viewable(Display* display, Window window, XWindowAttributes* attributes)
{
    return window != 0 && XGetWindowAttributes(display, window, attributes) != 0 && attributes->map_state == IsViewable;
}

std::string window_caption(Display* display, Window window)
{
    std::vector<unsigned char> name =
        property_of(display, window, "_NET_WM_NAME", XInternAtom(display, "UTF8_STRING", False), 1024);
    if (!name.empty()) {
        return std::string(name.begin(), name.end());
    }
    std::string caption;
    char* old_name = nullptr;
    if (XFetchName(display, window, &old_name) != 0 && old_name != nullptr) {
        caption = old_name;
        XFree(old_name);
    }
    return caption;
}

std::string window_class(Display* display, Window window)
{
    XClassHint hint = {};
    if (XGetClassHint(display, window, &hint) == 0) {
        return "";
    }
    std::string name = hint.res_class != nullptr ? hint.res_class : "";
    XFree(hint.res_name);
    XFree(hint.res_class);
    return name;
}

// The first viewable window of process pid at or below this one. A window
// manager puts each top-level window into a frame of its own, and may nest
// frames further: the player's window is then no child of the root.
Window find_below(Display* display, Window window, long pid)
{
    XWindowAttributes attributes;
    if (window_pid(display, window) == pid && viewable(display, window, &attributes)) {
        return window;
    }
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &children, &count) == 0) {
        return 0;
    }
    Window found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        found = find_below(display, children[i], pid);
    }
    if (children != nullptr) {
        XFree(children);
    }
    return found;
}

} // namespace

Display* open_display(const std::string& name)
{
    XSetErrorHandler(ignore_x_error);
    Display* display = XOpenDisplay(name.c_str());
    int event_base = 0;
    int error_base = 0;
    int major = 0;
    int minor = 0;
    if (display != nullptr && XTestQueryExtension(display, &event_base, &error_base, &major, &minor) == 0) {
        XCloseDisplay(display);
        return nullptr;
    }
    return display;
}

void close_display(Display* display)
{
    XCloseDisplay(display);
}

Window find_window(Display* display, long pid)
{
    XSync(display, False);
    return find_below(display, DefaultRootWindow(display), pid);
}

Window wait_for_pid_window(Display* display, long pid, int width, double seconds)
{
    Window window = 0;
    bool shown = wait_until(
        [&] {
            window = find_window(display, pid);
            XWindowAttributes attributes;
            return viewable(display, window, &attributes) && (width == 0 || attributes.width == width);
        },
        seconds);
    return shown ? window : 0;
}

bool look_at(Display* display, Window window, WindowLook* look)
{
    XWindowAttributes attributes;
    if (window == 0 || XGetWindowAttributes(display, window, &attributes) == 0) {
        return false;
    }
    look->width = attributes.width;
    look->height = attributes.height;
    look->caption = window_caption(display, window);
    look->class_name = window_class(display, window);
    return true;
}

bool screenshot(Display* display, Window window, Image* image)
{
    XWindowAttributes attributes;
    if (!viewable(display, window, &attributes)) {
        return false;
    }
    XImage* shot = XGetImage(display, window, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    if (shot == nullptr) {
        return false;
    }
    image->width = attributes.width;
    image->height = attributes.height;
    image->pixels.resize(static_cast<size_t>(image->width) * image->height);
    // The benchmarks read the window every half millisecond: the common
    // layout is copied straight, any other goes through XGetPixel.
    bool plain = shot->bits_per_pixel == 32 && shot->byte_order == LSBFirst && shot->red_mask == 0xFF0000 &&
                 shot->green_mask == 0xFF00 && shot->blue_mask == 0xFF;
    for (int y = 0; y < image->height; ++y) {
        uint32_t* row = image->pixels.data() + static_cast<size_t>(y) * image->width;
        const auto* data =
            reinterpret_cast<const uint32_t*>(shot->data + static_cast<size_t>(y) * shot->bytes_per_line);
        for (int x = 0; x < image->width; ++x) {
            if (plain) {
                row[x] = data[x] & 0xFFFFFF;
                continue;
            }
            unsigned long p = XGetPixel(shot, x, y);
            uint32_t r = (p & shot->red_mask) >> __builtin_ctzl(shot->red_mask);
            uint32_t g = (p & shot->green_mask) >> __builtin_ctzl(shot->green_mask);
            uint32_t b = (p & shot->blue_mask) >> __builtin_ctzl(shot->blue_mask);
            row[x] = r << 16 | g << 8 | b;
        }
    }
    XDestroyImage(shot);
    return true;
}

void move_pointer(Display* display, Window window, Spot spot)
{
    int root_x = 0;
    int root_y = 0;
    Window child = 0;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), spot.x, spot.y, &root_x, &root_y, &child);
    XTestFakeMotionEvent(display, DefaultScreen(display), root_x, root_y, CurrentTime);
    XSync(display, False);
}

void click(Display* display, int button, int repeat)
{
    for (int i = 0; i < repeat; ++i) {
        XTestFakeButtonEvent(display, static_cast<unsigned int>(button), True, CurrentTime);
        XTestFakeButtonEvent(display, static_cast<unsigned int>(button), False, CurrentTime);
    }
    XSync(display, False);
}

void click_at(Display* display, Window window, Spot spot, int button)
{
    move_pointer(display, window, spot);
    click(display, button);
    std::this_thread::sleep_for(CLICK_PAUSE);
}

void focus_window(Display* display, Window window)
{
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
}

bool press_key(Display* display, Window window, const std::string& key)
{
    KeySym symbol = XStringToKeysym(key.c_str());
    KeyCode code = symbol == NoSymbol ? 0 : XKeysymToKeycode(display, symbol);
    if (code == 0) {
        return false;
    }
    // A key sent straight to the window (XSendEvent) does not reach the
    // player: focus the window, then type as a keyboard would.
    focus_window(display, window);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    XSync(display, False);
    return true;
}

void send_close_request(Display* display, Window window)
{
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display, "WM_DELETE_WINDOW", False));
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}
