// Turning a click on the drawn list into the current song and the choice file.
#include "browser/pick.h"

#include <limits.h>

#include <cstdio>
#include <cstring>

#include "app/working_file.h"
#include "browser/scan.h"
#include "display/layout.h"

namespace {

// The list area begins at the grid's first column; clicks left of it never
// pick.
constexpr int LIST_AREA_LAST_OUTSIDE_X = GRID_COLUMNS[0].low - 1;

// Copies the stream's next line, without its newline, into the name part of
// song. Returns false when the line cannot name a file directly inside the
// music folder: it is longer than a file name may be, or holds a '/' or a
// NUL. Nothing past SongPath is written, and nothing past the longest name
// is read.
bool read_song_name(FILE* list, SongPath* song)
{
    char* name = song->text + MUSIC_PREFIX_LENGTH;
    int length = 0;
    bool usable = true;
    // A list that ends before this line gives an empty name, which is
    // refused later as not naming an mp3.
    int c = std::fgetc(list);
    while (c != EOF && c != '\n') {
        if (length == SONG_NAME_MAX) {
            name[0] = '\0';
            return false;
        }
        if (c == '/' || c == '\0') {
            usable = false;
        }
        name[length] = static_cast<char>(c);
        ++length;
        c = std::fgetc(list);
    }
    name[length] = '\0';
    return usable;
}

// Writes the music prefix and a NUL; the bytes after them are left alone.
void reset_song_path(SongPath* song)
{
    std::memcpy(song->text, MUSIC_PREFIX, MUSIC_PREFIX_LENGTH + 1);
}

// Skips count lines. False when the stream ends first, or a line runs on
// longer than any path can be, which ends the list there.
bool skip_lines(FILE* stream, int count)
{
    for (int skipped = 0; skipped < count; ++skipped) {
        int c = std::fgetc(stream);
        for (int length = 0; c != EOF && c != '\n'; ++length) {
            // The scan never writes a line longer than a file name. One
            // longer than any path in a stale or planted list ends it rather
            // than be read through, however large the file.
            if (length == PATH_MAX) {
                return false;
            }
            c = std::fgetc(stream);
        }
        if (c == EOF) {
            return false;
        }
    }
    return true;
}

// The list index under a point of the list area, by the fixed hit grid; 0
// outside the grid.
int list_index_at(int x, int y)
{
    for (int top = BAND_FIRST_TOP; top <= BAND_LAST_TOP; top += BAND_HEIGHT) {
        if (y < top || y > top + BAND_HEIGHT - 1) {
            continue;
        }
        int column_start = 0;
        for (const ScreenSpan& column : GRID_COLUMNS) {
            if (x >= column.low && x <= column.high) {
                return top / LIST_ROW_HEIGHT + column_start;
            }
            column_start += LIST_ROWS;
        }
    }
    return 0;
}

} // namespace

void select_song(int index, SongPath* song)
{
    FILE* list = open_working_file(LIST_FILE_PATH);
    if (list == nullptr) {
        reset_song_path(song);
        return;
    }
    WorkingFileWrite choice = {};
    if (!begin_working_file(&choice, CHOICE_FILE_PATH)) {
        std::fclose(list);
        reset_song_path(song);
        return;
    }
    // Index 0 and index 1 both read the first line.
    if (!skip_lines(list, index - 1) || !read_song_name(list, song) || !is_mp3_path(song->text)) {
        reset_song_path(song);
    }
    std::fprintf(choice.file, "%s\n%d", song->text, index);
    // A pick the choice file cannot record is no pick, as when the file
    // cannot be created at all.
    if (!finish_working_file(&choice, CHOICE_FILE_PATH)) {
        reset_song_path(song);
    }
    std::fclose(list);
}

void pick_song(const InputState* input, const UiState* ui, SongPath* song)
{
    if (input->mouse_x <= LIST_AREA_LAST_OUTSIDE_X || input->left_down != 1 || ui->view != VIEW_BROWSER) {
        return;
    }
    // The old song is dropped whatever the click hits.
    reset_song_path(song);
    int index = list_index_at(input->mouse_x, input->mouse_y);
    // song_count counts drawn entries; past it there is nothing to pick.
    if (index > ui->song_count) {
        return;
    }
    select_song(index, song);
}
