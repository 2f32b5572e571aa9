#include "BirdFileCheck.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "BirdFile.h"
#include "aFile.h"

namespace {

const UpdaterDisplayInterface::Level kInfo = UpdaterDisplayInterface::Info;
const UpdaterDisplayInterface::Level kError = UpdaterDisplayInterface::Error;

const char* _type_name(uint8_t type)
{
    switch (type) {
        case BirdFile::BLOCK_LOADER:
            return "LOADER";
        case BirdFile::BLOCK_FIRMWARE:
            return "FIRMWARE";
        case BirdFile::BLOCK_SERIAL_OFFSETS:
            return "SERIAL_OFFSETS";
        case BirdFile::BLOCK_INFO:
            return "INFO";
        case BirdFile::BLOCK_LOADER_START:
            return "LOADER_START";
        default:
            return "UNKNOWN";
    }
}

std::string _format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string _format(const char* format, ...)
{
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// Reads the six header bytes and says what is wrong with them; "" when they
// are a valid header. The same rules as BirdFile::VerifyFile, with a reason.
std::string _header_problem(const std::string& path, bool* readable)
{
    *readable = false;
    aFileRef* file = aFile_Open(path.c_str(), aFileModeReadOnly);
    if (file == nullptr) return "cannot be opened";
    *readable = true;
    uint8_t header[6] = {0};
    size_t count = 0;
    aFile_Read(file, header, sizeof header, &count);
    aFile_Close(&file);
    if (count < sizeof header) return _format("the file holds %zu bytes, a header needs 6", count);
    if (memcmp(header, BirdFile::BIRD_FILE_SIGNATURE, 4) != 0)
        return _format("signature %02X %02X %02X %02X is not \"bird\"", header[0], header[1], header[2],
                       header[3]);
    if (header[4] == 0 || header[5] == 0)
        return _format("format version %02X %02X has a zero byte", header[4], header[5]);
    return "";
}

void _report_information(UpdaterDisplayInterface& display, const BirdFile& bird)
{
    if (bird.FindBlocks(BirdFile::BLOCK_INFO).empty()) {
        display.message(kInfo, "Information block: none");
        return;
    }
    display.message(kInfo, "Information block:");
    display.message(kInfo, "  Build:         %u", bird.GetBuild());
    display.message(kInfo, "  Version:       %s", bird.GetVersion().c_str());
    display.message(kInfo, "  Serial number: %08X", bird.GetSerialNumber());
    display.message(kInfo, "  Model:         %s", bird.GetModel().c_str());
}

void _report_blocks(UpdaterDisplayInterface& display, const BirdFile& bird)
{
    display.message(kInfo, "Blocks: %u", bird.BlockCount());
    display.message(kInfo, "  %-3s %-18s %5s %10s  %s", "#", "Type", "Flags", "Length", "Address");
    unsigned index = 0;
    for (const BirdBlock& block : bird.Blocks()) {
        char type[32];
        snprintf(type, sizeof type, "%s(%u)", _type_name(block.type), block.type);
        if (block.type == BirdFile::BLOCK_LOADER || block.type == BirdFile::BLOCK_FIRMWARE)
            display.message(kInfo, "  %-3u %-18s %5u %10u  0x%08X", index, type, block.flags, block.length,
                            block.address);
        else
            display.message(kInfo, "  %-3u %-18s %5u %10u  -", index, type, block.flags, block.length);
        ++index;
    }
}

}  // namespace

bool BirdFileCheck::Run(UpdaterDisplayInterface& display, const std::string& path)
{
    display.message(kInfo, "Checking BIRD file: %s", path.c_str());
    bool readable = false;
    const std::string header_problem = _header_problem(path, &readable);
    if (!readable) {
        display.message(kError, "BIRD file check failed: %s cannot be opened", path.c_str());
        return false;
    }
    if (header_problem.empty())
        display.message(kInfo, "Header: valid");
    else
        display.message(kInfo, "Header: invalid (%s)", header_problem.c_str());

    std::vector<std::string> problems;
    if (!header_problem.empty()) problems.push_back("invalid header: " + header_problem);

    BirdFile bird;
    bool loaded = false;
    try {
        bird = BirdFile(path);
        loaded = true;
    } catch (const std::runtime_error&) {
        problems.push_back(
            "the compressed data does not inflate (damaged, cut short, or larger than 8 times its stream)");
    }

    if (loaded) {
        _report_information(display, bird);
        _report_blocks(display, bird);
        if (bird.HasSerialOffsets())
            display.message(kInfo, "Serial number offsets: serial word 0x%08X, descriptor 0x%08X",
                            bird.SerialNumberOffset(), bird.DescriptorOffset());
        display.message(kInfo, "File checksum: %08X", bird.FileChecksum());

        if (bird.BlockCount() == bird.ReportedBlockCount()) {
            display.message(kInfo, "Block count: consistent (%u)", bird.BlockCount());
        } else {
            const std::string detail =
                _format("%u found, file reports %u", bird.BlockCount(), bird.ReportedBlockCount());
            display.message(kInfo, "Block count: mismatch (%s)", detail.c_str());
            problems.push_back("block count mismatch (" + detail + ")");
        }
        if (bird.AccountedLength() == bird.DataLength()) {
            display.message(kInfo, "Data size: consistent (%u bytes inflated)", bird.DataLength());
        } else {
            const std::string detail = _format("%u bytes inflated, blocks and checksum take %llu",
                                               bird.DataLength(), (unsigned long long)bird.AccountedLength());
            display.message(kInfo, "Data size: mismatch (%s)", detail.c_str());
            problems.push_back("data size mismatch (" + detail + ")");
        }
    }

    if (problems.empty()) {
        display.message(kInfo, "BIRD file is valid");
        return true;
    }
    for (const std::string& problem : problems)
        display.message(kError, "BIRD file check failed: %s", problem.c_str());
    return false;
}
