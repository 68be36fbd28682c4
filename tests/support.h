// Shared helpers for the tests: a scratch working directory laid out like
// the player's own, and small file utilities.
#pragma once

#include <string>

// Creates an empty directory under the system's temporary folder with the
// skin and font linked in and empty music/ and temp/ folders, and makes it
// the working directory. Returns its path.
std::string enter_scratch_dir();
// Returns to the directory the test started in and removes the scratch one.
void leave_scratch_dir(const std::string& path);

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& content);
