#include "base64.h"

#include <cstdint>
#include <cstdlib>

namespace {

const char encoding_table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// Padding characters an encoder appends for an input of length % 3 bytes.
const int mod_table[] = {0, 2, 1};

const uint8_t kNotInAlphabet = 0xFF;

// Reverse of encoding_table; characters outside the alphabet map to
// kNotInAlphabet so that corrupt downloads are refused rather than decoded
// to arbitrary bytes.
void _build_decoding_table(uint8_t table[256])
{
    for (int i = 0; i < 256; i++) table[i] = kNotInAlphabet;
    for (int i = 0; i < 64; i++) table[(unsigned char)encoding_table[i]] = (uint8_t)i;
}

}  // namespace

unsigned char* base64_decode(const char* data, size_t input_length, size_t* output_length)
{
    if (output_length == nullptr || (data == nullptr && input_length != 0)) return nullptr;
    if (input_length % 4 != 0) return nullptr;

    size_t length = input_length / 4 * 3;
    // Guarded so an empty text never looks before its start.
    if (input_length != 0) {
        if (data[input_length - 1] == '=') length--;
        if (data[input_length - 2] == '=') length--;
    }

    unsigned char* decoded = static_cast<unsigned char*>(malloc(length + 1));
    if (decoded == nullptr) return nullptr;
    decoded[length] = 0;

    uint8_t table[256];
    _build_decoding_table(table);

    size_t j = 0;
    for (size_t i = 0; i < input_length; i += 4) {
        uint32_t triple = 0;
        for (size_t k = 0; k < 4; k++) {
            unsigned char c = (unsigned char)data[i + k];
            uint32_t sextet = 0;
            if (c != '=') {
                sextet = table[c];
                if (sextet == kNotInAlphabet) {
                    free(decoded);
                    return nullptr;
                }
            }
            triple = (triple << 6) | sextet;
        }
        if (j < length) decoded[j++] = (unsigned char)((triple >> 16) & 0xFF);
        if (j < length) decoded[j++] = (unsigned char)((triple >> 8) & 0xFF);
        if (j < length) decoded[j++] = (unsigned char)(triple & 0xFF);
    }

    *output_length = length;
    return decoded;
}

char* base64_encode(const unsigned char* data, size_t input_length, size_t* output_length)
{
    if (output_length == nullptr || (data == nullptr && input_length != 0)) return nullptr;
    if (input_length > (SIZE_MAX - 1) / 4 * 3) return nullptr;

    size_t length = 4 * ((input_length + 2) / 3);
    char* encoded = static_cast<char*>(malloc(length + 1));
    if (encoded == nullptr) return nullptr;

    size_t j = 0;
    for (size_t i = 0; i < input_length;) {
        uint32_t a = data[i++];
        uint32_t b = i < input_length ? data[i++] : 0;
        uint32_t c = i < input_length ? data[i++] : 0;
        uint32_t triple = (a << 16) | (b << 8) | c;
        encoded[j++] = encoding_table[(triple >> 18) & 0x3F];
        encoded[j++] = encoding_table[(triple >> 12) & 0x3F];
        encoded[j++] = encoding_table[(triple >> 6) & 0x3F];
        encoded[j++] = encoding_table[triple & 0x3F];
    }
    for (int i = 0; i < mod_table[input_length % 3]; i++) encoded[length - 1 - i] = '=';
    encoded[length] = '\0';

    *output_length = length;
    return encoded;
}
