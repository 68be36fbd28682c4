// One MP3 file read as it plays: decoded with libmpg123, converted with
// libsoxr to the device's rate, and written as stereo 16-bit frames into a
// ring.
#pragma once

#include <mpg123.h>
#include <soxr.h>

#include <cstdint>

#include "playback/ring.h"

// Room for the two largest MPEG frames' worth of samples (1152 per channel,
// stereo), so that one read of the decoder fills it.
constexpr int DECODE_SAMPLES = 1152 * 2 * 2;
constexpr int CONVERT_SAMPLES = 4096;

struct StreamDecoder {
    bool file_open; // fd is ours to close
    int fd;
    mpg123_handle* mpg;
    soxr_t resampler; // nullptr when the file's rate is the device's
    long file_rate;
    int file_channels; // 1 or 2; the channel count of decoded and converted
    long device_rate;
    float decoded[DECODE_SAMPLES];
    int decoded_frames;
    int decoded_used;
    int16_t converted[CONVERT_SAMPLES];
    int converted_frames;
    int converted_used;
    bool decoder_ended;     // the decoder reported the end or a fatal error
    bool resampler_drained; // the resampler gave out its last samples
    int empty_reads;        // consecutive reads that produced nothing
};

// Opens path as a stream for a device running at device_rate. Fails at once,
// with the reason in error, when path is not a readable regular file or no
// MPEG audio frame in it decodes. On failure nothing stays open.
bool decoder_open(StreamDecoder* decoder, const char* path, long device_rate, char* error, int error_size);
// Releases the decoder, the resampler and the file. Safe on a closed decoder.
void decoder_close(StreamDecoder* decoder);
// Decodes and converts into ring until it holds target frames. Returns true
// once the whole stream has been written.
bool decoder_fill(StreamDecoder* decoder, AudioRing* ring, int target);
