#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "aStream.h"
#include "helpers/ScriptedStream.h"

namespace {

typedef std::vector<uint8_t> Bytes;

class StreamTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        if (stream_ != nullptr) aStream_Destroy(&stream_);
    }
    ScriptedStream script_;
    aStreamRef stream_ = nullptr;
};

TEST_F(StreamTest, ReadIsAllOrNothingAndPushesBackWhatItTook)
{
    stream_ = script_.create();
    script_.feed({0x11, 0x22});
    uint8_t buffer[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 4));
    EXPECT_EQ(Bytes(4, 0xEE), Bytes(buffer, buffer + 4)) << "a partial read must leave the buffer untouched";
    EXPECT_EQ(0u, script_.pendingInput());

    script_.feed({0x33});
    EXPECT_EQ(aErrNone, aStream_Read(stream_, buffer, 2));
    EXPECT_EQ((Bytes{0x11, 0x22}), Bytes(buffer, buffer + 2));
    EXPECT_EQ(aErrNone, aStream_Read(stream_, buffer, 1));
    EXPECT_EQ(0x33, buffer[0]);
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 1));
}

TEST_F(StreamTest, ReadAcrossPushBackAndTransportKeepsOrder)
{
    stream_ = script_.create();
    script_.feed({1, 2, 3});
    uint8_t buffer[5] = {};
    ASSERT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 5));  // 1 2 3 pushed back
    script_.feed({4});
    ASSERT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 5));  // 1 2 3 4 pushed back again
    script_.feed({5, 6});
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer, 5));
    EXPECT_EQ((Bytes{1, 2, 3, 4, 5}), Bytes(buffer, buffer + 5));
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer, 1));
    EXPECT_EQ(6, buffer[0]);
}

TEST_F(StreamTest, ReadEndOfFileCopiesWhatCameAndOtherErrorsLoseIt)
{
    stream_ = script_.create();
    script_.setEndError(aErrEOF);
    script_.feed({7, 8});
    uint8_t buffer[4] = {0, 0, 0, 0};
    EXPECT_EQ(aErrEOF, aStream_Read(stream_, buffer, 4));
    EXPECT_EQ((Bytes{7, 8, 0, 0}), Bytes(buffer, buffer + 4));

    script_.setEndError(aErrIO);
    script_.feed({9});
    EXPECT_EQ(aErrIO, aStream_Read(stream_, buffer, 2));
    script_.setEndError(aErrNotReady);
    EXPECT_EQ(aErrNotReady, aStream_Read(stream_, buffer, 1)) << "bytes before an I/O error are not pushed back";
}

TEST_F(StreamTest, PushBackBufferGrowsAndKeepsOrder)
{
    stream_ = script_.create();
    for (int i = 0; i < 1500; i++) ASSERT_EQ(aErrNone, aStreamBufferChar(stream_, static_cast<uint8_t>(i)));
    script_.feed({0xAB});
    std::vector<uint8_t> buffer(1501);
    ASSERT_EQ(aErrNone, aStream_Read(stream_, buffer.data(), buffer.size()));
    for (int i = 0; i < 1500; i++) ASSERT_EQ(static_cast<uint8_t>(i), buffer[i]) << "at " << i;
    EXPECT_EQ(0xAB, buffer[1500]);
}

TEST_F(StreamTest, WriteUsesPutForOneByteAndWriteForMore)
{
    stream_ = script_.create(true, true, true);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrNone, aStream_Write(stream_, bytes, 1));
    EXPECT_EQ(1, script_.putCalls());
    EXPECT_EQ(0, script_.writeCalls());
    EXPECT_EQ(aErrNone, aStream_Write(stream_, bytes, 3));
    EXPECT_EQ(1, script_.putCalls());
    EXPECT_EQ(1, script_.writeCalls());
    EXPECT_EQ((Bytes{1, 1, 2, 3}), script_.written());
}

TEST_F(StreamTest, WriteWithoutWriteOperationPutsEachByteAndStopsAtTheFirstError)
{
    stream_ = script_.create(true, true, false);
    const uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(aErrNone, aStream_Write(stream_, bytes, 3));
    EXPECT_EQ(3, script_.putCalls());
    script_.setWriteError(aErrIO);
    EXPECT_EQ(aErrIO, aStream_Write(stream_, bytes, 3));
    EXPECT_EQ(4, script_.putCalls());
}

TEST_F(StreamTest, WriteOnlyStreamServesSingleBytesThroughWrite)
{
    stream_ = script_.create(true, false, true);
    const uint8_t byte = 0x5A;
    EXPECT_EQ(aErrNone, aStream_Write(stream_, &byte, 1));
    EXPECT_EQ(1, script_.writeCalls());
    EXPECT_EQ(Bytes{0x5A}, script_.written());
}

TEST_F(StreamTest, MissingOperationsAndBadArguments)
{
    ScriptedStream other;
    aStreamRef noIo = other.create(false, false, false);
    uint8_t byte = 0;
    EXPECT_EQ(aErrMode, aStream_Read(noIo, &byte, 1));
    EXPECT_EQ(aErrMode, aStream_Write(noIo, &byte, 1));
    EXPECT_EQ(aErrMode, aStream_Flush(noIo, noIo));
    stream_ = script_.create();
    EXPECT_EQ(aErrParam, aStream_Write(stream_, nullptr, 1));
    EXPECT_EQ(aErrParam, aStream_Read(nullptr, &byte, 1));
    EXPECT_EQ(aErrNone, aStream_Destroy(&noIo));
    EXPECT_EQ(nullptr, noIo);
    EXPECT_TRUE(other.deleted());
    EXPECT_EQ(aErrParam, aStream_Destroy(&noIo));
}

TEST_F(StreamTest, ReadRecordEndsAtTheTerminatorWithoutStoringIt)
{
    stream_ = script_.create();
    const uint8_t crlf[] = {'\r', '\n'};
    std::string text = "OK\r\nNEXT";
    script_.feed(Bytes(text.begin(), text.end()));
    uint8_t buffer[16] = {};
    size_t length = 99;
    ASSERT_EQ(aErrNone, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), crlf, 2));
    EXPECT_EQ("OK", std::string(reinterpret_cast<char*>(buffer), length));
    EXPECT_EQ(4u, script_.pendingInput());
}

TEST_F(StreamTest, ReadRecordTerminatorMatchIsNotResetByOtherBytes)
{
    stream_ = script_.create();
    const uint8_t crlf[] = {'\r', '\n'};
    std::string text = "a\rb\nc";
    script_.feed(Bytes(text.begin(), text.end()));
    uint8_t buffer[16] = {};
    size_t length = 0;
    ASSERT_EQ(aErrNone, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), crlf, 2));
    EXPECT_EQ("ab", std::string(reinterpret_cast<char*>(buffer), length));
    EXPECT_EQ(1u, script_.pendingInput());
}

TEST_F(StreamTest, ReadRecordStopsAtMaxLength)
{
    stream_ = script_.create();
    const uint8_t nul = 0;
    script_.feed({'a', 'b', 'c', 'd'});
    uint8_t buffer[3] = {};
    size_t length = 0;
    ASSERT_EQ(aErrNone, aStream_ReadRecord(stream_, buffer, &length, 3, &nul, 1));
    EXPECT_EQ(3u, length);
    EXPECT_EQ((Bytes{'a', 'b', 'c'}), Bytes(buffer, buffer + 3));
}

TEST_F(StreamTest, ReadRecordNotReadyPushesStoredBytesBack)
{
    stream_ = script_.create();
    const uint8_t lf = '\n';
    script_.feed({'x', 'y'});
    uint8_t buffer[8] = {};
    size_t length = 0;
    EXPECT_EQ(aErrNotReady, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), &lf, 1));
    script_.feed({'z', '\n'});
    ASSERT_EQ(aErrNone, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), &lf, 1));
    EXPECT_EQ("xyz", std::string(reinterpret_cast<char*>(buffer), length));
}

TEST_F(StreamTest, ReadRecordEndOfFile)
{
    stream_ = script_.create();
    script_.setEndError(aErrEOF);
    const uint8_t lf = '\n';
    script_.feed({'t', 'a', 'i', 'l'});
    uint8_t buffer[8] = {};
    size_t length = 0;
    ASSERT_EQ(aErrNone, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), &lf, 1))
        << "end of file after stored bytes completes the record";
    EXPECT_EQ("tail", std::string(reinterpret_cast<char*>(buffer), length));
    EXPECT_EQ(aErrEOF, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), &lf, 1));
    EXPECT_EQ(aErrParam, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), &lf, 0));
    EXPECT_EQ(aErrParam, aStream_ReadRecord(stream_, buffer, &length, sizeof(buffer), nullptr, 1));
    EXPECT_EQ(aErrParam, aStream_ReadRecord(stream_, nullptr, &length, sizeof(buffer), &lf, 1));
}

TEST_F(StreamTest, CStringsAndCStringRecords)
{
    stream_ = script_.create();
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

TEST_F(StreamTest, FileStreamsAndFlush)
{
    char dir[] = "/tmp/aStreamTestXXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    std::string in = std::string(dir) + "/in.bin";
    std::string out = std::string(dir) + "/out.bin";
    FILE* f = fopen(in.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fwrite("\x01\x00\xFFrest", 1, 7, f);
    fclose(f);

    aStreamRef source = reinterpret_cast<aStreamRef>(1);
    EXPECT_EQ(aErrResource, aStream_CreateFileInput((std::string(dir) + "/missing").c_str(), &source));
    EXPECT_EQ(nullptr, source);
    ASSERT_EQ(aErrNone, aStream_CreateFileInput(in.c_str(), &source));
    aStreamRef destination = nullptr;
    ASSERT_EQ(aErrNone, aStream_CreateFileOutput(out.c_str(), &destination));
    uint8_t first = 0;
    ASSERT_EQ(aErrNone, aStream_Read(source, &first, 1));
    EXPECT_EQ(0x01, first);
    EXPECT_EQ(aErrNone, aStream_Flush(source, destination));
    EXPECT_EQ(aErrEOF, aStream_Read(source, &first, 1));
    EXPECT_EQ(aErrNone, aStream_Destroy(&source));
    EXPECT_EQ(aErrNone, aStream_Destroy(&destination));

    f = fopen(out.c_str(), "rb");
    ASSERT_NE(nullptr, f);
    char got[16] = {};
    size_t n = fread(got, 1, sizeof(got), f);
    fclose(f);
    EXPECT_EQ(std::string("\x00\xFFrest", 6), std::string(got, n));
    unlink(in.c_str());
    unlink(out.c_str());
    rmdir(dir);
}

TEST_F(StreamTest, FlushReturnsSourceAndDestinationErrors)
{
    stream_ = script_.create();
    ScriptedStream sink;
    aStreamRef destination = sink.create();
    script_.feed({1, 2});
    EXPECT_EQ(aErrNotReady, aStream_Flush(stream_, destination));
    EXPECT_EQ((Bytes{1, 2}), sink.written());
    script_.feed({3});
    sink.setWriteError(aErrWrite);
    EXPECT_EQ(aErrWrite, aStream_Flush(stream_, destination));
    aStream_Destroy(&destination);
}

}  // namespace
