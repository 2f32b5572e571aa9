#include "BirdFile.h"

#include <zlib.h>

#include <cassert>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "aFile.h"

namespace {

// Offsets and widths of the four text fields of an information block.
constexpr size_t kInfoFieldWidth = 16;
constexpr size_t kInfoBuild = 0;
constexpr size_t kInfoVersion = 16;
constexpr size_t kInfoSerial = 32;
constexpr size_t kInfoModel = 48;
// The build and version fields use 15 of their 16 characters.
constexpr size_t kInfoUsedWidth = 15;

// Block header: type/flags byte and the u32 length.
constexpr uint32_t kBlockHeaderSize = 5;
// Types 0 and 1 start their data with a u32 load address.
constexpr uint32_t kAddressSize = 4;
// Vector table: eight little-endian words at the start of an image loaded at 0.
constexpr uint32_t kVectorTableSize = 32;

uint32_t GetInt(const uint8_t* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

uint16_t GetShort(const uint8_t* p)
{
    return uint16_t((p[0] << 8) | p[1]);
}

// The firmware's own byte order.
uint32_t GetIntLE(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void PutIntLE(uint8_t* p, uint32_t value)
{
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

bool HasAddress(uint8_t type)
{
    return type == BirdFile::BLOCK_LOADER || type == BirdFile::BLOCK_FIRMWARE;
}

// count characters of a block's data from offset; bytes the block does not
// have read as spaces, the field padding.
std::string BlockText(const BirdBlock& block, size_t offset, size_t count)
{
    std::string text(count, ' ');
    for (size_t i = 0; i < count && offset + i < block.length; ++i) text[i] = char(block.data[offset + i]);
    return text;
}

uint32_t PayloadLength(const BirdBlock& block)
{
    return block.length >= kAddressSize ? block.length - kAddressSize : 0;
}

// True when the n bytes at target address target lie in the block's payload.
bool PayloadHolds(const BirdBlock& block, uint32_t target, uint32_t n)
{
    if (block.length < kAddressSize || target < block.address) return false;
    return uint64_t(target - block.address) + n <= PayloadLength(block);
}

}  // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path) : filename(path != nullptr ? path : "")
{
    assert(this->filename.length() > 0);
    if (!Load()) throw CausedError("Failed to load bird data", load_cause);
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept
    : filename(std::move(other.filename)),
      signature(other.signature),
      version(other.version),
      file_checksum(other.file_checksum),
      block_count(other.block_count),
      blocks(std::move(other.blocks)),
      has_serial_offsets(other.has_serial_offsets),
      serial_number_offset(other.serial_number_offset),
      descriptor_offset(other.descriptor_offset),
      data(std::move(other.data)),
      data_length(other.data_length),
      reported_block_count(other.reported_block_count)
{
    other.filename.clear();
    other.Reset();
}

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept
{
    if (this == &other) return *this;
    filename = std::move(other.filename);
    signature = other.signature;
    version = other.version;
    file_checksum = other.file_checksum;
    block_count = other.block_count;
    // The heap buffer changes owner without moving, so the blocks' pointers stay valid.
    blocks = std::move(other.blocks);
    has_serial_offsets = other.has_serial_offsets;
    serial_number_offset = other.serial_number_offset;
    descriptor_offset = other.descriptor_offset;
    data = std::move(other.data);
    data_length = other.data_length;
    reported_block_count = other.reported_block_count;
    other.filename.clear();
    other.Reset();
    return *this;
}

void BirdFile::Reset()
{
    signature = 0;
    version = 0;
    file_checksum = 0;
    block_count = 0;
    blocks.clear();
    has_serial_offsets = false;
    serial_number_offset = 0;
    descriptor_offset = 0;
    data.reset();
    data_length = 0;
    reported_block_count = 0;
}

bool BirdFile::Load()
{
    Reset();
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
    if (!aFile_Exists(filename.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", filename.c_str());
        load_cause = Cause::FromErrno(ENOENT, filename);
        return false;
    }
    aFileRef* file = aFile_Open(filename.c_str(), aFileModeReadOnly);
    if (file == nullptr) {
        load_cause = Cause::FromErrno(errno, filename);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filename.c_str());
        return false;
    }
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", int(err),
                 filename.c_str());
        aFile_Close(&file);
        return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    if (!buffer) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory for %zu bytes of %s\n", size, filename.c_str());
        aFile_Close(&file);
        return false;
    }

    bool result = false;
    size_t count = 0;
    err = aFile_Read(file, buffer.get(), size, &count);
    load_cause = Cause(aErrRead, filename + ": could not be read whole");
    if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", int(err), filename.c_str());
    } else if (count != size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 filename.c_str(), count, size);
    } else if (size <= 6) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - %s holds %zu bytes, too few for a header and a stream\n",
                 filename.c_str(), size);
        load_cause =
            Cause(aErrSize, filename + ": " + std::to_string(size) + " bytes, too short for a BIRD file");
    } else {
        signature = GetInt(buffer.get());
        version = GetShort(buffer.get() + 4);
        if (DecompressData(buffer.get() + 6, size - 6)) {
            ScanBlocks(data.get(), data_length);
            FindSerialNumberOffsets();
            result = true;
        } else if (memcmp(buffer.get(), BIRD_FILE_SIGNATURE, 4) != 0) {
            // A stream that does not inflate behind a foreign header: the
            // file is no BIRD file at all, which says more than zlib does.
            load_cause = SignatureCause(buffer.get());
        } else {
            load_cause.Within(filename);
        }
    }
    aFile_Close(&file);
    return result;
}

bool BirdFile::DecompressData(const uint8_t* src, unsigned long length)
{
    blocks.clear();
    block_count = 0;
    data.reset();
    data_length = 0;
    // Current files never inflate beyond eight times their stream; the bound
    // keeps a hostile stream from making us allocate without limit.
    if (src == nullptr || length > UINT32_MAX / 8) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - stream of %lu bytes is too large to inflate\n", length);
        return false;
    }
    const uint32_t capacity = uint32_t(length) * 8;
    data.reset(new (std::nothrow) uint8_t[capacity > 0 ? capacity : 1]);
    if (!data) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - no memory to inflate %u bytes\n", capacity);
        return false;
    }
    uLongf out_length = capacity;
    int z = uncompress(data.get(), &out_length, src, length);
    if (z != Z_OK) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", z);
        load_cause =
            Cause(aErrParse, std::string("the compressed data does not inflate (zlib: ") + zError(z) + ")");
        data_length = 0;
        return false;
    }
    data_length = uint32_t(out_length);
    return true;
}

bool BirdFile::ScanBlocks(const uint8_t* bytes, uint32_t length)
{
    blocks.clear();
    block_count = 0;
    file_checksum = 0;
    reported_block_count = 0;
    if (bytes == nullptr || length < 4) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(length));
        return false;
    }
    reported_block_count = GetInt(bytes);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", int(reported_block_count));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

    size_t pos = 4;
    // Signed: a checksum cut short drives it below zero, which is a mismatch too.
    int64_t remaining = int64_t(length) - 4;
    bool overrun = false;
    while (remaining >= kBlockHeaderSize) {
        const uint8_t header = bytes[pos];
        const uint32_t block_length = GetInt(bytes + pos + 1);
        if (block_length > remaining - kBlockHeaderSize) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Block at offset %zu claims %u bytes, only %lld follow\n", pos,
                     block_length, (long long)(remaining - kBlockHeaderSize));
            overrun = true;
            break;
        }
        BirdBlock block;
        block.type = header & BIRD_FILE_TYPE_MASK;
        block.flags = uint8_t((header & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = block_length;
        block.data = bytes + pos + kBlockHeaderSize;
        block.address = HasAddress(block.type) && block_length >= kAddressSize ? GetInt(block.data) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 int(block.length));
        if (block.type == BLOCK_INFO) {
            for (size_t field = 0; field < 4; ++field)
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n",
                         BlockText(block, field * kInfoFieldWidth, kInfoFieldWidth).c_str());
        }
        pos += kBlockHeaderSize + block_length;
        remaining -= kBlockHeaderSize + int64_t(block_length);
        ++block_count;
        blocks.push_back(block);
    }

    if (!overrun) {
        file_checksum = remaining >= 4 ? GetInt(bytes + pos) : 0;
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", file_checksum);
        remaining -= 4;
    }
    bool consistent = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 int(remaining));
        consistent = false;
    }
    if (block_count != reported_block_count) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 int(block_count), int(reported_block_count));
        consistent = false;
    }
    return consistent;
}

void BirdFile::FindSerialNumberOffsets()
{
    has_serial_offsets = false;
    serial_number_offset = 0;
    descriptor_offset = 0;
    if (block_count == 0) return;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_SERIAL_OFFSETS) continue;
        // The block marks a build made to be tied to one device. One too
        // short to hold its offsets still marks it, with nothing to patch: an
        // update then fails to patch it rather than taking it for a generic
        // build, and a recovery refuses it.
        has_serial_offsets = true;
        if (block.length < 8) {
            Log::log(DEBUG_BirdFile, "BIRDFILE: Serial offsets block of %u bytes holds no offsets\n",
                     block.length);
            return;
        }
        serial_number_offset = GetInt(block.data);
        descriptor_offset = GetInt(block.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 int(serial_number_offset), int(descriptor_offset));
        return;
    }
}

uint64_t BirdFile::AccountedLength() const
{
    uint64_t length = 4 + 4;
    for (const BirdBlock& block : blocks) length += kBlockHeaderSize + uint64_t(block.length);
    return length;
}

Cause BirdFile::SignatureCause(const uint8_t* header)
{
    char text[64];
    snprintf(text, sizeof text, "BIRD header: signature %02X %02X %02X %02X is not \"bird\"", header[0],
             header[1], header[2], header[3]);
    return Cause(aErrParse, text);
}

Cause BirdFile::HeaderCause(const char* path)
{
    uint8_t header[6] = {};
    size_t count = 0;
    aFileRef* file = aFile_Open(path, aFileModeReadOnly);
    if (file == nullptr) return Cause::FromErrno(errno, path);
    aErr err = aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    if (err != aErrNone && err != aErrEOF) return Cause(err, std::string(path) + ": could not be read");
    if (count < sizeof header) return Cause(aErrSize, std::string(path) + ": too short for a BIRD header");
    if (memcmp(header, BIRD_FILE_SIGNATURE, 4) != 0) return SignatureCause(header);
    return Cause(aErrVersion, "BIRD header: format version 00 in its bytes 4 and 5");
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const
{
    std::vector<BirdBlock> found;
    for (const BirdBlock& block : blocks)
        if (block.type == type) found.push_back(block);
    return found;
}

const BirdBlock* BirdFile::FirstInfoBlock() const
{
    for (const BirdBlock& block : blocks)
        if (block.type == BLOCK_INFO) return &block;
    return nullptr;
}

std::string BirdFile::InfoField(size_t offset, size_t count) const
{
    const BirdBlock* info = FirstInfoBlock();
    return info != nullptr ? BlockText(*info, offset, count) : std::string();
}

uint32_t BirdFile::GetBuild() const
{
    if (FirstInfoBlock() == nullptr) return 0;
    return uint32_t(strtoul(InfoField(kInfoBuild, kInfoUsedWidth).c_str(), nullptr, 10));
}

std::string BirdFile::GetVersion() const
{
    if (FirstInfoBlock() == nullptr) return std::string();
    std::string text = InfoField(kInfoVersion, kInfoUsedWidth);
    return text.substr(0, text.find_first_of(std::string(" \0", 2)));
}

uint32_t BirdFile::GetSerialNumber() const
{
    if (FirstInfoBlock() == nullptr) return 0;
    return uint32_t(strtoul(InfoField(kInfoSerial, 8).c_str(), nullptr, 16));
}

std::string BirdFile::GetModel() const
{
    std::string text = InfoField(kInfoModel, kInfoFieldWidth).c_str();
    text.erase(text.find_last_not_of(' ') + 1);
    return text;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type, FILE* out) const
{
    fprintf(out, "BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
    std::string text;
    for (const BirdBlock& block : blocks) {
        if (block.type != type) continue;
        for (uint32_t i = 0; i < block.length; ++i) {
            if (i % 50 == 0) {
                fprintf(out, " %s\r\n%06d: ", text.c_str(), int(i));
                text.clear();
            }
            const uint8_t byte = block.data[i];
            text += isprint(byte) ? char(byte) : ' ';
            fprintf(out, "%02X ", byte);
        }
        fprintf(out, " %s\n", text.c_str());
        text.clear();
    }
    fprintf(out, "\n");
    return true;
}

bool BirdFile::VerifyFile(const char* path)
{
    aFileRef* file = aFile_Open(path, aFileModeReadOnly);
    if (file == nullptr) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path != nullptr ? path : "");
        return false;
    }
    uint8_t header[6];
    size_t count = 0;
    aErr err = aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    return err == aErrNone && count == sizeof header && memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 &&
           header[4] != 0 && header[5] != 0;
}

uint8_t* BirdFile::MutableData(const BirdBlock& block)
{
    // Only blocks inside our own buffer may be changed.
    if (!data || block.data < data.get() || block.data + block.length > data.get() + data_length)
        return nullptr;
    return data.get() + (block.data - data.get());
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial)
{
    char text[9];
    snprintf(text, sizeof text, "%08X", serial);
    bool serial_written = false;
    bool descriptor_written = false;
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* bytes = MutableData(block);
        if (bytes == nullptr) continue;
        uint8_t* payload = bytes + kAddressSize;
        if (serial_number_offset != 0 && PayloadHolds(block, serial_number_offset, 4)) {
            uint8_t* word = payload + (serial_number_offset - block.address);
            Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", GetIntLE(word),
                     serial);
            PutIntLE(word, serial);
            serial_written = true;
        }
        // The descriptor is a 16-bit character string: characters go into the
        // low bytes, the high bytes keep their contents.
        if (descriptor_offset != 0 && PayloadHolds(block, descriptor_offset, 16)) {
            uint8_t* descriptor = payload + (descriptor_offset - block.address);
            for (size_t i = 0; i < 8; ++i) descriptor[2 * i] = uint8_t(text[i]);
            descriptor_written = true;
        }
    }
    // An image that keeps its generic serial number must never be reported as
    // patched: every location asked for has to be written.
    const bool asked = serial_number_offset != 0 || descriptor_offset != 0;
    const bool complete = asked && (serial_number_offset == 0 || serial_written) &&
                          (descriptor_offset == 0 || descriptor_written);
    if (!complete)
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: serial number not patched: serial word at %08X %s, descriptor at %08X %s\n",
                 serial_number_offset, serial_written ? "written" : "not written", descriptor_offset,
                 descriptor_written ? "written" : "not written");
    return complete;
}

bool BirdFile::ReplaceVectorChecksum()
{
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE || block.length < kAddressSize || block.address != 0) continue;
        uint8_t* bytes = MutableData(block);
        if (bytes == nullptr) continue;
        if (PayloadLength(block) < kVectorTableSize) {
            Log::log(DEBUG_BirdFile,
                     "BIRDFILE: firmware block at 0 holds %u bytes, too few for a vector table\n",
                     PayloadLength(block));
            continue;
        }
        uint8_t* vectors = bytes + kAddressSize;
        uint32_t w[8];
        for (size_t i = 0; i < 8; ++i) w[i] = GetIntLE(vectors + 4 * i);
        // Word 5 is the reserved slot the boot ROM leaves out of the sum.
        const uint32_t sum = w[0] + w[1] + w[2] + w[3] + w[4] + w[6];
        const uint32_t checksum = ~sum + 1;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", w[7], checksum);
        PutIntLE(vectors + 28, checksum);
    }
    return true;
}

void BirdFile::DecodeFirmwareBlocks(const uint32_t key_words[4])
{
    uint8_t key[16];
    for (size_t i = 0; i < 4; ++i) {
        key[4 * i] = uint8_t(key_words[i] >> 24);
        key[4 * i + 1] = uint8_t(key_words[i] >> 16);
        key[4 * i + 2] = uint8_t(key_words[i] >> 8);
        key[4 * i + 3] = uint8_t(key_words[i]);
    }
    for (const BirdBlock& block : blocks) {
        if (block.type != BLOCK_FIRMWARE) continue;
        uint8_t* bytes = MutableData(block);
        if (bytes == nullptr) continue;
        uint8_t* payload = bytes + kAddressSize;
        // The chain restarts with every block.
        uint8_t previous = 0;
        const uint32_t n = PayloadLength(block);
        for (uint32_t j = 0; j < n; ++j) {
            const uint8_t plain = payload[j] ^ key[j % 16] ^ previous;
            payload[j] = plain;
            previous = plain;
        }
    }
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t pattern_length) const
{
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
    bool found = false;
    if (pattern != nullptr && pattern_length > 0) {
        for (const BirdBlock& block : blocks) {
            if (block.type != BLOCK_FIRMWARE || pattern_length > block.length) continue;
            for (uint32_t s = 0; s <= block.length - pattern_length; ++s) {
                if (memcmp(block.data + s, pattern, pattern_length) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", int(s));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::ValidateModel(const char* model) const
{
    if (model == nullptr || FirstInfoBlock() == nullptr) return false;
    char text[kInfoFieldWidth + 1];
    const std::string field = InfoField(kInfoModel, kInfoFieldWidth);
    memcpy(text, field.data(), kInfoFieldWidth);
    text[kInfoFieldWidth] = '\0';
    for (size_t n = kInfoFieldWidth; n > 0 && text[n - 1] == ' '; --n) text[n - 1] = '\0';
    if (strncmp(text, model, strlen(model)) != 0) return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", text, model);
    return true;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const
{
    return GetSerialNumber() == serial;
}
