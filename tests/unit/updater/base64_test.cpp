#include "base64.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

struct Decoded {
    bool ok = false;
    std::string bytes;
    bool nul_after = false;
};

Decoded Decode(const std::string& text)
{
    Decoded result;
    size_t length = 12345;
    unsigned char* buffer = base64_decode(text.data(), text.size(), &length);
    if (buffer == nullptr) return result;
    result.ok = true;
    result.bytes.assign(reinterpret_cast<char*>(buffer), length);
    result.nul_after = buffer[length] == 0;
    free(buffer);
    return result;
}

std::string Encode(const std::string& bytes)
{
    size_t length = 12345;
    char* text = base64_encode(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &length);
    if (text == nullptr) return "<null>";
    EXPECT_EQ(strlen(text), length);
    std::string result(text, length);
    free(text);
    return result;
}

// RFC 4648 section 10.
const std::vector<std::pair<std::string, std::string>> kVectors = {
    {"", ""},
    {"f", "Zg=="},
    {"fo", "Zm8="},
    {"foo", "Zm9v"},
    {"foob", "Zm9vYg=="},
    {"fooba", "Zm9vYmE="},
    {"foobar", "Zm9vYmFy"},
};

}  // namespace

TEST(Base64Decode, PaddingShortensOnlyTheLastGroup)
{
    Decoded none = Decode("QUJD");
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(none.bytes, "ABC");

    Decoded one = Decode("QUJDQUI=");
    ASSERT_TRUE(one.ok);
    EXPECT_EQ(one.bytes, "ABCAB");

    Decoded two = Decode("QUJDQQ==");
    ASSERT_TRUE(two.ok);
    EXPECT_EQ(two.bytes, "ABCA");
}

TEST(Base64Decode, EveryBufferCarriesANulByteAfterItsLastByte)
{
    for (const char* text : {"QUJD", "QUI=", "QQ==", "AAAA", "////"}) {
        Decoded d = Decode(text);
        ASSERT_TRUE(d.ok) << text;
        EXPECT_TRUE(d.nul_after) << text;
    }
    // Decoded zero bytes are data, not the end: the length says how many.
    Decoded zeros = Decode("AAAA");
    EXPECT_EQ(zeros.bytes, std::string(3, '\0'));
}

TEST(Base64Decode, LengthNotAMultipleOfFourIsRefused)
{
    for (const char* text : {"Q", "QU", "QUJ", "QUJDR", "QUJDQUI", "QUJD\r"}) {
        EXPECT_FALSE(Decode(text).ok) << text;
    }
}

TEST(Base64Decode, EmptyInputGivesAnEmptyBufferWithoutReadingBeforeIt)
{
    // A heap block of one byte: reading before it would trip the address
    // sanitizer.
    char* start = static_cast<char*>(malloc(1));
    ASSERT_NE(start, nullptr);
    size_t length = 99;
    unsigned char* buffer = base64_decode(start, 0, &length);
    free(start);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(buffer[0], 0);
    free(buffer);
}

TEST(Base64Decode, CharactersOutsideTheAlphabetAreRefused)
{
    // The URL-safe alphabet, line ends, spaces, a NUL byte and high bytes.
    for (const std::string& text :
         {std::string("QU-D"), std::string("QU_D"), std::string("QUJ\n"), std::string("QU D"),
          std::string("QUJDQU!="), std::string("QU\0D", 4), std::string("QU\xC3\xA9")}) {
        EXPECT_FALSE(Decode(text).ok) << text;
    }
}

TEST(Base64Decode, PaddingInsideTheTextCountsAsZeroBits)
{
    // Q=16, '='=0, J=9, D=3: 010000 000000 001001 000011.
    Decoded inside = Decode("Q=JD");
    ASSERT_TRUE(inside.ok);
    EXPECT_EQ(inside.bytes, std::string("\x40\x02\x43", 3));

    // Only the last two characters are looked at for the length: a last but
    // one "=" drops a byte even when the last character is not padding.
    Decoded before_last = Decode("QU=D");
    ASSERT_TRUE(before_last.ok);
    EXPECT_EQ(before_last.bytes, "A@");
    EXPECT_TRUE(before_last.nul_after);
}

TEST(Base64Decode, NullArgumentsAreRefused)
{
    size_t length = 0;
    EXPECT_EQ(base64_decode(nullptr, 4, &length), nullptr);
    EXPECT_EQ(base64_decode("QUJD", 4, nullptr), nullptr);
}

TEST(Base64Encode, Rfc4648VectorsBothWays)
{
    for (const auto& v : kVectors) {
        EXPECT_EQ(Encode(v.first), v.second) << v.first;
        Decoded d = Decode(v.second);
        ASSERT_TRUE(d.ok) << v.second;
        EXPECT_EQ(d.bytes, v.first);
        EXPECT_TRUE(d.nul_after);
    }
}

TEST(Base64Encode, RoundTripOfArbitraryBytes)
{
    std::string all;
    for (int i = 0; i < 256; i++) all.push_back(static_cast<char>(i));
    EXPECT_EQ(Decode(Encode(all)).bytes, all);

    std::mt19937 rng(20240611);
    for (size_t length = 0; length < 300; length++) {
        std::string bytes;
        for (size_t i = 0; i < length; i++) bytes.push_back(static_cast<char>(rng() & 0xFF));
        std::string text = Encode(bytes);
        ASSERT_EQ(text.size(), 4 * ((length + 2) / 3)) << length;
        Decoded d = Decode(text);
        ASSERT_TRUE(d.ok) << length;
        ASSERT_EQ(d.bytes, bytes) << length;
    }
}
