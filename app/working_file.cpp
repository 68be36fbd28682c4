// The player's two working files in temp/: read only when they are plain
// files, and written whole or not at all.
#include "app/working_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Everyone may read the working files, as when they were created in place;
// the user's umask still applies.
constexpr mode_t WORKING_FILE_MODE = 0666;

} // namespace

FILE* open_working_file(const char* path)
{
    // Not following a symbolic link keeps the player from reading or writing
    // through one; non-blocking keeps a FIFO from holding the frame loop.
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

bool begin_working_file(WorkingFileWrite* write, const char* path)
{
    write->file = nullptr;
    // One fresh file per process, so that two players in one folder never
    // write into the same one.
    int length =
        std::snprintf(write->new_path, sizeof write->new_path, "%s.%ld.new", path, static_cast<long>(getpid()));
    if (length < 0 || length >= static_cast<int>(sizeof write->new_path)) {
        return false;
    }
    // A leftover of a run that was killed mid-write, or anything planted
    // under this name, is removed, never written through: the file is
    // created afresh or not at all.
    unlink(write->new_path);
    int fd =
        open(write->new_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, WORKING_FILE_MODE);
    if (fd < 0) {
        return false;
    }
    write->file = fdopen(fd, "w");
    if (write->file == nullptr) {
        close(fd);
        unlink(write->new_path);
        return false;
    }
    return true;
}

bool finish_working_file(WorkingFileWrite* write, const char* path)
{
    if (write->file == nullptr) {
        return false;
    }
    bool written = std::fflush(write->file) == 0 && std::ferror(write->file) == 0;
    written = std::fclose(write->file) == 0 && written;
    write->file = nullptr;
    if (written && std::rename(write->new_path, path) == 0) {
        return true;
    }
    unlink(write->new_path);
    return false;
}
