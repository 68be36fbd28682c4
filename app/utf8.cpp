#include "app/utf8.h"

#include <cstring>

namespace {

constexpr char REPLACEMENT[] = "\xEF\xBF\xBD";

int sequence_length(const unsigned char* s)
{
    unsigned char lead = s[0];
    if (lead < 0x80) {
        return 1;
    }
    int length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : low;
        high = lead == 0xED ? 0x9F : high;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : low;
        high = lead == 0xF4 ? 0x8F : high;
    } else {
        return 0;
    }
    if (s[1] < low || s[1] > high) {
        return 0;
    }
    for (int i = 2; i < length; ++i) {
        if (s[i] < 0x80 || s[i] > 0xBF) {
            return 0;
        }
    }
    return length;
}

} // namespace

void copy_as_utf8(const char* text, char* out, int out_size)
{
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    int used = 0;
    while (*in != 0) {
        int length = sequence_length(in);
        const void* piece = length == 0 ? static_cast<const void*>(REPLACEMENT) : in;
        int piece_length = length == 0 ? 3 : length;
        if (used + piece_length >= out_size) {
            break;
        }
        std::memcpy(out + used, piece, static_cast<size_t>(piece_length));
        used += piece_length;
        in += length == 0 ? 1 : length;
    }
    out[used] = '\0';
}
