#ifndef UPDATER_TEST_BIRDBUILDER_H
#define UPDATER_TEST_BIRDBUILDER_H

#include <cstdint>
#include <string>
#include <vector>

// Builds BIRD files in memory: blocks, the inflated image (count, blocks,
// checksum) and the file around it ("bird", two version bytes, zlib stream).
// Images that inflate to more than eight times their stream do not load, so
// payloads should not be long runs of one value: use Counting().
class BirdBuilder {
public:
    using Bytes = std::vector<uint8_t>;

    BirdBuilder();
    BirdBuilder& Raw(uint8_t type, uint8_t flags, const Bytes& data);
    // A loader (0) or firmware (1) block: big-endian address, then payload.
    BirdBuilder& Code(uint8_t type, uint8_t flags, uint32_t address, const Bytes& payload);
    BirdBuilder& Firmware(uint32_t address, const Bytes& payload) { return Code(1, 0, address, payload); }
    // Four fields of 16 characters padded with spaces.
    BirdBuilder& Info(const std::string& build, const std::string& version, const std::string& serial,
                      const std::string& model);
    BirdBuilder& SerialOffsets(uint32_t serial_word, uint32_t descriptor);
    BirdBuilder& LoaderStart(uint32_t address);

    BirdBuilder& Checksum(uint32_t checksum);

    Bytes File() const;
    // A file around any inflated image.
    Bytes FileFrom(const Bytes& inflated) const;

    static Bytes Compress(const Bytes& inflated);
    static Bytes Counting(size_t n, uint8_t start = 0);

private:
    struct Block {
        uint8_t header;
        Bytes data;
    };
    Bytes Inflated() const;

    std::vector<Block> blocks_;
    uint32_t checksum_ = 0;
    Bytes header_;
};

#endif
