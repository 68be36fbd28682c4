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
// The file is read in blocks of this size and handed to the decoder from
// memory: it asks for a few bytes at a time while it searches for a frame.
constexpr int INPUT_BLOCK_SIZE = 16384;

struct StreamDecoder {
    bool file_open; // fd is ours to close
    int fd;
    mpg123_handle* mpg;
    soxr_t resampler;  // nullptr when the file's rate is the device's
    long file_rate;    // the format the resampler and converted are set up for
    int file_channels; // 1 or 2
    long device_rate;
    unsigned char input[INPUT_BLOCK_SIZE];
    int input_length;           // bytes of input that hold file data
    int input_used;             // of which the decoder has taken this many
    long long input_end;        // the file offset just past input's data
    long long read_since_audio; // bytes the decoder took since a read last gave audio
    long next_rate;             // the format the decoder's next read gives
    int next_channels;
    float decoded[DECODE_SAMPLES];
    long decoded_rate;    // the format of what decoded holds; it differs from
    int decoded_channels; // file_rate, file_channels right after a change
    int decoded_frames;
    int decoded_used;
    bool change_follows; // the format changed right after what decoded holds
    int hasty_changes;   // reads in a row that change_follows cut short
    int16_t converted[CONVERT_SAMPLES];
    int converted_frames;
    int converted_used;
    bool decoder_ended;     // the decoder reported the end or a fatal error
    bool resampler_drained; // the resampler gave out its last samples
    int empty_reads;        // consecutive reads that produced nothing
};

// Opens path as a stream for a device running at device_rate. Fails at once,
// with the reason in error, when path is not a readable regular file, is
// empty, or no MPEG audio frame decodes within the bytes searched before the
// first one. On failure nothing stays open. No read waits on the file: a
// file that would block is refused too.
bool decoder_open(StreamDecoder* decoder, const char* path, long device_rate, char* error, int error_size);
// Releases the decoder, the resampler and the file. Safe on a closed decoder.
void decoder_close(StreamDecoder* decoder);
// Decodes and converts into ring until it holds target frames. Returns true
// once the whole stream has been written.
bool decoder_fill(StreamDecoder* decoder, AudioRing* ring, int target);
