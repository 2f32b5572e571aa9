#ifndef UPDATER_BASE64_H
#define UPDATER_BASE64_H

#include <cstddef>

// Decodes length characters of RFC 4648 base64 text ("=" padding). Returns a
// malloc'd buffer of *output_length bytes followed by one NUL byte (the
// caller frees it), or null when length is not a multiple of four, a
// character lies outside the alphabet, text or output_length is null, or
// memory runs out. Length 0 gives an empty buffer. Every "=" decodes as zero
// bits; only the last two characters shorten the output.
unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length);

// Encodes length bytes as RFC 4648 base64 with "=" padding. Returns a
// malloc'd NUL-terminated text of *output_length characters (the caller
// frees it), or null when data or output_length is null or memory runs out.
char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length);

#endif
