// Scratch working directories, file helpers, waiting, and SDL pixels and
// events for the tests and the benchmarks.
#include "tests/support.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

fs::path& start_dir()
{
    static fs::path dir = fs::current_path();
    return dir;
}

constexpr auto POLL_PERIOD = std::chrono::milliseconds(10);

} // namespace

std::string make_scratch_dir(const std::string& label)
{
    start_dir();
    std::string pattern = (fs::temp_directory_path() / (label + "-XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    fs::path dir = pattern;
    fs::path source = KLAMOR_SOURCE_DIR;
    fs::create_directories(dir / "skins");
    fs::create_directory_symlink(source / "skins" / "used", dir / "skins" / "used");
    fs::create_symlink(source / "GeosansLight.ttf", dir / "GeosansLight.ttf");
    fs::create_directory(dir / "music");
    fs::create_directory(dir / "temp");
    return pattern;
}

std::string enter_scratch_dir()
{
    std::string dir = make_scratch_dir("klamor-test");
    fs::current_path(dir);
    return dir;
}

void leave_scratch_dir(const std::string& path)
{
    fs::current_path(start_dir());
    std::error_code ignored;
    fs::remove_all(path, ignored);
}

bool wait_until(const std::function<bool()>& condition, double seconds)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return condition();
        }
        std::this_thread::sleep_for(POLL_PERIOD);
    }
    return true;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

Uint32 pixel_at(SDL_Surface* image, int x, int y)
{
    SDL_LockSurface(image);
    const Uint8* p = static_cast<const Uint8*>(image->pixels) + y * image->pitch + x * image->format->BytesPerPixel;
    Uint32 value = 0;
    switch (image->format->BytesPerPixel) {
    case 1:
        value = *p;
        break;
    case 2:
        value = *reinterpret_cast<const Uint16*>(p);
        break;
    case 3:
        value = p[0] | (p[1] << 8) | (p[2] << 16);
        break;
    default:
        value = *reinterpret_cast<const Uint32*>(p);
        break;
    }
    SDL_UnlockSurface(image);
    return value;
}

SDL_Event button_press(uint8_t button)
{
    SDL_Event event = {};
    event.type = SDL_MOUSEBUTTONDOWN;
    event.button.button = button;
    event.button.state = SDL_PRESSED;
    return event;
}

SDL_Event key_press(SDLKey key)
{
    SDL_Event event = {};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = key;
    return event;
}

const char* planted_name(Planted what)
{
    switch (what) {
    case Planted::LINK_TO_OUTSIDE:
        return "symbolic link to a file outside";
    case Planted::HARD_LINK_TO_OUTSIDE:
        return "hard link to a file outside";
    case Planted::LINK_TO_DEV_ZERO:
        return "symbolic link to /dev/zero";
    case Planted::FIFO:
        return "FIFO";
    }
    return "?";
}

void plant(const std::string& path, Planted what, const std::string& outside)
{
    std::error_code ignored;
    fs::remove(path, ignored);
    switch (what) {
    case Planted::LINK_TO_OUTSIDE:
        fs::create_symlink(fs::absolute(outside), path);
        break;
    case Planted::HARD_LINK_TO_OUTSIDE:
        fs::create_hard_link(outside, path);
        break;
    case Planted::LINK_TO_DEV_ZERO:
        fs::create_symlink("/dev/zero", path);
        break;
    case Planted::FIFO:
        if (mkfifo(path.c_str(), 0644) != 0) {
            throw std::runtime_error("mkfifo failed");
        }
        break;
    }
}

std::string read_plain_file(const std::string& path)
{
    if (!fs::is_regular_file(fs::symlink_status(path))) {
        return "(not a plain file)";
    }
    return read_file(path);
}

std::vector<std::string> folder_names(const std::string& path)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(path)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
