#ifndef UPDATER_BIRDFILE_H
#define UPDATER_BIRDFILE_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Cause.h"

// One typed block of a loaded BIRD file. A plain value: copy freely, but data
// points into the owning BirdFile's inflated buffer and is valid only while
// that BirdFile lives (moving the BirdFile keeps it valid).
struct BirdBlock {
    uint8_t type = 0;               // 0 to 31
    uint8_t flags = 0;              // 0 to 7, handed unchanged to the module
    uint32_t length = 0;            // data bytes as stored (address included for types 0 and 1)
    uint32_t address = 0;           // load address for types 0 and 1, else 0
    const uint8_t* data = nullptr;  // first data byte; not owned
};

// A ".bird" firmware file loaded completely into memory: header, inflated
// block data and the blocks found in it. Patching works on the in-memory
// copy only; the file is never written. Movable, not copyable. Not
// thread-safe: one thread uses one BirdFile at a time.
class BirdFile {
public:
    enum BLOCK_TYPE : uint8_t {
        BLOCK_LOADER = 0,
        BLOCK_FIRMWARE = 1,
        BLOCK_SERIAL_OFFSETS = 2,
        BLOCK_INFO = 4,
        BLOCK_LOADER_START = 5,
    };

    static constexpr char BIRD_FILE_SIGNATURE[5] = "bird";
    static constexpr uint8_t BIRD_FILE_VERSION[2] = {0x01, 0x01};
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;

    // Empty file: no name, no blocks, no data.
    BirdFile();
    // Loads path (must not be empty); throws CausedError("Failed to load
    // bird data", LoadCause()) when Load() fails. The header is not checked:
    // use VerifyFile for that.
    explicit BirdFile(const char* path);
    explicit BirdFile(const std::string& path) : BirdFile(path.c_str()) {}
    ~BirdFile();

    BirdFile(BirdFile&& other) noexcept;
    BirdFile& operator=(BirdFile&& other) noexcept;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads and inflates the file named at construction and scans its blocks;
    // earlier contents are dropped first. True as soon as the stream inflates;
    // block-structure mismatches are only logged.
    bool Load();
    // Inflates length bytes of src into a new buffer of at most 8 x length
    // bytes (the old buffer and its blocks are dropped). False, with
    // DataLength() 0, when zlib fails or 8 x length does not fit 32 bits.
    bool DecompressData(const uint8_t* src, unsigned long length);
    // Splits length bytes of inflated data into blocks (replacing the list);
    // the blocks point into data, which must be this object's buffer or
    // outlive it. Never reads outside data. True when the byte count and the
    // reported block count are consistent.
    bool ScanBlocks(const uint8_t* data, uint32_t length);
    // Reads the patch locations from the first serial-offsets block of at
    // least 8 bytes (shorter ones are ignored).
    void FindSerialNumberOffsets();

    // Copies of the blocks of one type, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    // From the first information block; 0 / "" / 0 without one.
    uint32_t GetBuild() const;
    std::string GetVersion() const;
    uint32_t GetSerialNumber() const;
    // Model name from the first information block, trailing spaces removed;
    // "" without one.
    std::string GetModel() const;
    // Hex dump of all blocks of a type, 50 bytes a row, to out. Always true.
    bool DumpBlocks(BLOCK_TYPE type, FILE* out = stdout) const;

    // Header check without loading: at least 6 bytes, "bird", and both
    // format-version bytes non-zero.
    static bool VerifyFile(const char* path);
    // Why VerifyFile refuses path: the file cannot be read, is too short, or
    // which header field is wrong.
    static Cause HeaderCause(const char* path);
    // Why the last Load or DecompressData failed.
    const Cause& LoadCause() const { return load_cause; }

    // Writes serial into the firmware image at the two patch locations. True
    // only when every non-zero location lies inside a firmware block and was
    // written; false when neither location is set.
    bool ReplaceSerialNumber(uint32_t serial);
    // Recomputes word 7 of the vector table of each firmware block loaded at
    // address 0 (blocks with less than 32 payload bytes are skipped). Always true.
    bool ReplaceVectorChecksum();
    // Unscrambles every firmware payload with the key made from four words.
    void DecodeFirmwareBlocks(const uint32_t key_words[4]);
    // True when pattern occurs anywhere in the data of a firmware block
    // (address bytes included). False for a null or empty pattern.
    bool ValidateData(const uint8_t* pattern, uint32_t pattern_length) const;
    // True when the information block's model field begins with model.
    bool ValidateModel(const char* model) const;
    // True when GetSerialNumber() equals serial.
    bool ValidateSerialNumber(uint32_t serial) const;

    const std::string& Filename() const { return filename; }
    // First four file bytes as a big-endian number (0x62697264 for "bird").
    uint32_t Signature() const { return signature; }
    // The u16 format version at file offset 4.
    uint32_t FormatVersion() const { return version; }
    uint32_t FileChecksum() const { return file_checksum; }
    // Blocks actually found (the count the data reports may differ).
    uint32_t BlockCount() const { return block_count; }
    // Count stored at the start of the inflated data.
    uint32_t ReportedBlockCount() const { return reported_block_count; }
    const std::vector<BirdBlock>& Blocks() const { return blocks; }
    bool HasSerialOffsets() const { return has_serial_offsets; }
    uint32_t SerialNumberOffset() const { return serial_number_offset; }
    uint32_t DescriptorOffset() const { return descriptor_offset; }
    uint32_t DataLength() const { return data_length; }
    // Bytes the blocks found, the count before them and the checksum after
    // them take up; equals DataLength() when the data holds nothing else.
    uint64_t AccountedLength() const;
    // The inflated data is exactly the blocks found and the reported count
    // equals the blocks found.
    bool StructureConsistent() const
    {
        return AccountedLength() == data_length && block_count == reported_block_count;
    }

private:
    const BirdBlock* FirstInfoBlock() const;
    // Text of count characters from offset in the information block, padded
    // with spaces where the block is shorter.
    std::string InfoField(size_t offset, size_t count) const;
    // Writable view of a block's data: the blocks hold const pointers, but
    // they point into our own buffer.
    uint8_t* MutableData(const BirdBlock& block);
    void Reset();
    static Cause SignatureCause(const uint8_t* header);

    std::string filename;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t file_checksum = 0;
    uint32_t block_count = 0;
    std::vector<BirdBlock> blocks;
    bool has_serial_offsets = false;
    uint32_t serial_number_offset = 0;
    uint32_t descriptor_offset = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t data_length = 0;
    uint32_t reported_block_count = 0;
    Cause load_cause;
};

#endif
