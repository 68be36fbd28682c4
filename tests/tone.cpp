// Test tones made with lame, and what the tests measure in sound.
#include "tests/tone.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tools/wav_file.h"

namespace fs = std::filesystem;

namespace {

constexpr double PI = 3.14159265358979323846;
// Below full scale, so that neither encoder nor resampler clips.
constexpr double TONE_AMPLITUDE = 0.5;

} // namespace

namespace {

// The tone, its pitch rising linearly to to_hz, encoded with lame.
void make_mp3(const std::string& mp3_path, const ToneRecipe& tone, double to_hz)
{
    size_t frames = static_cast<size_t>(tone.seconds * tone.rate);
    double rise = (to_hz - tone.frequency) / tone.seconds;
    std::vector<int16_t> samples;
    samples.reserve(frames * tone.channels);
    for (size_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / tone.rate;
        double v = TONE_AMPLITUDE * std::sin(2.0 * PI * (tone.frequency * t + rise * t * t / 2.0));
        for (int c = 0; c < tone.channels; ++c) {
            samples.push_back(static_cast<int16_t>(std::lrint(v * 32767.0)));
        }
    }
    std::string wav_path = mp3_path + ".wav";
    if (!write_wav_file(wav_path, samples, tone.rate, tone.channels)) {
        throw std::runtime_error("cannot write " + wav_path);
    }
    // lame picks its own output rate for low bit rates unless told to keep
    // the input's.
    char resample[32];
    std::snprintf(resample, sizeof resample, "--resample %g", tone.rate / 1000.0);
    std::string command = std::string("lame --quiet ") + resample + (tone.channels == 1 ? " -m m " : " ") +
                          tone.lame_options + " '" + wav_path + "' '" + mp3_path + "'";
    int status = std::system(command.c_str());
    fs::remove(wav_path);
    if (status != 0) {
        throw std::runtime_error("lame failed: " + command);
    }
}

} // namespace

void make_tone_mp3(const std::string& mp3_path, const ToneRecipe& tone)
{
    make_mp3(mp3_path, tone, tone.frequency);
}

void make_sweep_mp3(const std::string& mp3_path, const ToneRecipe& tone, double to_hz)
{
    make_mp3(mp3_path, tone, to_hz);
}

std::vector<Stretch> silent_runs(const std::vector<int16_t>& heard, int channels, size_t begin, size_t end,
                                 size_t length)
{
    size_t frames = heard.size() / static_cast<size_t>(channels);
    end = std::min(end, frames);
    auto silent = [&](size_t frame) {
        for (int c = 0; c < channels; ++c) {
            if (heard[frame * static_cast<size_t>(channels) + static_cast<size_t>(c)] != 0) {
                return false;
            }
        }
        return true;
    };
    std::vector<Stretch> runs;
    size_t from = begin;
    for (size_t i = begin; i <= end; ++i) {
        if (i < end && silent(i)) {
            continue;
        }
        if (i - from >= length) {
            runs.push_back({from, i});
        }
        from = i + 1;
    }
    return runs;
}

long find_in_song(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t begin, int channels)
{
    const int16_t* wanted = heard.data() + begin * static_cast<size_t>(channels);
    size_t song_frames = song.size() / static_cast<size_t>(channels);
    long best = -1;
    double best_error = 0.0;
    for (size_t at = 0; at + MATCH_FRAMES <= song_frames; ++at) {
        const int16_t* here = song.data() + at * static_cast<size_t>(channels);
        double error = 0.0;
        for (int i = 0; i < MATCH_FRAMES * channels && (best < 0 || error < best_error); ++i) {
            double d = here[i] - wanted[i];
            error += d * d;
        }
        if (best < 0 || error < best_error) {
            best = static_cast<long>(at);
            best_error = error;
            if (error == 0.0) {
                break;
            }
        }
    }
    return best;
}

double difference_at(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t begin, long at,
                     int channels)
{
    size_t samples = static_cast<size_t>(MATCH_FRAMES * channels);
    if (at < 0 || (static_cast<size_t>(at) + MATCH_FRAMES) * channels > song.size() ||
        (begin + MATCH_FRAMES) * channels > heard.size()) {
        return 1.0;
    }
    double sum = 0.0;
    for (size_t i = 0; i < samples; ++i) {
        double d = (song[static_cast<size_t>(at) * channels + i] - heard[begin * channels + i]) / 32768.0;
        sum += d * d;
    }
    return std::sqrt(sum / static_cast<double>(samples));
}

long resume_gap(const std::vector<int16_t>& song, const std::vector<int16_t>& heard, size_t silence_begin,
                size_t silence_end, int channels, bool* found)
{
    long gaps[2] = {};
    *found = silence_begin >= static_cast<size_t>(2 * CLEAR_OF_FADE_FRAMES + MATCH_FRAMES) &&
             (silence_end + 2 * CLEAR_OF_FADE_FRAMES + MATCH_FRAMES) * channels <= heard.size();
    for (int k = 0; k < 2 && *found; ++k) {
        size_t clear = static_cast<size_t>((k + 1) * CLEAR_OF_FADE_FRAMES);
        size_t before = silence_begin - clear - MATCH_FRAMES;
        size_t after = silence_end + clear;
        long at_before = find_in_song(song, heard, before, channels);
        long at_after = find_in_song(song, heard, after, channels);
        long last_heard = at_before + static_cast<long>(silence_begin - 1 - before);
        long first_heard = at_after - static_cast<long>(after - silence_end);
        gaps[k] = first_heard - (last_heard + 1);
        *found = at_before >= 0 && at_after >= 0;
    }
    *found = *found && gaps[0] == gaps[1];
    return gaps[0];
}

std::vector<float> channel_of(const std::vector<int16_t>& stereo, int channel)
{
    std::vector<float> out;
    for (size_t i = static_cast<size_t>(channel); i < stereo.size(); i += 2) {
        out.push_back(stereo[i] / 32768.0f);
    }
    return out;
}

double measure_frequency(const std::vector<float>& samples, int rate, size_t begin, size_t end)
{
    double first = -1.0;
    double last = -1.0;
    int crossings = 0;
    for (size_t i = begin + 1; i < end && i < samples.size(); ++i) {
        float a = samples[i - 1];
        float b = samples[i];
        if (a < 0.0f && b >= 0.0f) {
            double at = static_cast<double>(i - 1) + a / (a - b);
            if (first < 0.0) {
                first = at;
            } else {
                ++crossings;
            }
            last = at;
        }
    }
    if (crossings == 0) {
        return 0.0;
    }
    return crossings * rate / (last - first);
}

std::pair<size_t, size_t> audible_span(const std::vector<float>& samples, float threshold)
{
    size_t begin = samples.size();
    size_t end = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::fabs(samples[i]) > threshold) {
            begin = std::min(begin, i);
            end = i + 1;
        }
    }
    return end == 0 ? std::pair<size_t, size_t>{0, 0} : std::pair<size_t, size_t>{begin, end};
}

double rms_of(const std::vector<float>& samples, size_t begin, size_t end)
{
    double sum = 0.0;
    size_t count = 0;
    for (size_t i = begin; i < end && i < samples.size(); ++i) {
        sum += static_cast<double>(samples[i]) * samples[i];
        ++count;
    }
    return count == 0 ? 0.0 : std::sqrt(sum / static_cast<double>(count));
}

float largest_step(const std::vector<float>& samples, size_t begin, size_t end)
{
    float largest = 0.0f;
    for (size_t i = std::max<size_t>(begin, 1); i < end && i < samples.size(); ++i) {
        largest = std::max(largest, std::fabs(samples[i] - samples[i - 1]));
    }
    return largest;
}

int open_fd_count()
{
    int n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

long resident_bytes()
{
    std::ifstream statm("/proc/self/statm");
    long size = 0;
    long resident = 0;
    statm >> size >> resident;
    return resident * sysconf(_SC_PAGESIZE);
}

std::vector<std::string> open_file_paths()
{
    std::vector<std::string> paths;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        fs::path target = fs::read_symlink(entry.path(), ignored);
        paths.push_back(target.string());
    }
    return paths;
}
