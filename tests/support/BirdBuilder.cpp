#include "BirdBuilder.h"

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

void PutBE(BirdBuilder::Bytes& out, uint32_t v)
{
    out.push_back(uint8_t(v >> 24));
    out.push_back(uint8_t(v >> 16));
    out.push_back(uint8_t(v >> 8));
    out.push_back(uint8_t(v));
}

std::string Pad16(const std::string& text)
{
    std::string field = text.substr(0, 16);
    field.resize(16, ' ');
    return field;
}

}  // namespace

// Out of line: g++ 12 at -O2 takes the inlined initializer list for
// uninitialized memory (-Wmaybe-uninitialized).
BirdBuilder::BirdBuilder() : header_{'b', 'i', 'r', 'd', 0x01, 0x01} {}

BirdBuilder& BirdBuilder::Raw(uint8_t type, uint8_t flags, const Bytes& data)
{
    blocks_.push_back({uint8_t((type & 0x1F) | (flags << 5)), data});
    return *this;
}

BirdBuilder& BirdBuilder::Code(uint8_t type, uint8_t flags, uint32_t address, const Bytes& payload)
{
    Bytes data;
    PutBE(data, address);
    data.insert(data.end(), payload.begin(), payload.end());
    return Raw(type, flags, data);
}

BirdBuilder& BirdBuilder::Info(const std::string& build, const std::string& version,
                               const std::string& serial, const std::string& model)
{
    std::string text = Pad16(build) + Pad16(version) + Pad16(serial) + Pad16(model);
    return Raw(4, 0, Bytes(text.begin(), text.end()));
}

BirdBuilder& BirdBuilder::SerialOffsets(uint32_t serial_word, uint32_t descriptor)
{
    Bytes data;
    PutBE(data, descriptor);
    return Code(2, 0, serial_word, data);
}

BirdBuilder& BirdBuilder::LoaderStart(uint32_t address)
{
    return Code(5, 0, address, {});
}

BirdBuilder& BirdBuilder::Checksum(uint32_t checksum)
{
    checksum_ = checksum;
    return *this;
}

BirdBuilder::Bytes BirdBuilder::Inflated() const
{
    Bytes out;
    PutBE(out, uint32_t(blocks_.size()));
    for (const Block& block : blocks_) {
        out.push_back(block.header);
        PutBE(out, uint32_t(block.data.size()));
        out.insert(out.end(), block.data.begin(), block.data.end());
    }
    PutBE(out, checksum_);
    return out;
}

BirdBuilder::Bytes BirdBuilder::File() const
{
    return FileFrom(Inflated());
}

BirdBuilder::Bytes BirdBuilder::FileFrom(const Bytes& inflated) const
{
    Bytes out = header_;
    Bytes stream = Compress(inflated);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

BirdBuilder::Bytes BirdBuilder::Compress(const Bytes& inflated)
{
    uLongf length = compressBound(inflated.size());
    Bytes out(length);
    int z = compress2(out.data(), &length, inflated.data(), inflated.size(), Z_BEST_COMPRESSION);
    EXPECT_EQ(z, Z_OK) << "compress2";
    out.resize(length);
    return out;
}

BirdBuilder::Bytes BirdBuilder::Counting(size_t n, uint8_t start)
{
    Bytes out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t(start + i);
    return out;
}
