// Writing 16-bit PCM WAV files, for the programs that make sound for lame.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes interleaved samples with the given channel count and rate. False
// when the file cannot be written whole.
bool write_wav_file(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels);
