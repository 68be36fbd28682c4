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
// The same with the pitch rising steadily from the recipe's frequency to
// to_hz over the song: no stretch of it looks like another, so that where a
// recorded stretch lies in the song tells which frame each sample was.
void make_sweep_mp3(const std::string& mp3_path, const ToneRecipe& tone, double to_hz);

// A stretch of recorded frames, [begin, end).
struct Stretch {
    size_t begin = 0;
    size_t end = 0;
};
// Runs of digital silence (0 on every side) of at least length frames
// within [begin, end) of interleaved 16-bit frames of channels.
std::vector<Stretch> silent_runs(const std::vector<int16_t>& heard, int channels, size_t begin, size_t end,
                                 size_t length);

// Finding recorded sound in the song it came from. Both hold interleaved
// 16-bit frames of the same number of channels; a stretch is this many
// frames, long enough to lie at one place only in a sweep or in the
// bench's multi-tone song.
constexpr int MATCH_FRAMES = 256;
// A resume is judged on stretches this far from the pause's silence on
// either side and twice as far, well clear of the fades.
constexpr int CLEAR_OF_FADE_FRAMES = 48000 / 20;
// The frame of the song at which the recorded stretch starting at frame
// begin is found: exactly where the server passed the samples through
// untouched, otherwise where they differ least; -1 when the song is shorter
// than a stretch.
long find_in_song(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t begin, int channels);
// The root mean square difference, full scale 1.0, between the recorded
// stretch at frame begin and the song's at frame at.
double difference_at(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t begin, long at,
                     int channels);
// Judges a recording holding the song, a run of digital silence in
// [silence_begin, silence_end) where it paused, and the song again: the
// song's frames skipped (or, below 0, repeated) from the last frame heard
// before the silence to the first one after it. Two stretches on each side,
// at different distances, must tell the same, or *found is false.
long resume_gap(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t silence_begin,
                size_t silence_end, int channels, bool* found);

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
