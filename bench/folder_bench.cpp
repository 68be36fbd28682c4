// The browser's work on a large music folder, in process under SDL's dummy
// video driver: the folder scan, the list drawing, and both together as one
// click on the open button does them (scan, then the view switch that
// re-creates the window and draws the list).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <SDL.h>
#include <SDL_ttf.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>

#include "app/frame.h"
#include "browser/scan.h"
#include "display/song_list.h"
#include "display/view.h"
#include "tests/support.h"

namespace fs = std::filesystem;

namespace {

// Working directories laid out like the player's, each with entries empty
// files named like a ripped collection in music/. Each size is made once
// and shared by the benchmarks that need it: making 100,000 files takes
// longer than timing them.
struct Workdirs {
    std::map<int, fs::path> by_size;
};

fs::path make_workdir(int entries)
{
    fs::path dir = make_scratch_dir("klamor-bench");
    char name[64];
    for (int i = 0; i < entries; ++i) {
        std::snprintf(name, sizeof name, "track_%06d.mp3", i);
        int fd = ::open((dir / "music" / name).c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd >= 0) {
            ::close(fd);
        }
    }
    return dir;
}

// The benchmark library calls plain functions, so the shared directories
// live here for the whole run.
Workdirs workdirs;

void enter_workdir(int entries)
{
    if (workdirs.by_size.count(entries) == 0) {
        workdirs.by_size[entries] = make_workdir(entries);
    }
    fs::current_path(workdirs.by_size[entries]);
}

void remove_workdirs()
{
    for (const auto& [size, dir] : workdirs.by_size) {
        leave_scratch_dir(dir);
    }
}

void start(PlayerRecords* player)
{
    char error[ERROR_TEXT_SIZE] = "";
    if (!start_player(player, error, sizeof error)) {
        std::fprintf(stderr, "bench_folder: %s\n", error);
        std::exit(1);
    }
}

// The frame state of a click on the open button.
void press_open(UiState* ui)
{
    ui->view = VIEW_BROWSER;
    ui->hover_button = HOVER_OPEN;
    ui->clicked = 1;
}

void BM_scan_music_folder(benchmark::State& state)
{
    enter_workdir(static_cast<int>(state.range(0)));
    UiState ui = {};
    press_open(&ui);
    for (auto _ : state) {
        scan_music_folder(&ui);
    }
}

void BM_draw_song_list(benchmark::State& state)
{
    enter_workdir(static_cast<int>(state.range(0)));
    PlayerRecords player = {};
    start(&player);
    press_open(&player.ui);
    scan_music_folder(&player.ui);
    char error[ERROR_TEXT_SIZE] = "";
    switch_view(&player.skin, &player.layout, &player.ui, player.font, player.text_colour, error, sizeof error);
    for (auto _ : state) {
        draw_song_list(&player.skin, &player.layout, &player.ui, player.font, player.text_colour);
    }
    stop_player(&player);
}

// What one click on the open button costs the frame: the scan, the new
// window, the backgrounds, the list and both presentations.
void BM_open_click(benchmark::State& state)
{
    enter_workdir(static_cast<int>(state.range(0)));
    PlayerRecords player = {};
    start(&player);
    char error[ERROR_TEXT_SIZE] = "";
    for (auto _ : state) {
        press_open(&player.ui);
        scan_music_folder(&player.ui);
        draw_frame(&player.skin, &player.layout, &player.ui, player.font, player.text_colour, error, sizeof error);
    }
    stop_player(&player);
}

constexpr int SMALL_FOLDER = 10000;
constexpr int LARGE_FOLDER = 100000;

BENCHMARK(BM_scan_music_folder)->Arg(SMALL_FOLDER)->Arg(LARGE_FOLDER)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_draw_song_list)->Arg(SMALL_FOLDER)->Arg(LARGE_FOLDER)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_open_click)->Arg(SMALL_FOLDER)->Arg(LARGE_FOLDER)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    // The benchmark needs no display and no sound card; a user's own choice
    // of driver still wins.
    setenv("SDL_VIDEODRIVER", "dummy", 0);
    setenv("SDL_AUDIODRIVER", "dummy", 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    remove_workdirs();
    benchmark::Shutdown();
    return 0;
}
