// File names as UTF-8, whatever encoding they were written in.
#pragma once

// Copies text as valid UTF-8 into out (out_size bytes, NUL included): each
// byte that does not begin or belong to a well-formed sequence becomes
// U+FFFD; cut only at a character's boundary.
void copy_as_utf8(const char* text, char* out, int out_size);
