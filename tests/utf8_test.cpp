// The one UTF-8 cleaner the list, the bus and the sound server share.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/utf8.h"

namespace {

const std::string FFFD = REPLACEMENT_CHARACTER;

TEST(CopyAsUtf8, ReplacesEachStrayByteAndCutsOnlyBetweenCharacters)
{
    struct Case {
        const char* what;
        std::string text;
        int out_size;
        std::string expected;
    };
    const Case CASES[] = {
        {"ASCII", "night bus.mp3", 64, "night bus.mp3"},
        {"two, three and four bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5", 64,
         "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x8E\xB5"},
        {"Latin-1", "caf\xE9.mp3", 64, "caf" + FFFD + ".mp3"},
        {"a lone continuation byte", "a\x80z", 64, "a" + FFFD + "z"},
        {"overlong", "\xC0\xAF\xE0\x80\xAF", 64, FFFD + FFFD + FFFD + FFFD + FFFD},
        {"a surrogate", "\xED\xA0\x80", 64, FFFD + FFFD + FFFD},
        {"past U+10FFFF", "\xF4\x90\x80\x80", 64, FFFD + FFFD + FFFD + FFFD},
        {"a sequence cut by the end", "a\xE2\x82", 64, "a" + FFFD + FFFD},
        {"a sequence cut by the next", "\xE2\x82z", 64, FFFD + FFFD + "z"},
        {"fits exactly", "a\xC3\xA9", 4, "a\xC3\xA9"},
        {"a character that does not fit is left out whole", "a\xC3\xA9", 3, "a"},
        {"and so is a replacement", "a\xE9", 4, "a"},
        {"room for the NUL alone", "abc", 1, ""},
    };
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.what);
        char out[64];
        std::memset(out, 'x', sizeof out);
        copy_as_utf8(c.text.c_str(), out, c.out_size);
        EXPECT_EQ(std::string(out), c.expected);
        // Nothing written past the room given.
        EXPECT_EQ(std::string(out + c.out_size, sizeof out - c.out_size), std::string(sizeof out - c.out_size, 'x'));
    }
}

} // namespace
