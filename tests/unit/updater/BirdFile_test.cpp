#include "BirdFile.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BirdBuilder.h"
#include "TempDir.h"

using Bytes = BirdBuilder::Bytes;

namespace {

class BirdFileTest : public ::testing::Test {
protected:
    BirdFile Load(const Bytes& bytes)
    {
        WriteBytes(tmp.sub("test.bird"), bytes);
        return BirdFile(tmp.sub("test.bird"));
    }

    bool Loads(const Bytes& bytes)
    {
        try {
            Load(bytes);
        } catch (const std::runtime_error&) {
            return false;
        }
        return true;
    }

    static Bytes Payload(const BirdBlock& block) { return Bytes(block.data + 4, block.data + block.length); }

    TempDir tmp;
};

}  // namespace

// The block scan, the checksum, the patch offsets and a file without an
// information block are checked against an independent reading by the fuzz
// target, on the damaged images of its corpus.
TEST_F(BirdFileTest, InformationFields)
{
    BirdBuilder b;
    b.Info("0000000000012345", "10.20.300-beta.12", "0001abcdEXTRA", "USBHub3p");
    BirdFile bird = Load(b.File());
    // The 16th character of the build and version fields is not used.
    EXPECT_EQ(bird.GetBuild(), 1234u);
    EXPECT_EQ(bird.GetVersion(), "10.20.300-beta.");
    EXPECT_TRUE(bird.ValidateSerialNumber(0x0001ABCD));
    EXPECT_FALSE(bird.ValidateSerialNumber(0x0001ABCE));
    // The model field must begin with the name asked for.
    for (const char* model : {"USBHub3p", "USBHub", ""}) EXPECT_TRUE(bird.ValidateModel(model)) << model;
    for (const char* model : {"USBHub3p ", "USBHub3pX", "usbhub3p"})
        EXPECT_FALSE(bird.ValidateModel(model)) << model;

    BirdBuilder shortInfo;
    shortInfo.Raw(4, 0, {'4', '2', ' '}).Firmware(0, {1, 2, 3, 4});
    BirdFile padded = Load(shortInfo.File());
    EXPECT_EQ(padded.GetBuild(), 42u);
    EXPECT_EQ(padded.GetVersion(), "");
    EXPECT_EQ(padded.GetModel(), "");
}

TEST_F(BirdFileTest, FilesThatDoNotInflateAreRefused)
{
    const Bytes head = {'b', 'i', 'r', 'd', 1, 1, 0x78, 0x9C};
    for (size_t n = 0; n <= 6; ++n) EXPECT_FALSE(Loads(Bytes(head.begin(), head.begin() + long(n)))) << n;
    Bytes garbage = {'b', 'i', 'r', 'd', 1, 1};
    for (uint8_t byte : BirdBuilder::Counting(200, 0x31)) garbage.push_back(byte);
    EXPECT_FALSE(Loads(garbage));
    BirdBuilder whole;
    whole.Firmware(0, BirdBuilder::Counting(200));
    Bytes cut = whole.File();
    cut.resize(cut.size() - 10);
    EXPECT_FALSE(Loads(cut));
    EXPECT_THROW(BirdFile bird(tmp.sub("missing.bird")), std::runtime_error);
    EXPECT_THROW(BirdFile bird(tmp.path()), std::runtime_error);
    // The header rule itself is checked by the fuzz target's regression inputs.
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.sub("missing.bird").c_str()));
    EXPECT_FALSE(BirdFile::VerifyFile(tmp.path().c_str()));
}

TEST_F(BirdFileTest, InflatesToAtMostEightTimesTheStream)
{
    // Zero-filled images whose stream is exactly an eighth of them, and one
    // byte over that: compressed runs of zeros grow slowly, so both exist
    // among small sizes.
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
    EXPECT_EQ(Load(b.FileFrom(exact)).DataLength(), exact.size());
    EXPECT_FALSE(Loads(b.FileFrom(over)));
}

TEST_F(BirdFileTest, SerialWordPatchedOnlyWhereAllFourBytesLieInAFirmwarePayload)
{
    const Bytes a = BirdBuilder::Counting(0x100), c = BirdBuilder::Counting(0x100, 0x80);
    for (uint32_t offset : {0x10FCu, 0x1000u, 0x10FDu, 0x0FFCu, 0x1100u, 0xFFFFFFFEu, 0x80FCu}) {
        SCOPED_TRACE(offset);
        BirdBuilder b;
        b.Firmware(0x1000, a).Firmware(0x8000, c).SerialOffsets(offset, 0);
        BirdFile bird = Load(b.File());
        Bytes want_a = a, want_c = c;
        Bytes* target = offset >= 0x8000 ? &want_c : &want_a;
        const uint32_t base = offset >= 0x8000 ? 0x8000 : 0x1000;
        const bool inside = offset >= base && offset - base + 4 <= 0x100;
        if (inside) std::copy_n(Bytes{0xCD, 0xAB, 0x01, 0x00}.begin(), 4, target->begin() + (offset - base));
        EXPECT_EQ(bird.ReplaceSerialNumber(0x0001ABCD), inside);
        EXPECT_EQ(Payload(bird.Blocks()[0]), want_a);
        EXPECT_EQ(Payload(bird.Blocks()[1]), want_c);
    }
}

TEST_F(BirdFileTest, PatchReportsSuccessOnlyWhenEveryLocationWasWritten)
{
    // Zero offsets ask for nothing; any other one outside every firmware
    // payload (0x100 to 0x140) leaves the patch incomplete.
    const struct {
        uint32_t serial_word, descriptor;
        bool result;
    } rows[] = {
        {0x104, 0x110, true},   {0, 0x130, true},       {0x13C, 0, true},
        {0, 0x131, false},      {0, 0x1000, false},     {0x1000, 0, false},
        {0x100, 0x1000, false}, {0x1000, 0x110, false}, {0, 0, false},
    };
    for (const auto& row : rows) {
        BirdBuilder b;
        b.Firmware(0x100, Bytes(0x40, 0xEE)).SerialOffsets(row.serial_word, row.descriptor);
        BirdFile bird = Load(b.File());
        EXPECT_EQ(bird.ReplaceSerialNumber(0x0001ABCD), row.result)
            << std::hex << row.serial_word << " " << row.descriptor;
        if (&row != rows) continue;
        // The serial word little-endian, the text in the descriptor's even bytes.
        Bytes expected(0x40, 0xEE);
        std::copy_n(Bytes{0xCD, 0xAB, 0x01, 0x00}.begin(), 4, expected.begin() + 4);
        for (size_t i = 0; i < 8; ++i) expected[0x10 + 2 * i] = uint8_t("0001ABCD"[i]);
        EXPECT_EQ(Payload(bird.Blocks()[0]), expected);
    }
    // Only a loader holds the address: loaders are never patched.
    BirdBuilder l;
    l.Code(0, 0, 0x100, Bytes(0x40, 0)).SerialOffsets(0x100, 0);
    BirdFile loader = Load(l.File());
    EXPECT_FALSE(loader.ReplaceSerialNumber(1));
    EXPECT_EQ(Payload(loader.Blocks()[0]), Bytes(0x40, 0));
}
