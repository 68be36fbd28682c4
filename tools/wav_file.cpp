// Writing 16-bit PCM WAV files: a RIFF header, then the samples, little-endian.
#include "tools/wav_file.h"

#include <cstdio>

namespace {

constexpr int BYTES_PER_SAMPLE = 2;
constexpr uint16_t FORMAT_PCM = 1;
constexpr uint32_t FORMAT_CHUNK_SIZE = 16;
// The header bytes after the RIFF size field, up to the samples.
constexpr uint32_t HEADER_AFTER_SIZE = 36;

void put_u16(std::string* out, uint16_t value)
{
    out->push_back(static_cast<char>(value & 0xff));
    out->push_back(static_cast<char>(value >> 8));
}

void put_u32(std::string* out, uint32_t value)
{
    put_u16(out, static_cast<uint16_t>(value & 0xffff));
    put_u16(out, static_cast<uint16_t>(value >> 16));
}

} // namespace

bool write_wav_file(const std::string& path, const std::vector<int16_t>& samples, int rate, int channels)
{
    uint32_t data_bytes = static_cast<uint32_t>(samples.size() * BYTES_PER_SAMPLE);
    std::string out;
    out.reserve(HEADER_AFTER_SIZE + 8 + data_bytes);
    out += "RIFF";
    put_u32(&out, HEADER_AFTER_SIZE + data_bytes);
    out += "WAVEfmt ";
    put_u32(&out, FORMAT_CHUNK_SIZE);
    put_u16(&out, FORMAT_PCM);
    put_u16(&out, static_cast<uint16_t>(channels));
    put_u32(&out, static_cast<uint32_t>(rate));
    put_u32(&out, static_cast<uint32_t>(rate * channels * BYTES_PER_SAMPLE));
    put_u16(&out, static_cast<uint16_t>(channels * BYTES_PER_SAMPLE));
    put_u16(&out, 8 * BYTES_PER_SAMPLE);
    out += "data";
    put_u32(&out, data_bytes);
    for (int16_t sample : samples) {
        put_u16(&out, static_cast<uint16_t>(sample));
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool written = std::fwrite(out.data(), 1, out.size(), file) == out.size();
    return std::fclose(file) == 0 && written;
}
