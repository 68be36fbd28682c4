// One MP3 file read as it plays: decoded with libmpg123, converted with
// libsoxr to the device's rate, and written as stereo 16-bit frames into a
// ring. At the device's rate the decoder writes 16-bit samples, which go to
// the ring as they are; at any other rate it writes float, which the
// resampler takes, so that its output is rounded to 16 bits once.
#pragma once

#include <mpg123.h>
#include <soxr.h>

#include <cstdint>

#include "playback/ring.h"

// Room for the two largest MPEG frames' worth of float samples (1152 per
// channel, stereo), so that one read of the decoder fills it.
constexpr int DECODE_SAMPLES = 1152 * 2 * 2;
constexpr int CONVERT_SAMPLES = 4096;
// The file is read in blocks of this size and handed to the decoder from
// memory: it asks for a few bytes at a time while it searches for a frame.
constexpr int INPUT_BLOCK_SIZE = 16384;

// What one read of the decoder gave, in the encoding its rate calls for.
union DecodedSamples {
    float as_float[DECODE_SAMPLES];
    int16_t as_int16[DECODE_SAMPLES * 2];
};

// A fresh record holds nothing open; decoder_open starts every stream from
// a fresh record.
struct StreamDecoder {
    bool file_open = false; // fd is ours to close
    int fd = -1;
    mpg123_handle* mpg = nullptr;
    soxr_t resampler = nullptr; // nullptr when the file's rate is the device's
    long file_rate = 0;         // the format the resampler and converted are set up for
    int file_channels = 0;      // 1 or 2
    long device_rate = 0;
    unsigned char input[INPUT_BLOCK_SIZE];
    int input_length = 0;           // bytes of input that hold file data
    int input_used = 0;             // of which the decoder has taken this many
    long long input_end = 0;        // the file offset just past input's data
    long long read_since_audio = 0; // bytes the decoder took since a read last gave audio
    long next_rate = 0;             // the format the decoder's next read gives
    int next_channels = 0;
    DecodedSamples decoded;
    long decoded_rate = 0;    // the format of what decoded holds; it differs from
    int decoded_channels = 0; // file_rate, file_channels right after a change
    int decoded_frames = 0;
    int decoded_used = 0;
    bool change_follows = false; // the format changed right after what decoded holds
    int hasty_changes = 0;       // reads in a row that change_follows cut short
    int16_t converted[CONVERT_SAMPLES];
    int converted_frames = 0;
    int converted_used = 0;
    bool decoder_ended = false;     // the decoder reported the end or a fatal error
    bool resampler_drained = false; // the resampler gave out its last samples
    int empty_reads = 0;            // consecutive reads that produced nothing
};

// Opens path as a stream for a device running at device_rate. Fails at once,
// with the reason in error, when path is not a readable regular file, is
// empty, or no MPEG audio frame decodes within the bytes searched before the
// first one. On failure nothing stays open. decoder must hold nothing open. No read waits on the file: a
// file that would block is refused too.
bool decoder_open(StreamDecoder* decoder, const char* path, long device_rate, char* error, int error_size);
// Releases the decoder, the resampler and the file. Safe on a closed decoder.
void decoder_close(StreamDecoder* decoder);
// Decodes and converts into ring until it holds target frames. Returns true
// once the whole stream has been written.
bool decoder_fill(StreamDecoder* decoder, AudioRing* ring, int target);
