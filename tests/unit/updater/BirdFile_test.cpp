#include "BirdFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "BirdBuilder.h"
#include "LogCapture.h"
#include "TempDir.h"

using Bytes = BirdBuilder::Bytes;

namespace {

const uint32_t kKey[4] = {0x0A1B2C3D, 0x11223344, 0xDEADBEEF, 0x80706050};

class BirdFileTest : public ::testing::Test {
protected:
    std::string Write(const Bytes& bytes, const std::string& name = "test.bird")
    {
        std::string path = tmp.sub(name);
        WriteBytes(path, bytes);
        return path;
    }

    BirdFile Load(const Bytes& bytes) { return BirdFile(Write(bytes)); }

    // The message of the constructor's exception, or "" when it loaded.
    std::string LoadError(const Bytes& bytes)
    {
        try {
            BirdFile bird(Write(bytes));
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    static Bytes Payload(const BirdBlock& block) { return Bytes(block.data + 4, block.data + block.length); }

    TempDir tmp;
};

BirdBuilder TypicalBuild()
{
    BirdBuilder b;
    b.Code(0, 0, 0x20000000, BirdBuilder::Counting(40))
        .Code(1, 2, 0x00001000, BirdBuilder::Counting(0x100, 7))
        .SerialOffsets(0x10FC, 0x1010)
        .Info("1234", "2.4.1", "0001ABCD", "USBHub3p")
        .LoaderStart(0x20000101)
        .Raw(3, 7, {1, 2, 3})
        .Code(1, 0, 0x00002000, BirdBuilder::Counting(16, 100))
        .Checksum(0xCAFEF00D);
    return b;
}

}  // namespace

TEST_F(BirdFileTest, LoadsHeaderBlocksInformationAndOffsets)
{
    LogCapture log(DEBUG_BirdFile);
    std::string path = Write(TypicalBuild().File());
    BirdFile bird(path);

    EXPECT_EQ(bird.Filename(), path);
    EXPECT_EQ(bird.Signature(), 0x62697264u);
    EXPECT_EQ(bird.FormatVersion(), 0x0101u);
    EXPECT_EQ(bird.FileChecksum(), 0xCAFEF00Du);
    EXPECT_EQ(bird.BlockCount(), 7u);
    EXPECT_EQ(bird.ReportedBlockCount(), 7u);
    EXPECT_TRUE(bird.StructureConsistent());
    EXPECT_EQ(bird.DataLength(), TypicalBuild().Inflated().size());
    ASSERT_EQ(bird.Blocks().size(), 7u);

    const BirdBlock& loader = bird.Blocks()[0];
    EXPECT_EQ(loader.type, 0);
    EXPECT_EQ(loader.flags, 0);
    EXPECT_EQ(loader.length, 44u);
    EXPECT_EQ(loader.address, 0x20000000u);
    EXPECT_EQ(Payload(loader), BirdBuilder::Counting(40));

    // Header byte 0x41: type 1, flags 2.
    const BirdBlock& firmware = bird.Blocks()[1];
    EXPECT_EQ(firmware.type, 1);
    EXPECT_EQ(firmware.flags, 2);
    EXPECT_EQ(firmware.length, 0x104u);
    EXPECT_EQ(firmware.address, 0x1000u);

    // Types without an address read it as 0, whatever their data holds.
    for (size_t i : {2, 3, 4, 5}) EXPECT_EQ(bird.Blocks()[i].address, 0u) << i;
    EXPECT_EQ(bird.Blocks()[5].type, 3);
    EXPECT_EQ(bird.Blocks()[5].flags, 7);
    EXPECT_EQ(bird.Blocks()[5].length, 3u);

    std::vector<BirdBlock> fw = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    ASSERT_EQ(fw.size(), 2u);
    EXPECT_EQ(fw[0].address, 0x1000u);
    EXPECT_EQ(fw[1].address, 0x2000u);
    EXPECT_EQ(fw[1].data, bird.Blocks()[6].data);
    EXPECT_TRUE(bird.FindBlocks(BirdFile::BLOCK_TYPE(6)).empty());
    ASSERT_EQ(bird.FindBlocks(BirdFile::BLOCK_LOADER_START).size(), 1u);

    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "2.4.1");
    EXPECT_EQ(bird.GetSerialNumber(), 0x0001ABCDu);
    EXPECT_EQ(bird.GetModel(), "USBHub3p");
    EXPECT_TRUE(bird.HasSerialOffsets());
    EXPECT_EQ(bird.SerialNumberOffset(), 0x10FCu);
    EXPECT_EQ(bird.DescriptorOffset(), 0x1010u);
    EXPECT_TRUE(BirdFile::VerifyFile(path.c_str()));

    const std::string text = log.Text();
    EXPECT_NE(text.find("BIRDFILE: Loading File [" + path + "]\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t File reports 7 blocks\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t 01   02   260\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t \t[0001ABCD        ]\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE:\t\t File checksum CAFEF00D\n"), std::string::npos);
    EXPECT_NE(text.find("BIRDFILE: Offsets: Serial number: 4348, Descriptor: 4112\n"), std::string::npos);
    EXPECT_EQ(text.find("mismatch"), std::string::npos);
}

TEST_F(BirdFileTest, InformationFieldsUseFifteenCharactersAndStopAtPadding)
{
    BirdBuilder b;
    b.Info("0000000000012345", "10.20.300-beta.12", "0001abcdEXTRA", "Model");
    BirdFile bird = Load(b.File());
    // The 16th character of the build and version fields is not used.
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "10.20.300-beta.");
    EXPECT_EQ(bird.GetSerialNumber(), 0x0001ABCDu);

    BirdBuilder none;
    none.Firmware(0, {1, 2, 3, 4});
    BirdFile plain = Load(none.File());
    EXPECT_EQ(plain.GetBuild(), 0u);
    EXPECT_EQ(plain.GetVersion(), "");
    EXPECT_EQ(plain.GetSerialNumber(), 0u);
    EXPECT_EQ(plain.GetModel(), "");
    EXPECT_FALSE(plain.ValidateModel(""));
    EXPECT_FALSE(plain.ValidateSerialNumber(0x0001ABCD));
    EXPECT_TRUE(plain.ValidateSerialNumber(0));
    EXPECT_FALSE(plain.HasSerialOffsets());
}

TEST_F(BirdFileTest, HeaderCheckIsSeparateFromLoading)
{
    BirdBuilder b = TypicalBuild();
    // Not "bird": the header check fails, the constructor still loads.
    b.Header({'b', 'i', 'r', 'x', 1, 1});
    std::string path = Write(b.File(), "sig.bird");
    EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
    BirdFile bird(path);
    EXPECT_EQ(bird.Signature(), 0x62697278u);
    EXPECT_EQ(bird.BlockCount(), 7u);

    for (const Bytes& version : {Bytes{1, 0}, Bytes{0, 1}, Bytes{0, 0}}) {
        b.Header({'b', 'i', 'r', 'd', version[0], version[1]});
        std::string p = Write(b.File(), "ver.bird");
        EXPECT_FALSE(BirdFile::VerifyFile(p.c_str())) << int(version[0]) << int(version[1]);
    }
    b.Header({'b', 'i', 'r', 'd', 2, 7});
    EXPECT_TRUE(BirdFile::VerifyFile(Write(b.File(), "v27.bird").c_str()));
    EXPECT_TRUE(BirdFile::VerifyFile(Write({'b', 'i', 'r', 'd', 1, 1}, "six.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(Write({'b', 'i', 'r', 'd', 1}, "five.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.sub("missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.path().c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(nullptr));
}

TEST_F(BirdFileTest, ShortAndGarbageFilesFailCleanly)
{
    const Bytes full = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C};
    for (size_t n = 0; n <= 6; ++n)
        EXPECT_EQ(LoadError(Bytes(full.begin(), full.begin() + long(n))), "Failed to load bird data") << n;

    LogCapture log(DEBUG_BirdFile);
    Bytes garbage = {'b', 'i', 'r', 'd', 1, 1};
    for (uint8_t byte : BirdBuilder::Counting(200, 0x31)) garbage.push_back(byte);
    EXPECT_EQ(LoadError(garbage), "Failed to load bird data");
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-3) decompressing bird file.\n"), std::string::npos);

    // A stream cut short does not inflate either.
    Bytes cut = TypicalBuild().File();
    cut.resize(cut.size() - 10);
    EXPECT_EQ(LoadError(cut), "Failed to load bird data");

    log.Clear();
    std::string missing = tmp.sub("missing.bird");
    EXPECT_THROW(BirdFile bird(missing), std::runtime_error);
    EXPECT_EQ(log.Text(),
              "BIRDFILE: Loading File [" + missing + "]\nBIRDFILE: BIRD file not found [" + missing + "]\n");
    // A directory is not a file.
    EXPECT_THROW(BirdFile bird(tmp.path()), std::runtime_error);
}

TEST_F(BirdFileTest, InflatesToAtMostEightTimesTheStream)
{
    // Find zero-filled images whose stream is exactly an eighth of them, and
    // one byte over that. Compressed sizes of runs of zeros grow slowly, so
    // both exist among small sizes.
    Bytes exact, over;
    for (size_t n = 16; n < 4096 && (exact.empty() || over.empty()); ++n) {
        Bytes image(n, 0);
        size_t stream = BirdBuilder::Compress(image).size();
        if (exact.empty() && n == 8 * stream) exact = image;
        if (over.empty() && n == 8 * stream + 1) over = image;
    }
    ASSERT_FALSE(exact.empty());
    ASSERT_FALSE(over.empty());

    BirdBuilder b;
    EXPECT_NO_THROW({
        BirdFile bird = Load(b.FileFrom(exact));
        EXPECT_EQ(bird.DataLength(), exact.size());
    });
    LogCapture log(DEBUG_BirdFile);
    EXPECT_EQ(LoadError(b.FileFrom(over)), "Failed to load bird data");
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file.\n"), std::string::npos);
}

TEST_F(BirdFileTest, StructureMismatchesAreLoggedButLoad)
{
    {
        LogCapture log(DEBUG_BirdFile);
        BirdBuilder b;
        b.Firmware(0, {1, 2, 3, 4}).Firmware(0x100, {5, 6}).ReportedCount(3);
        BirdFile bird = Load(b.File());
        EXPECT_EQ(bird.BlockCount(), 2u);
        EXPECT_EQ(bird.ReportedBlockCount(), 3u);
        EXPECT_FALSE(bird.StructureConsistent());
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"),
                  std::string::npos);
        EXPECT_EQ(log.Text().find("mismatch in data size"), std::string::npos);
    }
    {
        // Two stray bytes after the checksum: with six bytes left the scan
        // takes the checksum for a block header, whose length runs past the end.
        LogCapture log(DEBUG_BirdFile);
        BirdBuilder b;
        b.Firmware(0, {1, 2, 3, 4});
        Bytes image = b.Inflated();
        image.push_back(0xEE);
        image.push_back(0xEF);
        BirdFile bird = Load(b.FileFrom(image));
        EXPECT_FALSE(bird.StructureConsistent());
        EXPECT_EQ(bird.BlockCount(), 1u);
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (6 bytes remaining)\n"),
                  std::string::npos);
    }
}

TEST_F(BirdFileTest, HostileBlockDataIsNeverReadOutOfBounds)
{
    {
        // A block claiming 0xFFFFFFFF bytes ends the scan.
        LogCapture log(DEBUG_BirdFile);
        BirdBuilder b;
        b.Firmware(0x100, {9, 9});
        Bytes image = b.Inflated();
        image.resize(image.size() - 4);  // drop the checksum
        for (uint8_t byte : Bytes{0x21, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2, 3}) image.push_back(byte);
        BirdFile bird = Load(b.FileFrom(image));
        EXPECT_EQ(bird.BlockCount(), 1u);
        EXPECT_FALSE(bird.StructureConsistent());
        EXPECT_EQ(bird.FileChecksum(), 0u);
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (8 bytes remaining)\n"),
                  std::string::npos);
    }
    {
        // Two bytes left for the checksum: read as 0, four more consumed than there were.
        LogCapture log(DEBUG_BirdFile);
        BirdBuilder b;
        b.Firmware(0, {1, 2, 3, 4});
        Bytes image = b.Inflated();
        image.resize(image.size() - 2);
        BirdFile bird = Load(b.FileFrom(image));
        EXPECT_EQ(bird.FileChecksum(), 0u);
        EXPECT_NE(log.Text().find("BIRDFILE: Block parsing mismatch in data size. (-2 bytes remaining)\n"),
                  std::string::npos);
    }
    {
        // Too short for even the count.
        BirdBuilder b;
        BirdFile bird = Load(b.FileFrom({0, 0}));
        EXPECT_EQ(bird.BlockCount(), 0u);
        EXPECT_FALSE(bird.StructureConsistent());
        BirdFile empty = Load(b.FileFrom({}));
        EXPECT_EQ(empty.DataLength(), 0u);
        EXPECT_EQ(empty.BlockCount(), 0u);
    }
    {
        // Short serial-offsets, information and code blocks.
        BirdBuilder b;
        b.Raw(2, 0, {0, 0, 0x10}).Raw(4, 0, {'4', '2', ' '}).Raw(1, 0, {0x12, 0x34}).Raw(0, 0, {});
        BirdFile bird = Load(b.File());
        EXPECT_EQ(bird.BlockCount(), 4u);
        EXPECT_TRUE(bird.StructureConsistent());
        EXPECT_FALSE(bird.HasSerialOffsets());
        EXPECT_EQ(bird.SerialNumberOffset(), 0u);
        EXPECT_EQ(bird.GetBuild(), 42u);
        EXPECT_EQ(bird.GetVersion(), "");
        EXPECT_EQ(bird.GetModel(), "");
        EXPECT_EQ(bird.Blocks()[2].address, 0u);
        const uint32_t key[4] = {1, 2, 3, 4};
        bird.DecodeFirmwareBlocks(key);
        EXPECT_TRUE(bird.ReplaceVectorChecksum());
        EXPECT_EQ(bird.Blocks()[2].data[0], 0x12);
        const uint8_t pattern[] = {0x12, 0x34};
        EXPECT_TRUE(bird.ValidateData(pattern, 2));
    }
    {
        // A short offsets block is skipped in favour of a later complete one.
        BirdBuilder b;
        b.Raw(2, 0, {0, 0, 0x10}).SerialOffsets(0x40, 0x80).Firmware(0, BirdBuilder::Counting(0x100));
        BirdFile bird = Load(b.File());
        EXPECT_TRUE(bird.HasSerialOffsets());
        EXPECT_EQ(bird.SerialNumberOffset(), 0x40u);
        EXPECT_EQ(bird.DescriptorOffset(), 0x80u);
    }
}

TEST_F(BirdFileTest, MutatedImagesNeverReadOutOfBounds)
{
    // Random damage to a valid image, scanned from a buffer of exactly its
    // size so the sanitizer sees any read past the end.
    const Bytes good = TypicalBuild().Inflated();
    std::mt19937 rng(12345);
    BirdFile bird;
    for (int round = 0; round < 3000; ++round) {
        Bytes image = good;
        const int edits = 1 + int(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            switch (rng() % 3) {
                case 0:
                    image[rng() % image.size()] = uint8_t(rng());
                    break;
                case 1:
                    image.resize(rng() % (image.size() + 1));
                    break;
                default:
                    image[rng() % image.size()] ^= uint8_t(1u << (rng() % 8));
                    break;
            }
            if (image.empty()) break;
        }
        std::unique_ptr<uint8_t[]> exact(new uint8_t[image.size() + (image.empty() ? 1 : 0)]);
        if (!image.empty()) memcpy(exact.get(), image.data(), image.size());
        bird.ScanBlocks(exact.get(), uint32_t(image.size()));
        bird.FindSerialNumberOffsets();
        for (const BirdBlock& block : bird.Blocks()) {
            ASSERT_GE(block.data, exact.get());
            ASSERT_LE(block.data + block.length, exact.get() + image.size());
        }
        (void)bird.GetBuild();
        (void)bird.GetVersion();
        (void)bird.GetSerialNumber();
        (void)bird.ValidateModel("USBHub3p");
    }
}

TEST_F(BirdFileTest, MovingKeepsBlocksValidAndEmptiesTheSource)
{
    BirdFile loaded = Load(TypicalBuild().File());
    const uint8_t* first = loaded.Blocks()[0].data;

    BirdFile moved(std::move(loaded));
    EXPECT_EQ(moved.Blocks()[0].data, first);
    EXPECT_EQ(moved.GetBuild(), 1234u);
    EXPECT_EQ(loaded.BlockCount(), 0u);  // NOLINT(bugprone-use-after-move): moved-from state is defined
    EXPECT_TRUE(loaded.Blocks().empty());
    EXPECT_EQ(loaded.DataLength(), 0u);
    EXPECT_EQ(loaded.Filename(), "");

    BirdFile target;
    EXPECT_EQ(target.BlockCount(), 0u);
    target = std::move(moved);
    EXPECT_EQ(target.Blocks()[0].data, first);
    EXPECT_TRUE(target.HasSerialOffsets());
    EXPECT_TRUE(target.ReplaceSerialNumber(0x0001ABCD));
    EXPECT_EQ(moved.BlockCount(), 0u);  // NOLINT(bugprone-use-after-move)
    EXPECT_FALSE(moved.HasSerialOffsets());
}

TEST_F(BirdFileTest, DumpPrintsRowsOfFiftyBytes)
{
    BirdBuilder b;
    Bytes data(120);
    for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t('a' + i % 26);
    // Not printable: shown as spaces in the text column.
    data[1] = 0x07;
    data[60] = 0xC8;
    b.Raw(3, 0, data).Raw(3, 1, {'A', 'B'}).Raw(1, 0, {0, 0, 0, 0, 0x55});
    std::string path = Write(b.File());
    BirdFile bird(path);

    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    EXPECT_TRUE(bird.DumpBlocks(BirdFile::BLOCK_TYPE(3), out));
    fclose(out);
    std::string dump(text, size);
    free(text);

    auto row = [&](size_t from, size_t to) {
        std::string hex, chars;
        for (size_t i = from; i < to; ++i) {
            char h[4];
            snprintf(h, sizeof h, "%02X ", data[i]);
            hex += h;
            chars += i == 1 || i == 60 ? ' ' : char(data[i]);
        }
        return std::make_pair(hex, chars);
    };
    auto r0 = row(0, 50), r1 = row(50, 100), r2 = row(100, 120);
    std::string expected = "BIRDFILE: BLOCK DUMP [" + path + "]\n";
    expected += " \r\n000000: " + r0.first + " " + r0.second + "\r\n000050: " + r1.first + " " + r1.second +
                "\r\n000100: " + r2.first + " " + r2.second + "\n";
    expected += " \r\n000000: 41 42  AB\n";
    expected += "\n";
    EXPECT_EQ(dump, expected);
}

class BirdPatchTest : public BirdFileTest {};

TEST_F(BirdPatchTest, SerialWordPatchedOnlyWhenAllFourBytesLieInThePayload)
{
    const Bytes payload = BirdBuilder::Counting(0x100);
    struct Case {
        uint32_t offset;
        bool patched;
    };
    for (Case c : {Case{0x10FC, true}, Case{0x1000, true}, Case{0x10FD, false}, Case{0x0FFC, false},
                   Case{0x1100, false}, Case{0xFFFFFFFE, false}}) {
        BirdBuilder b;
        b.Firmware(0x1000, payload).SerialOffsets(c.offset, 0);
        BirdFile bird = Load(b.File());
        EXPECT_EQ(bird.ReplaceSerialNumber(0x0001ABCD), c.patched) << std::hex << c.offset;
        Bytes expected = payload;
        if (c.patched) {
            const size_t at = c.offset - 0x1000;
            expected[at] = 0xCD;
            expected[at + 1] = 0xAB;
            expected[at + 2] = 0x01;
            expected[at + 3] = 0x00;
        }
        EXPECT_EQ(Payload(bird.Blocks()[0]), expected) << std::hex << c.offset;
        EXPECT_EQ(bird.Blocks()[0].address, 0x1000u);
    }
}

TEST_F(BirdPatchTest, OnlyTheBlockHoldingTheAddressChanges)
{
    LogCapture log(DEBUG_BirdFile);
    const Bytes a = BirdBuilder::Counting(0x400), c = BirdBuilder::Counting(0x400, 0x80);
    BirdBuilder b;
    b.Firmware(0x0000, a).Firmware(0x8000, c).SerialOffsets(0x0200, 0);
    BirdFile bird = Load(b.File());
    EXPECT_TRUE(bird.ReplaceSerialNumber(0x12345678));
    Bytes expected = a;
    expected[0x200] = 0x78;
    expected[0x201] = 0x56;
    expected[0x202] = 0x34;
    expected[0x203] = 0x12;
    EXPECT_EQ(Payload(bird.Blocks()[0]), expected);
    EXPECT_EQ(Payload(bird.Blocks()[1]), c);
    EXPECT_NE(log.Text().find("BIRDFILE: updating serial number from 03020100 ==> 12345678\n"),
              std::string::npos);
}

TEST_F(BirdPatchTest, DescriptorGetsTheTextInItsEvenBytes)
{
    Bytes payload(0x40, 0xEE);
    BirdBuilder b;
    b.Firmware(0x100, payload).SerialOffsets(0x104, 0x110);
    BirdFile bird = Load(b.File());
    EXPECT_TRUE(bird.ReplaceSerialNumber(0x0001ABCD));
    Bytes expected = payload;
    const Bytes word = {0xCD, 0xAB, 0x01, 0x00};
    std::copy(word.begin(), word.end(), expected.begin() + 4);
    const char* text = "0001ABCD";
    for (size_t i = 0; i < 8; ++i) expected[0x10 + 2 * i] = uint8_t(text[i]);
    EXPECT_EQ(Payload(bird.Blocks()[0]), expected);

    // Descriptor alone, ending at the last payload byte.
    BirdBuilder d;
    d.Firmware(0x100, payload).SerialOffsets(0, 0x130);
    BirdFile only = Load(d.File());
    EXPECT_TRUE(only.ReplaceSerialNumber(0xABCDEF01));
    EXPECT_EQ(Payload(only.Blocks()[0])[0x3E], '1');  // the last character at the last even byte
    EXPECT_EQ(Payload(only.Blocks()[0])[0x3F], 0xEE);
}

TEST_F(BirdPatchTest, ReportsFailureUnlessEveryLocationWasWritten)
{
    const Bytes payload(0x40, 0);
    struct Case {
        uint32_t serial_word, descriptor;
        bool result;
    };
    // Zero offsets ask for nothing; any non-zero one outside every firmware
    // block makes the patch incomplete.
    for (Case c : {Case{0, 0x1000, false}, Case{0x1000, 0, false}, Case{0x100, 0x1000, false},
                   Case{0x1000, 0x110, false}, Case{0x100, 0x110, true}, Case{0, 0, false}}) {
        BirdBuilder b;
        b.Firmware(0x100, payload).SerialOffsets(c.serial_word, c.descriptor);
        BirdFile bird = Load(b.File());
        EXPECT_EQ(bird.ReplaceSerialNumber(0x0001ABCD), c.result)
            << std::hex << c.serial_word << " " << c.descriptor;
    }
    // Only a loader holds the address: loaders are never patched.
    BirdBuilder l;
    l.Code(0, 0, 0x100, payload).SerialOffsets(0x100, 0);
    BirdFile loader = Load(l.File());
    EXPECT_FALSE(loader.ReplaceSerialNumber(1));
    EXPECT_EQ(Payload(loader.Blocks()[0]), payload);
}

TEST_F(BirdPatchTest, DecodingRestoresEachBlockAndTouchesNothingElse)
{
    const Bytes p1 = BirdBuilder::Counting(100, 3), p2 = BirdBuilder::Counting(37, 200);
    const Bytes loader = BirdBuilder::Counting(20);
    BirdBuilder b;
    b.Firmware(0x1000, BirdBuilder::Scramble(p1, kKey))
        .Code(0, 0, 0x2000, loader)
        .Firmware(0x3000, BirdBuilder::Scramble(p2, kKey));
    BirdFile bird = Load(b.File());
    const uint8_t next_header = bird.Blocks()[1].data[-5];
    bird.DecodeFirmwareBlocks(kKey);
    EXPECT_EQ(Payload(bird.Blocks()[0]), p1);
    EXPECT_EQ(Payload(bird.Blocks()[2]), p2);
    EXPECT_EQ(Payload(bird.Blocks()[1]), loader);
    EXPECT_EQ(bird.Blocks()[1].data[-5], next_header);
    EXPECT_EQ(bird.Blocks()[0].data[0], 0x00);
    EXPECT_EQ(bird.Blocks()[0].data[1], 0x00);
    EXPECT_EQ(bird.Blocks()[0].data[2], 0x10);
    EXPECT_EQ(bird.Blocks()[0].data[3], 0x00);
    // The checksum after the last block is untouched too.
    EXPECT_EQ(bird.FileChecksum(), 0u);
    const BirdBlock& last = bird.Blocks()[2];
    EXPECT_EQ(Bytes(last.data + last.length, last.data + last.length + 4), Bytes(4, 0));
}

TEST_F(BirdPatchTest, VectorChecksumLeavesWordFiveOutOfTheSum)
{
    LogCapture log(DEBUG_BirdFile);
    auto table = [](uint32_t w5) {
        const uint32_t words[8] = {0x100, 0x200, 0x300, 0x400, 0x500, w5, 0x100, 0x12345678};
        Bytes out;
        for (uint32_t w : words)
            for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
        out.push_back(0xAA);
        return out;
    };
    BirdBuilder b;
    b.Firmware(0, table(0xDEADBEEF)).Firmware(0x4000, table(0)).Firmware(0, Bytes(31, 0x11));
    BirdFile bird = Load(b.File());
    EXPECT_TRUE(bird.ReplaceVectorChecksum());
    Bytes expected = table(0xDEADBEEF);
    expected[28] = 0x00;
    expected[29] = 0xF0;
    expected[30] = 0xFF;
    expected[31] = 0xFF;
    EXPECT_EQ(Payload(bird.Blocks()[0]), expected);
    EXPECT_EQ(Payload(bird.Blocks()[1]), table(0));
    EXPECT_EQ(Payload(bird.Blocks()[2]), Bytes(31, 0x11));
    EXPECT_NE(log.Text().find("BIRDFILE: updating vector checksum from 12345678 ==> FFFFF000\n"),
              std::string::npos);

    BirdFile empty;
    EXPECT_TRUE(empty.ReplaceVectorChecksum());
}

TEST_F(BirdPatchTest, DataPatternSearchCoversTheWholeBlockData)
{
    LogCapture log(DEBUG_BirdFile);
    BirdBuilder b;
    b.Firmware(0x00ABCDEF, {1, 2, 3, 4, 5, 6}).Code(0, 0, 0, {9, 9, 9, 9}).Firmware(0x10, {7, 8});
    BirdFile bird = Load(b.File());
    const uint8_t last[] = {5, 6};
    EXPECT_TRUE(bird.ValidateData(last, 2));
    EXPECT_NE(log.Text().find("Found data at 8\n"), std::string::npos);
    const uint8_t across[] = {0xEF, 1, 2};
    EXPECT_TRUE(bird.ValidateData(across, 3));
    const uint8_t loader_only[] = {9, 9};
    EXPECT_FALSE(bird.ValidateData(loader_only, 2));
    const uint8_t longer[] = {0, 0, 0, 0x10, 7, 8, 0};
    EXPECT_FALSE(bird.ValidateData(longer, 7));
    const uint8_t whole[] = {0, 0, 0, 0x10, 7, 8};
    EXPECT_TRUE(bird.ValidateData(whole, 6));
    EXPECT_FALSE(bird.ValidateData(nullptr, 2));
    EXPECT_FALSE(bird.ValidateData(last, 0));
}

TEST_F(BirdPatchTest, ModelFieldMustBeginWithTheName)
{
    LogCapture log(DEBUG_BirdFile);
    BirdBuilder b;
    b.Info("1", "1.0.0", "00000001", "USBHub3p");
    BirdFile bird = Load(b.File());
    EXPECT_TRUE(bird.ValidateModel("USBHub3p"));
    EXPECT_NE(log.Text().find("Model matches model number ([USBHub3p] == [USBHub3p])\n"), std::string::npos);
    EXPECT_TRUE(bird.ValidateModel("USBHub"));
    EXPECT_TRUE(bird.ValidateModel(""));
    EXPECT_FALSE(bird.ValidateModel("USBHub3p "));
    EXPECT_FALSE(bird.ValidateModel("USBHub3pX"));
    EXPECT_FALSE(bird.ValidateModel("usbhub3p"));
    EXPECT_FALSE(bird.ValidateModel(nullptr));
    EXPECT_TRUE(bird.ValidateSerialNumber(1));
    EXPECT_FALSE(bird.ValidateSerialNumber(2));
}
