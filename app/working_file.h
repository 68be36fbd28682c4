// The player's two working files in temp/: read only when they are plain
// files, and written whole or not at all.
#pragma once

#include <cstdio>

// Room for a working file's path and the suffix of its replacement.
constexpr int WORKING_PATH_SIZE = 64;

// Opens a working file for reading. nullptr when it is missing or is not a
// regular file (a symbolic link, a FIFO, a device, a folder): such a file
// reads as absent. Never waits for a writer.
FILE* open_working_file(const char* path);

// A working file being rewritten: the new content goes into a fresh file
// beside it, which takes its place only once it is complete.
struct WorkingFileWrite {
    FILE* file;
    char new_path[WORKING_PATH_SIZE];
};

// Creates the fresh file. False, with nothing created, when temp/ cannot take
// it.
bool begin_working_file(WorkingFileWrite* write, const char* path);
// Puts the new content in place of path, replacing whatever entry held that
// name without writing through it. When any write failed (a full disk) the
// fresh file is removed and path keeps its old content. Returns whether the
// new content is in place.
bool finish_working_file(WorkingFileWrite* write, const char* path);
