#include "aStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "ScriptedStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class StreamTest : public ::testing::Test {
protected:
    void SetUp() override { stream_ = script_.create(); }
    void TearDown() override
    {
        if (stream_ != nullptr) aStream_Destroy(&stream_);
    }
    ScriptedStream script_;
    aStreamRef stream_ = nullptr;
};

TEST_F(StreamTest, ReadIsAllOrNothingAndPushesBackWhatItTookInOrder)
{
    script_.feed({1, 2, 3});
    uint8_t buffer[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 5));
    EXPECT_EQ(Bytes(5, 0xEE), Bytes(buffer, buffer + 5)) << "a partial read must leave the buffer untouched";
    EXPECT_EQ(0u, script_.pendingInput());
    script_.feed({4});
    ASSERT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 5));  // 1 2 3 4 pushed back again
    script_.feed({5, 6});
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer, 5));
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), Bytes(buffer, buffer + 5));
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer, 1));
    EXPECT_EQ(6, buffer[0]);
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 1));
}

TEST_F(StreamTest, ReadEndOfFileCopiesWhatCameAndOtherErrorsLoseIt)
{
    script_.setEndError(aErrEOF);
    script_.feed({7, 8});
    uint8_t buffer[4] = {0, 0, 0, 0};
    EXPECT_EQ(aErrEOF, aStream_Read(stream_, buffer, 4));
    EXPECT_EQ((Bytes{7, 8, 0, 0}), Bytes(buffer, buffer + 4));

    script_.setEndError(aErrIO);
    script_.feed({9});
    EXPECT_EQ(aErrIO, aStream_Read(stream_, buffer, 2));
    script_.setEndError(aErrNotReady);
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 1))
        << "bytes before an I/O error are not pushed back";
}

TEST_F(StreamTest, PushBackBufferGrowsAndKeepsOrder)
{
    for (int i = 0; i < 1500; i++) ASSERT_EQ(aErrNone, aStreamBufferChar(stream_, static_cast<uint8_t>(i)));
    script_.feed({0xAB});
    std::vector<uint8_t> buffer(1501);
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer.data(), buffer.size()));
    for (int i = 0; i < 1500; i++) ASSERT_EQ(static_cast<uint8_t>(i), buffer[i]) << "at " << i;
    EXPECT_EQ(0xAB, buffer[1500]);
}

TEST(StreamWrite, OneByteGoesThroughPutAndMoreThroughWriteWhenThereAreBoth)
{
    const struct {
        bool put, write;
        size_t count;
        int putCalls, writeCalls;
    } cases[] = {
        {true, true, 1, 1, 0}, {true, true, 3, 0, 1}, {true, false, 3, 3, 0}, {false, true, 1, 0, 1}};
    const uint8_t bytes[] = {1, 2, 3};
    for (const auto& c : cases) {
        ScriptedStream script;
        aStreamRef stream = script.create(true, c.put, c.write);
        EXPECT_EQ(aErrNone, aStream_Write(stream, bytes, c.count));
        EXPECT_EQ(c.putCalls, script.putCalls());
        EXPECT_EQ(c.writeCalls, script.writeCalls());
        EXPECT_EQ(Bytes(bytes, bytes + c.count), script.written());
        aStream_Destroy(&stream);
    }
    // Byte by byte, the first error ends the write.
    ScriptedStream script;
    aStreamRef stream = script.create(true, true, false);
    script.setWriteError(aErrIO);
    EXPECT_EQ(aErrIO, aStream_Write(stream, bytes, 3));
    EXPECT_EQ(1, script.putCalls());
    aStream_Destroy(&stream);
}

// Nothing in the product reads or writes C strings or records: one test of
// their contract (a record ends at its terminator, a string at size - 1).
TEST_F(StreamTest, CStringsAndCStringRecords)
{
    EXPECT_EQ(aErrNone, aStream_WriteCStringRecord(stream_, "ab", "\r\n"));
    EXPECT_EQ((Bytes{'a', 'b', '\r', '\n', 0}), script_.written());

    script_.feed({'t', 'w', 'o', '\r', '\n', 'l', 'o', 'n', 'g', 0});
    char text[8];
    ASSERT_EQ(aErrNone, aStream_ReadCStringRecord(stream_, text, sizeof(text), "\r\n"));
    EXPECT_STREQ("two", text);
    ASSERT_EQ(aErrNone, aStream_ReadCString(stream_, text, 4));
    EXPECT_STREQ("lon", text) << "at most size - 1 bytes";
}

TEST(FileStream, WriteThenFlushTheRest)
{
    char path[] = "/tmp/aStreamTestXXXXXX";
    close(mkstemp(path));
    aStreamRef file = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateFileOutput(path, &file));
    const Bytes bytes = {0x01, 0x00, 0xFF, 'r', 'e', 's', 't'};
    ASSERT_EQ(aErrNone, aStream_Write(file, bytes.data(), bytes.size()));
    aStream_Destroy(&file);
    ASSERT_EQ(aErrNone, aStream_CreateFileInput(path, &file));
    uint8_t first = 0;
    ASSERT_EQ(aErrNone, aStream_Read(file, &first, 1));
    ScriptedStream sink;
    aStreamRef destination = sink.create();
    EXPECT_EQ(aErrNone, aStream_Flush(file, destination));
    EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.end()), sink.written());
    aStream_Destroy(&file);
    aStream_Destroy(&destination);
    unlink(path);
}

}  // namespace
