// BIRD file loading and every query on the loaded file. Input: byte 0 bit 0
// clear: the rest is a whole ".bird" file; set: an inflated image the target
// wraps in a valid file (so mutations reach the block scanner). Bytes 1-4 a
// serial number, 5-20 four key words (big-endian), then the file or image.
// Checked against an independent block scan and descrambling.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "FuzzSupport.h"

namespace {

const size_t kParamBytes = 21;

uint32_t BE32(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint32_t LE32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

struct RefBlock {
    uint8_t type, flags;
    uint32_t length, address;
    size_t offset;  // of the first data byte in the image
};

// The blocks of an inflated image; one running past the end ends the scan.
struct RefScan {
    std::vector<RefBlock> blocks;
    uint32_t reported = 0;
    uint32_t checksum = 0;
    bool consistent = false;
};

RefScan Scan(const uint8_t* image, size_t n)
{
    RefScan scan;
    if (n < 4) return scan;
    scan.reported = BE32(image);
    size_t pos = 4;
    bool overrun = false;
    while (n - pos >= 5) {
        uint32_t length = BE32(image + pos + 1);
        if (length > n - pos - 5) {
            overrun = true;
            break;
        }
        RefBlock b;
        b.type = image[pos] & 0x1F;
        b.flags = uint8_t(image[pos] >> 5);
        b.length = length;
        b.offset = pos + 5;
        b.address = (b.type <= 1 && length >= 4) ? BE32(image + pos + 5) : 0;
        scan.blocks.push_back(b);
        pos += 5 + size_t(length);
    }
    if (!overrun && n - pos >= 4) scan.checksum = BE32(image + pos);
    scan.consistent = !overrun && n - pos == 4 && scan.blocks.size() == scan.reported;
    return scan;
}

// The inflated buffer the blocks point into (known when there is a block).
struct Image {
    uint8_t* base = nullptr;
    size_t size = 0;
};

Image ImageOf(const BirdFile& file)
{
    Image image;
    if (file.Blocks().empty()) return image;
    image.base = const_cast<uint8_t*>(file.Blocks().front().data) - 9;
    image.size = file.DataLength();
    return image;
}

void CheckBlocksInside(const BirdFile& file)
{
    Image image = ImageOf(file);
    for (const BirdBlock& b : file.Blocks()) {
        FUZZ_CHECK(b.data >= image.base + 9);
        FUZZ_CHECK(size_t(b.data - image.base) + b.length <= image.size);
        FUZZ_CHECK(b.type <= 31 && b.flags <= 7);
    }
    FUZZ_CHECK(file.BlockCount() == file.Blocks().size());
}

void CheckAgainstScan(const BirdFile& file, const uint8_t* image, size_t n)
{
    RefScan scan = Scan(image, n);
    FUZZ_CHECK(file.DataLength() == n);
    FUZZ_CHECK(file.Blocks().size() == scan.blocks.size());
    FUZZ_CHECK(file.ReportedBlockCount() == scan.reported);
    FUZZ_CHECK(file.FileChecksum() == scan.checksum);
    FUZZ_CHECK(file.StructureConsistent() == scan.consistent);
    const uint8_t* base = ImageOf(file).base;
    for (size_t i = 0; i < scan.blocks.size(); i++) {
        const BirdBlock& b = file.Blocks()[i];
        const RefBlock& r = scan.blocks[i];
        FUZZ_CHECK(b.type == r.type && b.flags == r.flags && b.length == r.length);
        FUZZ_CHECK(b.address == r.address);
        FUZZ_CHECK(size_t(b.data - base) == r.offset);
    }
    // The first serial-offsets block marks the file and holds the patch
    // locations; one too short to hold them leaves both at zero.
    bool found = false;
    for (const RefBlock& r : scan.blocks) {
        if (r.type != 2) continue;
        const bool whole = r.length >= 8;
        FUZZ_CHECK(file.HasSerialOffsets());
        FUZZ_CHECK(file.SerialNumberOffset() == (whole ? BE32(image + r.offset) : 0));
        FUZZ_CHECK(file.DescriptorOffset() == (whole ? BE32(image + r.offset + 4) : 0));
        found = true;
        break;
    }
    if (!found) FUZZ_CHECK(!file.HasSerialOffsets());
}

void CheckQueries(const BirdFile& file)
{
    for (uint8_t type = 0; type < 32; type++) {
        std::vector<BirdBlock> found = file.FindBlocks(static_cast<BirdFile::BLOCK_TYPE>(type));
        size_t expected = 0;
        for (const BirdBlock& b : file.Blocks()) {
            if (b.type != type) continue;
            FUZZ_CHECK(expected < found.size() && found[expected].data == b.data);
            expected++;
        }
        FUZZ_CHECK(found.size() == expected);
    }
    const bool hasInfo = !file.FindBlocks(BirdFile::BLOCK_INFO).empty();
    uint32_t build = file.GetBuild();
    std::string version = file.GetVersion();
    uint32_t serial = file.GetSerialNumber();
    std::string model = file.GetModel();
    FUZZ_CHECK(version.size() <= 15 && version.find(' ') == std::string::npos);
    FUZZ_CHECK(model.size() <= 16);
    if (!hasInfo) FUZZ_CHECK(build == 0 && version.empty() && serial == 0 && model.empty());
    FUZZ_CHECK(file.ValidateSerialNumber(serial));
    // The model field always begins with the model it reports, and with "".
    FUZZ_CHECK(file.ValidateModel(model.c_str()) == hasInfo);
    FUZZ_CHECK(file.ValidateModel("") == hasInfo);
    FUZZ_CHECK(!file.ValidateModel(nullptr));
    std::string longer = model + std::string(17 - model.size(), 'x');
    FUZZ_CHECK(!file.ValidateModel(longer.c_str()));

    // The dump is slow on large images.
    static FILE* devnull = fopen("/dev/null", "w");
    if (file.DataLength() <= 8192)
        for (uint8_t type : {0, 1, 2, 4, 5, 31})
            FUZZ_CHECK(file.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(type), devnull));
}

void CheckReplaceVectorChecksum(BirdFile& file)
{
    Image image = ImageOf(file);
    std::vector<uint8_t> before(image.base, image.base + image.size);
    FUZZ_CHECK(file.ReplaceVectorChecksum());
    std::vector<bool> changeable(image.size, false);
    for (const BirdBlock& b : file.Blocks()) {
        if (b.type != 1 || b.length < 4 + 32 || b.address != 0) continue;
        const uint8_t* v = b.data + 4;
        uint32_t sum = LE32(v) + LE32(v + 4) + LE32(v + 8) + LE32(v + 12) + LE32(v + 16) + LE32(v + 24);
        // The checksum word makes the six words sum to zero with it.
        FUZZ_CHECK(uint32_t(sum + LE32(v + 28)) == 0);
        for (size_t i = 0; i < 4; i++) changeable[size_t(v + 28 - image.base) + i] = true;
    }
    for (size_t i = 0; i < image.size; i++)
        if (image.base[i] != before[i]) FUZZ_CHECK(changeable[i]);
}

void CheckDecode(BirdFile& file, const uint32_t key_words[4])
{
    Image image = ImageOf(file);
    std::vector<uint8_t> before(image.base, image.base + image.size);
    file.DecodeFirmwareBlocks(key_words);
    uint8_t key[16];
    for (int i = 0; i < 4; i++)
        for (int k = 0; k < 4; k++) key[4 * i + k] = uint8_t(key_words[i] >> (24 - 8 * k));
    // Scrambling again, c[j] = p[j] ^ key[j % 16] ^ p[j - 1] per block, gives back the input.
    std::vector<uint8_t> again(image.base, image.base + image.size);
    for (const BirdBlock& b : file.Blocks()) {
        if (b.type != 1 || b.length < 4) continue;
        size_t start = size_t(b.data - image.base) + 4;
        uint8_t previous = 0;
        for (size_t j = 0; j < b.length - 4; j++) {
            uint8_t plain = image.base[start + j];
            again[start + j] = uint8_t(plain ^ key[j % 16] ^ previous);
            previous = plain;
        }
    }
    FUZZ_CHECK(again == before);
}

void CheckValidateData(const BirdFile& file)
{
    FUZZ_CHECK(!file.ValidateData(nullptr, 4));
    uint8_t none = 0;
    FUZZ_CHECK(!file.ValidateData(&none, 0));
    for (const BirdBlock& b : file.Blocks()) {
        if (b.type != 1 || b.length == 0) continue;
        // The tail of a firmware block, address bytes included, is found.
        uint32_t n = std::min<uint32_t>(b.length, 6);
        std::vector<uint8_t> tail(b.data + b.length - n, b.data + b.length);
        FUZZ_CHECK(file.ValidateData(tail.data(), n));
        break;
    }
}

// image: what the file must inflate to, or null when unknown or over the 8x bound.
void Exercise(const std::string& path, const uint8_t* params, const uint8_t* image, size_t imageSize)
{
    BirdFile file;
    try {
        file = BirdFile(path);
    } catch (const std::runtime_error& e) {
        FUZZ_CHECK(strcmp(e.what(), "Failed to load bird data") == 0);
        FUZZ_CHECK(image == nullptr);
        return;
    }
    CheckBlocksInside(file);
    if (image != nullptr) CheckAgainstScan(file, image, imageSize);
    CheckQueries(file);

    // Moving keeps the blocks valid: they point into the buffer that moves.
    BirdFile moved(std::move(file));
    FUZZ_CHECK(file.Blocks().empty() && file.DataLength() == 0);
    CheckBlocksInside(moved);
    if (moved.Blocks().empty()) {
        uint32_t keys[4] = {1, 2, 3, 4};
        FUZZ_CHECK(!moved.ReplaceSerialNumber(BE32(params)) || moved.SerialNumberOffset() == 0);
        moved.DecodeFirmwareBlocks(keys);
        FUZZ_CHECK(moved.ReplaceVectorChecksum());
        return;
    }
    CheckValidateData(moved);
    // Which bytes the patch writes is the unit tests' table of boundaries.
    moved.ReplaceSerialNumber(BE32(params));
    CheckReplaceVectorChecksum(moved);
    uint32_t keys[4] = {BE32(params + 4), BE32(params + 8), BE32(params + 12), BE32(params + 16)};
    CheckDecode(moved, keys);
    CheckQueries(moved);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < kParamBytes) return 0;
    const bool wrapImage = (data[0] & 1) != 0;
    const uint8_t* params = data + 1;
    const uint8_t* rest = data + kParamBytes;
    const size_t restSize = size - kParamBytes;
    static const std::string path = FuzzTempPath("input.bird");

    if (!wrapImage) {
        FuzzWriteFile(path, rest, restSize);
        bool header = restSize >= 6 && memcmp(rest, "bird", 4) == 0 && rest[4] != 0 && rest[5] != 0;
        FUZZ_CHECK(BirdFile::VerifyFile(path.c_str()) == header);
        Exercise(path, params, nullptr, 0);
        return 0;
    }
    std::vector<uint8_t> file = {'b', 'i', 'r', 'd', 1, 1};
    uLongf bound = compressBound(restSize);
    file.resize(6 + bound);
    if (compress2(file.data() + 6, &bound, rest, restSize, 6) != Z_OK) return 0;
    file.resize(6 + bound);
    FuzzWriteFile(path, file.data(), file.size());
    FUZZ_CHECK(BirdFile::VerifyFile(path.c_str()));
    Exercise(path, params, restSize <= 8 * size_t(bound) ? rest : nullptr, restSize);
    return 0;
}
