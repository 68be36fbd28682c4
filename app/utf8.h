// UTF-8 as the window's font, the session bus and the sound server take it,
// from names that may be in any encoding: a file name is only bytes.
#pragma once

// What stands for each byte that is not UTF-8: U+FFFD.
constexpr char REPLACEMENT_CHARACTER[] = "\xEF\xBF\xBD";
constexpr int REPLACEMENT_LENGTH = sizeof REPLACEMENT_CHARACTER - 1;

// What begins the length bytes at text (length > 0): the length of the
// well-formed UTF-8 sequence there; 0 when the bytes there begin none; or,
// when they end inside a sequence that is well-formed as far as it goes,
// minus the number of its bytes present.
int utf8_sequence_at(const char* text, int length);

// Copies text as valid UTF-8 into out (out_size bytes, NUL included): each
// byte that does not begin or belong to a well-formed sequence becomes
// U+FFFD; cut only at a character's boundary.
void copy_as_utf8(const char* text, char* out, int out_size);
