// The Unicode standard's table of well-formed UTF-8 byte sequences.
#include "app/utf8.h"

#include <cstring>

namespace {

constexpr unsigned char CONTINUATION_LOW = 0x80;
constexpr unsigned char CONTINUATION_HIGH = 0xBF;

} // namespace

int utf8_sequence_at(const char* text, int length)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(text);
    unsigned char lead = s[0];
    if (lead < 0x80) {
        return 1;
    }
    int sequence = 0;
    // The second byte's range rules out overlong forms, surrogates and
    // anything past U+10FFFF.
    unsigned char low = CONTINUATION_LOW;
    unsigned char high = CONTINUATION_HIGH;
    if (lead >= 0xC2 && lead <= 0xDF) {
        sequence = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        sequence = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        sequence = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    for (int i = 1; i < sequence; ++i) {
        if (i == length) {
            return -i;
        }
        if (s[i] < low || s[i] > high) {
            return 0;
        }
        low = CONTINUATION_LOW;
        high = CONTINUATION_HIGH;
    }
    return sequence;
}

void copy_as_utf8(const char* text, char* out, int out_size)
{
    if (out_size <= 0) {
        return;
    }
    int length = static_cast<int>(std::strlen(text));
    int room = out_size - 1;
    int written = 0;
    int at = 0;
    while (at < length) {
        // A sequence cut off by the end of text is as ill-formed as any.
        int sequence = utf8_sequence_at(text + at, length - at);
        const char* piece = sequence > 0 ? text + at : REPLACEMENT_CHARACTER;
        int piece_length = sequence > 0 ? sequence : REPLACEMENT_LENGTH;
        if (written + piece_length > room) {
            break;
        }
        std::memcpy(out + written, piece, static_cast<size_t>(piece_length));
        written += piece_length;
        at += sequence > 0 ? sequence : 1;
    }
    out[written] = '\0';
}
