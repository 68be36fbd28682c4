// Scanning the music folder into the list file, and the filter on its names.
#include "browser/scan.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

#include "app/working_file.h"

namespace {

// Songs are recognised by the exact lower-case ending, without the dot.
constexpr char SONG_ENDING[] = "mp3";
constexpr size_t SONG_ENDING_LENGTH = sizeof SONG_ENDING - 1;

// A dot this far from the end marks a three-character extension, which hides
// the name unless it is the song ending.
constexpr size_t EXTENSION_DOT_FROM_END = 4;

} // namespace

bool is_mp3_path(const char* text)
{
    size_t length = std::strlen(text);
    return length >= SONG_ENDING_LENGTH &&
           std::memcmp(text + length - SONG_ENDING_LENGTH, SONG_ENDING, SONG_ENDING_LENGTH) == 0;
}

bool is_listed_name(const char* name)
{
    // The list file holds one name per line; a name with a newline in it
    // would read back as two entries.
    if (std::strchr(name, '\n') != nullptr) {
        return false;
    }
    if (is_mp3_path(name)) {
        return true;
    }
    size_t length = std::strlen(name);
    if (length < EXTENSION_DOT_FROM_END) {
        return true;
    }
    return name[length - EXTENSION_DOT_FROM_END] != '.';
}

void scan_music_folder(const UiState* ui)
{
    if (!is_open_click(ui)) {
        return;
    }
    // Without a temp folder there is nowhere to write the list, and the
    // player creates no folders of its own.
    WorkingFileWrite list = {};
    if (!begin_working_file(&list, LIST_FILE_PATH)) {
        return;
    }
    DIR* folder = opendir(MUSIC_FOLDER);
    if (folder != nullptr) {
        for (const dirent* entry = readdir(folder); entry != nullptr; entry = readdir(folder)) {
            if (is_listed_name(entry->d_name)) {
                std::fprintf(list.file, "%s\n", entry->d_name);
            }
        }
    }
    // A list cut short by a full disk is not put in place: the last whole
    // one stays.
    finish_working_file(&list, LIST_FILE_PATH);
    if (folder != nullptr) {
        closedir(folder);
    }
}
