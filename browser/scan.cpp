// Scanning the music folder into the list file.
#include "browser/scan.h"

#include "app/working_file.h"
#include "browser/pick.h"

#include <dirent.h>

#include <cstdio>
#include <cstring>

namespace {

// A dot this far from the end marks a three-character extension, which hides
// the name unless it is the song ending.
constexpr size_t EXTENSION_DOT_FROM_END = 4;

bool is_open_click(const UiState* ui)
{
    // The click has already switched the view, so a click over the open
    // button in either view rescans.
    return ui->view == VIEW_BROWSER && ui->hover_button == HOVER_OPEN && ui->clicked == 1;
}

} // namespace

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
