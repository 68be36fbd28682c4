// Fuzzing: any bytes as the list file, drawn into the browser and picked
// from at every place of the hit grid.
#include <SDL.h>
#include <SDL_ttf.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "app/frame.h"
#include "app/state.h"
#include "browser/pick.h"
#include "browser/scan.h"
#include "display/layout.h"
#include "display/song_list.h"

namespace {

// Entries the window can show, and one more read to know there are more.
constexpr int MOST_COUNTED = (BROWSER_WIDTH - LIST_HOME.x + LIST_COLUMN_WIDTH - 1) / LIST_COLUMN_WIDTH * LIST_ROWS + 1;

struct Bench {
    SkinSet skin;
    Layout layout;
    TTF_Font* font;
    // The player reads and writes its working files relative to the working
    // directory: each input runs in a scratch folder, and libFuzzer, which
    // reads the corpus and writes what it finds relative to where it was
    // started, is given that back after each.
    int scratch;
    int started_in;
};

Bench* bench()
{
    static Bench* made = [] {
        // A working folder of its own in memory, with the list and choice
        // files' temp/.
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        char folder[] = "/dev/shm/klamor-fuzz-XXXXXX";
        char fallback[] = "/tmp/klamor-fuzz-XXXXXX";
        const char* made_folder = mkdtemp(folder);
        if (made_folder == nullptr) {
            made_folder = mkdtemp(fallback);
        }
        if (made_folder == nullptr || mkdir((std::string(made_folder) + "/temp").c_str(), 0755) != 0) {
            std::abort();
        }
        static std::string to_remove = made_folder;
        std::atexit([] { std::filesystem::remove_all(to_remove); });
        auto* b = new Bench{};
        b->scratch = open(made_folder, O_RDONLY | O_DIRECTORY);
        b->started_in = open(".", O_RDONLY | O_DIRECTORY);
        if (b->scratch < 0 || b->started_in < 0) {
            std::abort();
        }
        if (SDL_Init(SDL_INIT_VIDEO) < 0 || TTF_Init() < 0) {
            std::abort();
        }
        b->skin.slots[SLOT_SCREEN] = SDL_SetVideoMode(BROWSER_WIDTH, WINDOW_HEIGHT, WINDOW_DEPTH, 0);
        b->font = TTF_OpenFont((std::string(KLAMOR_SOURCE_DIR) + "/" + FONT_PATH).c_str(), FONT_POINT_SIZE);
        if (b->skin.slots[SLOT_SCREEN] == nullptr || b->font == nullptr) {
            std::abort();
        }
        b->layout.positions[LIST_POS].x = static_cast<Sint16>(LIST_HOME.x);
        b->layout.positions[LIST_POS].y = static_cast<Sint16>(LIST_HOME.y);
        return b;
    }();
    return made;
}

void check(bool holds, const char* what)
{
    if (!holds) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

} // namespace

// libFuzzer writes the input that broke a run to the artifact prefix or
// path, relative to the working directory of the moment, the scratch folder
// while an input runs: made absolute here, before libFuzzer reads its flags,
// and by default where it was started, it lands where libFuzzer says.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static std::vector<std::string> flags;
    static std::vector<char*> pointers;
    const std::string started_in = std::filesystem::current_path().string() + "/";
    const std::string prefix = "-artifact_prefix=";
    bool prefix_given = false;
    for (int i = 0; i < *argc; ++i) {
        std::string flag = (*argv)[i];
        for (const std::string& name : {prefix, std::string("-exact_artifact_path=")}) {
            if (flag.starts_with(name) && !flag.starts_with(name + "/")) {
                flag = name + started_in + flag.substr(name.size());
            }
        }
        prefix_given = prefix_given || flag.starts_with(prefix);
        flags.push_back(flag);
    }
    if (!prefix_given) {
        flags.push_back(prefix + started_in);
    }
    for (std::string& flag : flags) {
        pointers.push_back(flag.data());
    }
    pointers.push_back(nullptr);
    *argc = static_cast<int>(flags.size());
    *argv = pointers.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bench* b = bench();
    check(fchdir(b->scratch) == 0, "in the scratch folder");
    FILE* list = std::fopen(LIST_FILE_PATH, "wb");
    check(list != nullptr && std::fwrite(data, 1, size, list) == size && std::fclose(list) == 0, "list written");

    UiState ui = {};
    ui.view = VIEW_BROWSER;
    SDL_Color black = {0, 0, 0, 0};
    draw_song_list(&b->skin, &b->layout, &ui, b->font, black);
    check(ui.song_count >= 0 && ui.song_count <= MOST_COUNTED, "count within what the window shows");
    check(b->layout.positions[LIST_POS].x == LIST_HOME.x && b->layout.positions[LIST_POS].y == LIST_HOME.y,
          "cursor home");

    // Both edges of every column of the hit grid, right of it, and every
    // band with one above and one below.
    std::vector<int> xs;
    for (const ScreenSpan& column : GRID_COLUMNS) {
        xs.push_back(column.low);
        xs.push_back(column.high);
    }
    xs.push_back(xs.back() + 1);
    for (int x : xs) {
        for (int y = BAND_FIRST_TOP - BAND_HEIGHT / 2; y <= BAND_LAST_TOP + BAND_HEIGHT; y += BAND_HEIGHT) {
            InputState input = {};
            input.mouse_x = static_cast<int16_t>(x);
            input.mouse_y = static_cast<int16_t>(y);
            input.left_down = 1;
            SongPath song = {};
            std::memcpy(song.text, "./music/earlier.mp3", 20);
            pick_song(&input, &ui, &song);
            const char* end = static_cast<const char*>(std::memchr(song.text, '\0', sizeof song.text));
            check(end != nullptr, "song path ends");
            check(std::strncmp(song.text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH) == 0, "song in the music folder");
            const char* name = song.text + MUSIC_PREFIX_LENGTH;
            check(std::strchr(name, '/') == nullptr, "song directly in the music folder");
            check(*name == '\0' || is_mp3_path(song.text), "song is an mp3 or none");
        }
    }
    check(fchdir(b->started_in) == 0, "back where the fuzzer started");
    return 0;
}
