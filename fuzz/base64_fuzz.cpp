// base64_decode of the input against RFC 4648 with this decoder's leniency
// ("=" counts as zero bits anywhere, only the last two shorten the output),
// and the input's round trip through base64_encode.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "base64.h"

namespace {

int Sextet(unsigned char c)
{
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    if (c == '=') return 0;
    return -1;
}

// False when the text must be refused.
bool Reference(const uint8_t* text, size_t n, std::vector<uint8_t>& out)
{
    if (n % 4 != 0) return false;
    size_t length = n / 4 * 3;
    if (n > 0 && text[n - 1] == '=') length--;
    if (n > 0 && text[n - 2] == '=') length--;
    for (size_t i = 0; i < n; i += 4) {
        uint32_t triple = 0;
        for (size_t k = 0; k < 4; k++) {
            int v = Sextet(text[i + k]);
            if (v < 0) return false;
            triple = (triple << 6) | uint32_t(v);
        }
        for (int k = 0; k < 3; k++) out.push_back(uint8_t(triple >> (16 - 8 * k)));
    }
    out.resize(length);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // No terminating NUL: a read past the end is caught.
    std::vector<char> text(data, data + size);
    size_t length = 777;
    unsigned char* decoded = base64_decode(text.data(), text.size(), &length);
    std::vector<uint8_t> expected;
    if (!Reference(data, size, expected)) {
        FUZZ_CHECK(decoded == nullptr && length == 777);
    } else {
        FUZZ_CHECK(decoded != nullptr);
        FUZZ_CHECK(length == expected.size());
        FUZZ_CHECK(length == 0 || memcmp(decoded, expected.data(), length) == 0);
        FUZZ_CHECK(decoded[length] == 0);
    }
    free(decoded);

    size_t encodedLength = 0;
    char* encoded = base64_encode(data, size, &encodedLength);
    FUZZ_CHECK(encoded != nullptr);
    FUZZ_CHECK(encodedLength == 4 * ((size + 2) / 3) && strlen(encoded) == encodedLength);
    size_t backLength = 0;
    unsigned char* back = base64_decode(encoded, encodedLength, &backLength);
    FUZZ_CHECK(back != nullptr && backLength == size && (size == 0 || memcmp(back, data, size) == 0));
    free(back);
    free(encoded);
    return 0;
}
