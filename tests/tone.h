// Test audio: sine tones synthesised here and encoded to MP3 with lame, and
// measurements of what the engine or the player puts out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ToneRecipe {
    double frequency; // Hz
    int rate;         // samples per second of the file
    int channels;     // 1 or 2
    double seconds;
    std::string lame_options; // extra options, e.g. "--freeformat -b 320"
};

// Writes the tone as a 16-bit WAV file and encodes it to mp3_path with lame.
// Throws when lame fails.
void make_tone_mp3(const std::string& mp3_path, const ToneRecipe& tone);

// One channel (0 left, 1 right) of interleaved stereo 16-bit frames, as floats.
std::vector<float> channel_of(const std::vector<int16_t>& stereo, int channel);
// The frequency of a tone, from the zero crossings between the first and the
// last crossing of the given span (interpolated between samples).
double measure_frequency(const std::vector<float>& samples, int rate, size_t begin, size_t end);
// Index of the first and one past the last sample whose magnitude exceeds
// threshold; both 0 when none does.
std::pair<size_t, size_t> audible_span(const std::vector<float>& samples, float threshold);
// The root mean square level of [begin, end); full scale 1.0.
double rms_of(const std::vector<float>& samples, size_t begin, size_t end);
// The largest difference between neighbouring samples in [begin, end).
float largest_step(const std::vector<float>& samples, size_t begin, size_t end);

// Sanitizers hold freed memory back on purpose: in such a build resident
// memory says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool RESIDENT_MEMORY_MEANINGFUL = false;
#else
constexpr bool RESIDENT_MEMORY_MEANINGFUL = true;
#endif
// Growth of resident memory over a soak that still counts as flat.
constexpr long SOAK_MEMORY_SLACK = 2L * 1024 * 1024;

// Open file descriptors of this process, and its resident memory in bytes.
int open_fd_count();
long resident_bytes();
// Paths of the files this process has open.
std::vector<std::string> open_file_paths();
