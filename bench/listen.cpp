// Listens to a sound server's monitor source and tells when what it carries
// turns to sound, or to silence, on the same clock as xprobe's clicks
// (std::chrono::steady_clock, in milliseconds). Recording goes through
// PulseAudio's own parec with a small fragment, so a block reaches us a few
// milliseconds after it left the sink.
//
//   bench_listen SOURCE sound     prints the time the first sound arrived
//   bench_listen SOURCE silence   prints the time the last sound ended, and
//                                 the largest step between two samples over
//                                 the last 10 ms before it, as a share of the
//                                 largest step over the 200 ms before those:
//                                 near 1 or below for a fade, far above 1
//                                 for a cut
//   bench_listen SOURCE resume REFERENCE
//                                 records a pause and a resume of a song whose
//                                 samples REFERENCE holds (raw 16-bit stereo
//                                 at 48 kHz, as the player decodes it), and
//                                 prints how many of the song's frames lie
//                                 between the last one heard before the pause
//                                 and the first one heard after it: 0 when the
//                                 song resumes exactly, more when some were
//                                 lost, less when some were heard twice
//   bench_listen SOURCE gaps SECONDS FRAGMENT_MS
//                                 records for SECONDS, in fragments of
//                                 FRAGMENT_MS, while the caller starts
//                                 and stops the song, and prints the frames of
//                                 digital silence inside what sounded (in runs
//                                 of 1 ms or more, 20 ms clear of each start
//                                 and end), the runs, and how many times sound
//                                 started: "FRAMES RUNS STARTS"
//
// It first records for a while, then waits for the opposite state to hold
// (silence before a sound, sound before a silence or a pause), then prints "ready" on standard error,
// so that the caller knows when to click.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/tone.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int RATE = 48000;
constexpr int CHANNELS = 2;
// Samples above this (of 32768) are sound; the null sink's monitor carries
// exact digital silence otherwise.
constexpr int THRESHOLD = 16;
// Silence counts once it has lasted this long; a fade's quiet tail or a
// zero crossing must not end the wait early.
constexpr int SILENCE_FRAMES = RATE / 10;
// The state before the click must hold this long before "ready".
constexpr int SETTLED_FRAMES = RATE / 5;
// A recorder that joins lowers the null sink's latency to its own, and the
// sink takes back what it had mixed ahead for a playing stream (a quarter
// second for the player's, measured), which its monitor shows as that much
// digital silence in the middle of the song. The state before the click is
// judged only after this long, past any such stretch.
constexpr int WARM_UP_FRAMES = RATE * 6 / 10;
constexpr int TAIL_FRAMES = RATE / 100;
constexpr int BEFORE_TAIL_FRAMES = RATE / 5;
constexpr int BLOCK_FRAMES = 96;
constexpr int GIVE_UP_SECONDS = 20;
// Gaps: silence this long parts one start from the next; inside, this much
// is a gap, judged this far from either end (the fades, and the first frames
// of a new stream, which PulseAudio's null sink may not pass on).
constexpr size_t STOPPED_FRAMES = RATE * 3 / 10;
constexpr size_t GAP_FRAMES = RATE / 1000;
constexpr size_t EDGE_FRAMES = RATE / 50;
// A resume is judged as tests/tone.h's resume_gap does, on stretches of the
// song clear of the pause's and the resume's fades.
// Sound after the resume recorded before judging it.
constexpr int AFTER_RESUME_FRAMES = RATE / 5;

double ms_of(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(t.time_since_epoch()).count();
}

// Frame i of interleaved stereo samples is loud on either side.
bool loud_at(const std::vector<int16_t>& samples, size_t frame)
{
    return std::abs(static_cast<int>(samples[frame * CHANNELS])) > THRESHOLD ||
           std::abs(static_cast<int>(samples[frame * CHANNELS + 1])) > THRESHOLD;
}

// Frame i is digital silence on both sides.
bool silent_at(const std::vector<int16_t>& samples, size_t frame)
{
    return samples[frame * CHANNELS] == 0 && samples[frame * CHANNELS + 1] == 0;
}

// The largest step between neighbouring frames of the left side in
// [begin, end).
int largest_step(const std::vector<int16_t>& samples, size_t begin, size_t end)
{
    int step = 0;
    for (size_t i = begin + 1; i < end; ++i) {
        step = std::max(step, std::abs(samples[i * CHANNELS] - samples[(i - 1) * CHANNELS]));
    }
    return step;
}

std::vector<int16_t> read_song(const char* path)
{
    std::vector<int16_t> song;
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        return song;
    }
    int16_t block[4096];
    size_t got = 0;
    while ((got = std::fread(block, sizeof block[0], 4096, file)) > 0) {
        song.insert(song.end(), block, block + got);
    }
    std::fclose(file);
    return song;
}

// Prints the silence inside each sounding stretch of heard after frame
// from: "FRAMES RUNS STARTS".
void print_gaps(const std::vector<int16_t>& heard, size_t from)
{
    size_t frames = heard.size() / CHANNELS;
    std::vector<Stretch> stops = silent_runs(heard, CHANNELS, from, frames, STOPPED_FRAMES);
    size_t sound_from = from;
    size_t gap_frames = 0;
    size_t runs = 0;
    size_t starts = 0;
    stops.push_back({frames, frames});
    for (const Stretch& stop : stops) {
        if (stop.begin > sound_from + 2 * EDGE_FRAMES) {
            ++starts;
            for (const Stretch& gap :
                 silent_runs(heard, CHANNELS, sound_from + EDGE_FRAMES, stop.begin - EDGE_FRAMES, GAP_FRAMES)) {
                // A blip and then silence from the very start is how either
                // null sink starts a client's first stream after a recorder
                // joined, paplay's too: what sounds starts after it.
                if (gap.begin == sound_from + EDGE_FRAMES) {
                    continue;
                }
                gap_frames += gap.end - gap.begin;
                ++runs;
            }
        }
        sound_from = stop.end;
    }
    std::printf("%zu %zu %zu\n", gap_frames, runs, starts);
}

} // namespace

int main(int argc, char** argv)
{
    std::string want = argc >= 3 ? argv[2] : "";
    bool resume = want == "resume" && argc == 4;
    bool gaps = want == "gaps" && argc == 5;
    if (!resume && !gaps && (argc != 3 || (want != "sound" && want != "silence"))) {
        std::fprintf(stderr, "usage: bench_listen SOURCE sound|silence|resume REFERENCE|gaps SECONDS FRAGMENT_MS\n");
        return 2;
    }
    int seconds = gaps ? std::atoi(argv[3]) : GIVE_UP_SECONDS;
    std::vector<int16_t> song;
    if (resume) {
        song = read_song(argv[3]);
        if (song.size() < static_cast<size_t>(MATCH_FRAMES * CHANNELS)) {
            std::fprintf(stderr, "bench_listen: cannot read the song's samples from %s\n", argv[3]);
            return 1;
        }
    }
    // Gaps need no timing, and PipeWire runs its whole graph at the smallest
    // latency a client asks for, which at 2 ms misses deadlines on a busy
    // machine and puts in silence of its own.
    std::string command =
        "exec parec --raw --format=s16le --channels=2 --rate=48000 --latency-msec=" + std::string(gaps ? "20" : "2") +
        " -d '" + std::string(argv[1]) + "'";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        std::fprintf(stderr, "bench_listen: cannot start parec\n");
        return 1;
    }
    // Every read straight from the pipe, so that arrival times are exact.
    std::setvbuf(pipe, nullptr, _IONBF, 0);
    bool waiting_for_sound = want == "sound" || gaps;
    std::vector<int16_t> heard;
    // When each stretch of heard frames arrived, block by block.
    std::vector<Clock::time_point> arrived;
    int16_t block[BLOCK_FRAMES * CHANNELS];
    Clock::time_point start = Clock::now();
    int settled = 0;
    bool ready = false;
    size_t quiet_from = 0;    // first frame of the current silent run, once ready
    size_t silence_begin = 0; // a resume's pause: its run of digital silence
    size_t silence_end = 0;
    int result = 1;
    bool finished = false; // judged, one way or the other
    size_t ready_at = 0;   // the first frame after "ready"
    while (Clock::now() - start < std::chrono::seconds(seconds + (gaps ? GIVE_UP_SECONDS : 0))) {
        size_t got = std::fread(block, sizeof block[0] * CHANNELS, BLOCK_FRAMES, pipe);
        if (got == 0) {
            break;
        }
        Clock::time_point now = Clock::now();
        size_t first = heard.size() / CHANNELS;
        heard.insert(heard.end(), block, block + got * CHANNELS);
        arrived.insert(arrived.end(), got, now);
        if (!ready) {
            // The opposite of what we wait for must hold first, judged by
            // blocks: a sine passes near zero twice a period.
            bool loud = false;
            for (size_t i = first; i < first + got; ++i) {
                loud = loud || loud_at(heard, i);
            }
            bool warm = heard.size() / CHANNELS >= static_cast<size_t>(WARM_UP_FRAMES);
            settled = warm && loud != waiting_for_sound ? settled + static_cast<int>(got) : 0;
            if (settled >= SETTLED_FRAMES) {
                ready = true;
                quiet_from = heard.size() / CHANNELS;
                ready_at = quiet_from;
                std::fprintf(stderr, "ready\n");
            }
            continue;
        }
        if (gaps) {
            if (heard.size() / CHANNELS >= ready_at + static_cast<size_t>(seconds) * RATE) {
                print_gaps(heard, ready_at);
                result = 0;
                finished = true;
                break;
            }
            continue;
        }
        for (size_t i = first; i < first + got && !finished; ++i) {
            bool loud = loud_at(heard, i);
            if (waiting_for_sound && loud) {
                std::printf("%.2f\n", ms_of(arrived[i]));
                result = 0;
                finished = true;
            } else if (resume) {
                // The pause is the first run of digital silence long enough;
                // the resume is the sound after it.
                if (silence_end == 0 && !silent_at(heard, i)) {
                    quiet_from = i + 1;
                } else if (silence_end == 0 && i + 1 - quiet_from >= static_cast<size_t>(SILENCE_FRAMES)) {
                    silence_begin = quiet_from;
                    silence_end = i + 1;
                } else if (silence_end == i && silent_at(heard, i)) {
                    silence_end = i + 1;
                } else if (silence_end != 0 && i >= silence_end + 2 * CLEAR_OF_FADE_FRAMES + AFTER_RESUME_FRAMES) {
                    bool found = false;
                    long gap = resume_gap(song, heard, silence_begin, silence_end, CHANNELS, &found);
                    if (!found) {
                        std::fprintf(stderr, "bench_listen: what was heard around the pause is not in the song\n");
                    } else {
                        std::printf("%ld\n", gap);
                        result = 0;
                    }
                    finished = true;
                }
            } else if (!waiting_for_sound) {
                if (loud) {
                    quiet_from = i + 1;
                } else if (i + 1 - quiet_from >= static_cast<size_t>(SILENCE_FRAMES)) {
                    size_t end = quiet_from;
                    size_t tail = end > TAIL_FRAMES ? end - TAIL_FRAMES : 0;
                    size_t before = tail > BEFORE_TAIL_FRAMES ? tail - BEFORE_TAIL_FRAMES : 0;
                    int steady = std::max(1, largest_step(heard, before, tail));
                    std::printf("%.2f %.2f\n", ms_of(arrived[end]),
                                static_cast<double>(largest_step(heard, tail, end)) / steady);
                    result = 0;
                    finished = true;
                }
            }
        }
        if (finished) {
            break;
        }
    }
    std::fflush(stdout);
    pclose(pipe);
    if (!finished) {
        std::fprintf(stderr, "bench_listen: no %s heard within %d s\n", want.c_str(), seconds);
    }
    return result;
}
