#include "aStream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
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

TEST(StreamReadRecord, EndsAtTheTerminatorOrTheMaximumWithoutStoringTheTerminator)
{
    const struct {
        std::string input, terminator;
        size_t max;
        aErr endError;
        std::string record;
        size_t left;
    } cases[] = {
        {"a\rb\nc", "\r\n", 16, aErrNotReady, "ab", 1},  // a partial match is not undone by other bytes
        {std::string("abcd"), std::string(1, '\0'), 3, aErrNotReady, "abc", 1},
        {"tail", "\n", 8, aErrEOF, "tail", 0},  // end of file after stored bytes completes the record
    };
    for (const auto& c : cases) {
        ScriptedStream script;
        aStreamRef stream = script.create();
        script.setEndError(c.endError);
        script.feed(Bytes(c.input.begin(), c.input.end()));
        uint8_t buffer[16] = {};
        size_t length = 99;
        const uint8_t* terminator = reinterpret_cast<const uint8_t*>(c.terminator.data());
        ASSERT_EQ(aErrNone,
                  aStream_ReadRecord(stream, buffer, &length, c.max, terminator, c.terminator.size()))
            << c.input;
        EXPECT_EQ(c.record, std::string(reinterpret_cast<char*>(buffer), length));
        EXPECT_EQ(c.left, script.pendingInput()) << c.input;
        // What is left makes no record: not ready yet, or the end of the file.
        EXPECT_EQ(c.endError,
                  aStream_ReadRecord(stream, buffer, &length, c.max, terminator, c.terminator.size()));
        aStream_Destroy(&stream);
    }
}

TEST_F(StreamTest, CStringsAndCStringRecords)
{
    EXPECT_EQ(aErrNone, aStream_WriteCString(stream_, "hi"));
    EXPECT_EQ(aErrNone, aStream_WriteCStringRecord(stream_, "ab", "\r\n"));
    EXPECT_EQ((Bytes{'h', 'i', 0, 'a', 'b', '\r', '\n', 0}), script_.written());

    script_.feed({'o', 'n', 'e', 0, 't', 'w', 'o', '\r', '\n', 'l', 'o', 'n', 'g', 'e', 'r', 0});
    char text[8];
    ASSERT_EQ(aErrNone, aStream_ReadCString(stream_, text, sizeof(text)));
    EXPECT_STREQ("one", text);
    ASSERT_EQ(aErrNone, aStream_ReadCStringRecord(stream_, text, sizeof(text), "\r\n"));
    EXPECT_STREQ("two", text);
    char small[4];
    ASSERT_EQ(aErrNone, aStream_ReadCString(stream_, small, sizeof(small)));
    EXPECT_STREQ("lon", small) << "at most size - 1 bytes";
}

TEST(FileStream, WriteThenReadAndFlushTheRest)
{
    char path[] = "/tmp/aStreamTestXXXXXX";
    close(mkstemp(path));
    aStreamRef file = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrResource, aStream_CreateFileInput("/nonexistent/in.bin", &file));
    EXPECT_EQ(nullptr, file);
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
    EXPECT_EQ(aErrEOF, aStream_Read(file, &first, 1));
    sink.feed({1});
    sink.setWriteError(aErrWrite);
    EXPECT_EQ(aErrWrite, aStream_Flush(destination, destination)) << "the destination's error";
    aStream_Destroy(&file);
    aStream_Destroy(&destination);
    unlink(path);
}

}  // namespace
