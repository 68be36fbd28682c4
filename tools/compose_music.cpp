// Composes and synthesises the sample songs shipped in music/: a few bars of
// drums, bass, chords and a melody each, written as 16-bit PCM WAV files into
// the folder given on the command line. Prints one line per song, its name and
// the MP3 bit rate it is meant for, which tools/make_music.sh hands to lame.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "tools/wav_file.h"

namespace {

constexpr double PI = 3.14159265358979323846;
// Sixteen steps to the bar: every pattern is written in sixteenth notes.
constexpr int STEPS_PER_BAR = 16;
constexpr int STEPS_PER_BEAT = 4;
// Peak level of the finished mix, -1 dBFS, leaving the encoder headroom.
constexpr double PEAK_LEVEL = 0.89;
// Seconds of tail after the last bar, for the reverb and delay to ring out.
constexpr double TAIL_SECONDS = 2.0;

// A deterministic noise source, so that every build writes the same songs.
struct Noise {
    uint32_t state;
};

double next_noise(Noise* noise)
{
    noise->state ^= noise->state << 13;
    noise->state ^= noise->state >> 17;
    noise->state ^= noise->state << 5;
    return noise->state / 2147483648.0 - 1.0;
}

// Everything an instrument plays into: a dry stereo pair and two mono sends,
// one to the reverb and one to the echo.
struct Mix {
    int rate;
    std::vector<double> left, right, reverb_send, echo_send;
};

struct Voice {
    double gain;   // linear
    double pan;    // -1 left .. +1 right
    double reverb; // send level
    double echo;   // send level
};

void add_sample(Mix* mix, size_t i, double value, const Voice& voice)
{
    if (i >= mix->left.size()) {
        return;
    }
    double angle = (voice.pan + 1.0) * PI / 4.0; // equal-power pan law
    double v = value * voice.gain;
    mix->left[i] += v * std::cos(angle);
    mix->right[i] += v * std::sin(angle);
    mix->reverb_send[i] += v * voice.reverb;
    mix->echo_send[i] += v * voice.echo;
}

double midi_hz(int midi)
{
    return 440.0 * std::pow(2.0, (midi - 69) / 12.0);
}

// Attack and release ramps around a held note, so nothing starts or stops
// with a click.
double gate(double t, double held, double attack, double release)
{
    if (t < 0) {
        return 0;
    }
    double level = t < attack ? t / attack : 1.0;
    if (t > held) {
        level *= std::max(0.0, 1.0 - (t - held) / release);
    }
    return level;
}

// Plucked bass: a band-limited sawtooth whose upper harmonics die away faster
// than the fundamental, as on a real string.
void play_bass(Mix* mix, double start, double held, double hz, double velocity, const Voice& voice)
{
    double release = 0.08;
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>((held + release) * mix->rate);
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double sum = 0;
        for (int k = 1; k <= 12 && k * hz < mix->rate * 0.45; ++k) {
            sum += std::sin(2 * PI * k * hz * t) / k * std::exp(-t * (1.0 + 1.5 * k));
        }
        add_sample(mix, first + n, sum * velocity * gate(t, held, 0.004, release), voice);
    }
}

// Soft pad: detuned pairs of mellow harmonics with a slow swell and a gentle
// tremolo.
void play_pad(Mix* mix, double start, double held, double hz, double velocity, const Voice& voice)
{
    double release = 0.7;
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>((held + release) * mix->rate);
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double sum = 0;
        for (int k = 1; k <= 6 && k * hz < mix->rate * 0.45; ++k) {
            double weight = 1.0 / std::pow(k, 1.6);
            sum += weight * (std::sin(2 * PI * k * hz * 1.002 * t) + std::sin(2 * PI * k * hz * 0.998 * t + k));
        }
        double tremolo = 1.0 + 0.08 * std::sin(2 * PI * 4.5 * t);
        add_sample(mix, first + n, 0.5 * sum * tremolo * velocity * gate(t, held, 0.35, release), voice);
    }
}

// Electric piano: two-operator FM whose brightness fades as the note rings.
void play_keys(Mix* mix, double start, double held, double hz, double velocity, const Voice& voice)
{
    double release = 0.25;
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>((held + release) * mix->rate);
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double index = 1.8 * std::exp(-t * 5.0) + 0.2;
        double value = std::sin(2 * PI * hz * t + index * std::sin(2 * PI * hz * t));
        add_sample(mix, first + n, value * std::exp(-t * 1.8) * velocity * gate(t, held, 0.003, release), voice);
    }
}

// Marimba: a struck bar, its fundamental and the fourth partial that wooden
// bars are tuned to.
void play_marimba(Mix* mix, double start, double hz, double velocity, const Voice& voice)
{
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>(1.2 * mix->rate);
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double value = std::sin(2 * PI * hz * t) * std::exp(-t * 5.0);
        if (4 * hz < mix->rate * 0.45) {
            value += 0.3 * std::sin(2 * PI * 4 * hz * t) * std::exp(-t * 22.0);
        }
        add_sample(mix, first + n, value * velocity * gate(t, 10, 0.002, 0.1), voice);
    }
}

// Plucked string by the Karplus-Strong method: a burst of soft noise
// circulating in a delay line one period long, losing its highs each pass.
void play_pluck(Mix* mix, Noise* noise, double start, double held, double hz, double velocity, const Voice& voice)
{
    double period = mix->rate / hz;
    size_t length = std::max<size_t>(2, static_cast<size_t>(period));
    std::vector<double> line(length);
    double smooth = 0;
    for (double& sample : line) {
        smooth = 0.6 * smooth + 0.4 * next_noise(noise);
        sample = smooth;
    }
    double release = 0.15;
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>((held + release) * mix->rate);
    size_t at = 0;
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        size_t next = (at + 1) % length;
        double out = line[at];
        line[at] = 0.996 * 0.5 * (line[at] + line[next]);
        at = next;
        add_sample(mix, first + n, 1.6 * out * velocity * gate(t, held, 0.002, release), voice);
    }
}

void play_kick(Mix* mix, double start, double velocity, const Voice& voice)
{
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>(0.45 * mix->rate);
    double phase = 0;
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double hz = 48 + 110 * std::exp(-t * 28.0); // the pitch drop that makes it a thump
        phase += 2 * PI * hz / mix->rate;
        double value = std::sin(phase) * std::exp(-t * 7.0);
        add_sample(mix, first + n, value * velocity * gate(t, 10, 0.001, 0.1), voice);
    }
}

void play_snare(Mix* mix, Noise* noise, double start, double velocity, const Voice& voice)
{
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>(0.3 * mix->rate);
    double low = 0, previous = 0;
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double white = next_noise(noise);
        low += 0.35 * (white - low); // tame the top end
        double band = low - previous;
        previous = low;
        double value = 1.6 * band * std::exp(-t * 16.0) + 0.5 * std::sin(2 * PI * 185 * t) * std::exp(-t * 25.0);
        add_sample(mix, first + n, value * velocity, voice);
    }
}

void play_hat(Mix* mix, Noise* noise, double start, double length, double velocity, const Voice& voice)
{
    size_t first = static_cast<size_t>(start * mix->rate);
    size_t count = static_cast<size_t>(length * 5 * mix->rate);
    double previous = 0;
    for (size_t n = 0; n < count; ++n) {
        double t = static_cast<double>(n) / mix->rate;
        double white = next_noise(noise);
        double high = white - previous; // only the hiss
        previous = white;
        add_sample(mix, first + n, 0.5 * high * std::exp(-t / length) * velocity, voice);
    }
}

// A Schroeder reverb: parallel feedback combs then series all-passes. The
// right side uses slightly longer delays, for width.
std::vector<double> reverberate(const std::vector<double>& in, int rate, double spread)
{
    const double comb_ms[] = {29.7, 37.1, 41.1, 43.7};
    const double allpass_ms[] = {5.0, 1.7};
    std::vector<double> out(in.size(), 0.0);
    for (double ms : comb_ms) {
        std::vector<double> line(static_cast<size_t>((ms + spread) * rate / 1000), 0.0);
        size_t at = 0;
        double damp = 0;
        for (size_t n = 0; n < in.size(); ++n) {
            double delayed = line[at];
            damp = 0.7 * delayed + 0.3 * damp;
            line[at] = in[n] + 0.82 * damp;
            at = (at + 1) % line.size();
            out[n] += delayed * 0.25;
        }
    }
    for (double ms : allpass_ms) {
        std::vector<double> line(static_cast<size_t>(ms * rate / 1000), 0.0);
        size_t at = 0;
        for (double& sample : out) {
            double delayed = line[at];
            double input = sample;
            line[at] = input + 0.5 * delayed;
            sample = delayed - 0.5 * input;
            at = (at + 1) % line.size();
        }
    }
    return out;
}

// Ping-pong echo: each repeat crosses to the other side, a little quieter.
void echo(Mix* mix, double seconds, double feedback, double level)
{
    size_t delay = static_cast<size_t>(seconds * mix->rate);
    std::vector<double> l(mix->left.size() + delay, 0.0), r(mix->left.size() + delay, 0.0);
    for (size_t n = 0; n < mix->left.size(); ++n) {
        double from_l = n >= delay ? l[n - delay] : 0.0;
        double from_r = n >= delay ? r[n - delay] : 0.0;
        l[n] = mix->echo_send[n] + feedback * from_r;
        r[n] = feedback * from_l;
        mix->left[n] += level * from_l;
        mix->right[n] += level * from_r;
    }
}

// Note names such as "A4", "C#5" or "Bb3" as MIDI numbers.
int parse_note(const std::string& name)
{
    static const int SEMITONE[] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G
    int semitone = SEMITONE[name[0] - 'A'];
    size_t at = 1;
    if (name[at] == '#') {
        ++semitone;
        ++at;
    } else if (name[at] == 'b') {
        --semitone;
        ++at;
    }
    int octave = std::stoi(name.substr(at));
    return 12 * (octave + 1) + semitone;
}

// A chord symbol ("Am", "F", "G7", "Cmaj7", "Dsus2") as the MIDI notes of a
// close voicing around middle C, root first.
std::vector<int> parse_chord(const std::string& symbol)
{
    size_t at = 1;
    std::string root = symbol.substr(0, 1);
    if (at < symbol.size() && (symbol[at] == '#' || symbol[at] == 'b')) {
        root += symbol[at++];
    }
    std::string kind = symbol.substr(at);
    int base = parse_note(root + "3");
    while (base < 55) {
        base += 12;
    }
    std::vector<int> intervals = {0, 4, 7};
    if (kind == "m") {
        intervals = {0, 3, 7};
    } else if (kind == "7") {
        intervals = {0, 4, 7, 10};
    } else if (kind == "m7") {
        intervals = {0, 3, 7, 10};
    } else if (kind == "maj7") {
        intervals = {0, 4, 7, 11};
    } else if (kind == "sus2") {
        intervals = {0, 2, 7};
    }
    std::vector<int> notes;
    for (int interval : intervals) {
        notes.push_back(base + interval);
    }
    return notes;
}

struct Event {
    int step;   // sixteenth notes from the start
    int length; // in sixteenth notes
    int midi;
};

// A melody line: one token per step, a note name to strike, "-" to hold the
// previous note, "." for silence; "|" between bars is ignored.
std::vector<Event> parse_line(const std::string& text)
{
    std::vector<Event> events;
    std::istringstream in(text);
    std::string token;
    int step = 0;
    bool holding = false;
    while (in >> token) {
        if (token == "|") {
            continue;
        }
        if (token == "-") {
            if (holding) {
                ++events.back().length;
            }
        } else if (token == ".") {
            holding = false;
        } else {
            events.push_back({step, 1, parse_note(token)});
            holding = true;
        }
        ++step;
    }
    return events;
}

enum class Lead { MARIMBA, PLUCK, KEYS };
enum class Chords { PAD, KEYS };

struct Song {
    const char* name;
    int rate;
    int channels;
    int kbps;
    double bpm;
    // One chord symbol per half bar.
    std::string chords;
    Chords chord_sound;
    // Bass, one token per step, repeated each bar: 'R' root, '5' fifth,
    // 'O' octave above, '-' hold, '.' rest.
    std::string bass;
    std::string melody;
    Lead lead;
    // Drums for one bar, sixteen steps each: 'X' accent, 'x' normal, 'o' soft.
    std::string kick, snare, hat;
    int bars;
};

double velocity_of(char mark)
{
    return mark == 'X' ? 1.0 : mark == 'x' ? 0.75 : mark == 'o' ? 0.45 : 0.0;
}

Mix render(const Song& song)
{
    double step_seconds = 60.0 / song.bpm / STEPS_PER_BEAT;
    double length = song.bars * STEPS_PER_BAR * step_seconds + TAIL_SECONDS;
    size_t frames = static_cast<size_t>(length * song.rate);
    Mix mix = {song.rate, std::vector<double>(frames), std::vector<double>(frames), std::vector<double>(frames),
               std::vector<double>(frames)};
    Noise noise = {0x2545F491u};

    std::vector<std::string> chords;
    std::istringstream chord_in(song.chords);
    for (std::string symbol; chord_in >> symbol;) {
        chords.push_back(symbol);
    }
    const int half_bar = STEPS_PER_BAR / 2;

    for (int bar = 0; bar < song.bars; ++bar) {
        for (int half = 0; half < 2; ++half) {
            std::vector<int> notes = parse_chord(chords[(bar * 2 + half) % chords.size()]);
            double start = (bar * STEPS_PER_BAR + half * half_bar) * step_seconds;
            double held = half_bar * step_seconds;
            for (size_t i = 0; i < notes.size(); ++i) {
                double pan = -0.4 + 0.8 * i / std::max<size_t>(1, notes.size() - 1);
                if (song.chord_sound == Chords::PAD) {
                    play_pad(&mix, start, held, midi_hz(notes[i]), 0.1, {1.0, pan, 0.5, 0.0});
                } else {
                    // Comped on the beat and the off-beat after the second.
                    play_keys(&mix, start, 3 * step_seconds, midi_hz(notes[i]), 0.09, {1.0, pan, 0.4, 0.1});
                    play_keys(&mix, start + 6 * step_seconds, 2 * step_seconds, midi_hz(notes[i]), 0.06,
                              {1.0, pan, 0.4, 0.1});
                }
            }
            int root = notes[0] - 24;
            for (int s = 0; s < half_bar; ++s) {
                char mark = song.bass[(half * half_bar + s) % song.bass.size()];
                if (mark == '-' || mark == '.') {
                    continue;
                }
                int length = 1;
                while (s + length < half_bar && song.bass[(half * half_bar + s + length) % song.bass.size()] == '-') {
                    ++length;
                }
                int midi = root + (mark == '5' ? 7 : mark == 'O' ? 12 : 0);
                play_bass(&mix, start + s * step_seconds, length * step_seconds * 0.9, midi_hz(midi), 0.32,
                          {1.0, 0.0, 0.1, 0.0});
            }
        }
        for (int s = 0; s < STEPS_PER_BAR; ++s) {
            double at = (bar * STEPS_PER_BAR + s) * step_seconds;
            if (double v = velocity_of(song.kick[s]); v > 0) {
                play_kick(&mix, at, 0.55 * v, {1.0, 0.0, 0.05, 0.0});
            }
            if (double v = velocity_of(song.snare[s]); v > 0) {
                play_snare(&mix, &noise, at, 0.3 * v, {1.0, 0.1, 0.3, 0.0});
            }
            if (double v = velocity_of(song.hat[s]); v > 0) {
                play_hat(&mix, &noise, at, s % 8 == 6 ? 0.05 : 0.018, 0.22 * v, {1.0, 0.35, 0.1, 0.0});
            }
        }
    }

    for (const Event& note : parse_line(song.melody)) {
        double start = note.step * step_seconds;
        double held = note.length * step_seconds;
        Voice voice = {1.0, -0.15, 0.35, 0.3};
        switch (song.lead) {
        case Lead::MARIMBA:
            play_marimba(&mix, start, midi_hz(note.midi), 0.3, voice);
            break;
        case Lead::PLUCK:
            play_pluck(&mix, &noise, start, held, midi_hz(note.midi), 0.3, voice);
            break;
        case Lead::KEYS:
            play_keys(&mix, start, held, midi_hz(note.midi), 0.26, voice);
            break;
        }
    }

    echo(&mix, 3 * step_seconds, 0.35, 0.5);
    std::vector<double> wet_l = reverberate(mix.reverb_send, song.rate, 0.0);
    std::vector<double> wet_r = reverberate(mix.reverb_send, song.rate, 1.3);
    for (size_t n = 0; n < frames; ++n) {
        mix.left[n] += 0.6 * wet_l[n];
        mix.right[n] += 0.6 * wet_r[n];
    }
    return mix;
}

bool write_wav(const std::string& path, const Mix& mix, int channels)
{
    double peak = 1e-9;
    for (size_t n = 0; n < mix.left.size(); ++n) {
        double l = mix.left[n], r = mix.right[n];
        peak = std::max(peak, channels == 1 ? std::fabs(0.5 * (l + r)) : std::max(std::fabs(l), std::fabs(r)));
    }
    double scale = PEAK_LEVEL / peak;
    size_t frames = mix.left.size();
    std::vector<int16_t> samples;
    samples.reserve(frames * channels);
    for (size_t n = 0; n < frames; ++n) {
        double sides[2] = {mix.left[n], mix.right[n]};
        if (channels == 1) {
            sides[0] = 0.5 * (sides[0] + sides[1]);
        }
        for (int c = 0; c < channels; ++c) {
            double v = std::clamp(sides[c] * scale, -1.0, 1.0);
            samples.push_back(static_cast<int16_t>(std::lround(v * 32767)));
        }
    }
    return write_wav_file(path, samples, mix.rate, channels);
}

std::vector<Song> songs()
{
    return {
        {
            "morning_drum",
            44100,
            2,
            128,
            100,
            "C G Am F C G F G",
            Chords::PAD,
            "R.-.R.5.R.-.O.5.",
            "E5 - G5 - A5 - G5 - E5 - D5 - C5 - - - | D5 - E5 - G5 - - - E5 - D5 - C5 - D5 - | "
            "E5 - G5 - A5 - C6 - B5 - A5 - G5 - - - | A5 - G5 - E5 - D5 - C5 - - - - - . . | "
            "G5 . E5 . G5 . A5 - C6 - A5 - G5 - E5 - | D5 - E5 - C5 - A4 - G4 - - - A4 - C5 - | "
            "E5 - D5 - C5 - A4 - C5 - D5 - E5 - G5 - | F5 - E5 - D5 - - - D5 - - - - - - -",
            Lead::MARIMBA,
            "X.....x.X.....x.",
            "....X.......X..o",
            "x.o.x.o.x.o.x.oo",
            8,
        },
        {
            "night_bus",
            44100,
            2,
            112,
            84,
            "Am F C G Am F E7 E7",
            Chords::KEYS,
            "R..R..5.R.-.O...",
            ". . E5 - A5 - - - B5 - C6 - B5 - A5 - | F5 - - - A5 - - - G5 - - - E5 - - - | "
            ". . E5 - G5 - - - C6 - B5 - G5 - E5 - | D5 - - - G5 - - - B4 - - - D5 - - - | "
            ". . E5 - A5 - - - B5 - C6 - D6 - E6 - | F6 - E6 - D6 - C6 - A5 - - - C6 - - - | "
            "B5 - - - G#5 - - - E5 - - - B4 - - - | E5 - G#5 - B5 - - - - - - - . . . .",
            Lead::PLUCK,
            "X.......x.x.....",
            "....x.......X...",
            "o.x.o.x.o.x.o.xo",
            8,
        },
        {
            "paper_kites",
            44100,
            2,
            128,
            118,
            "D A Bm G D A G A",
            Chords::PAD,
            "R.R.5.R.O.R.5.R.",
            "F#5 - A5 - D6 - A5 - B5 - A5 - F#5 - E5 - | E5 - - - C#5 - E5 - A5 - - - - - . . | "
            "F#5 - D5 - F#5 - A5 - B5 - - - A5 - F#5 - | G5 - F#5 - E5 - D5 - B4 - D5 - G5 - - - | "
            "A5 - F#5 - A5 - D6 - C#6 - B5 - A5 - F#5 - | E5 - F#5 - E5 - C#5 - A4 - C#5 - E5 - - - | "
            "D5 - E5 - F#5 - G5 - A5 - B5 - G5 - E5 - | A5 - - - G5 - E5 - A5 - - - C#6 - - - | "
            "D6 - A5 - F#5 - A5 - B5 - A5 - F#5 - D5 - | E5 - - - F#5 - A5 - E5 - - - - - . . | "
            "B4 - D5 - G5 - B5 - A5 - G5 - F#5 - E5 - | E5 - F#5 - G5 - A5 - D5 - - - - - - -",
            Lead::KEYS,
            "X...X...X...X.x.",
            "....x.......x...",
            "..x...x...x...xo",
            12,
        },
        {
            // Mono at 22.05 kHz, so the player has a rate to convert.
            "slow_river",
            22050,
            1,
            64,
            72,
            "Fmaj7 Em7 Dm7 Cmaj7 Fmaj7 G",
            Chords::PAD,
            "R-------5-------",
            "A4 - - - C5 - E5 - - - D5 - C5 - - - | G4 - - - - - B4 - D5 - - - - - - - | "
            "F4 - A4 - C5 - - - E5 - - - D5 - C5 - | B4 - - - G4 - - - C5 - - - - - - - | "
            "A4 - C5 - F5 - - - E5 - - - C5 - A4 - | B4 - - - D5 - - - G5 - - - - - - -",
            Lead::MARIMBA,
            "x.......o.......",
            "....o.......o...",
            "o...o...o...o..o",
            6,
        },
    };
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: compose_music OUTPUT_FOLDER\n");
        return 2;
    }
    std::string folder = argv[1];
    for (const Song& song : songs()) {
        std::string path = folder + "/" + song.name + ".wav";
        if (!write_wav(path, render(song), song.channels)) {
            std::fprintf(stderr, "compose_music: cannot write %s\n", path.c_str());
            return 1;
        }
        std::printf("%s %d\n", song.name, song.kbps);
    }
    return 0;
}
