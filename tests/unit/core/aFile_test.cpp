// File wrappers: path limits, modes, seeking and line reading at the edges.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include "aFile.h"

namespace {

class FileTest : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/aFileTestXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

    std::string Write(const std::string& name, const std::string& content)
    {
        std::string path = dir_ + "/" + name;
        FILE* f = fopen(path.c_str(), "wb");
        fwrite(content.data(), 1, content.size(), f);
        fclose(f);
        return path;
    }

    std::string dir_;
};

TEST_F(FileTest, PathsLongerThan4096CharactersAreRefused)
{
    std::string longest(4096, 'a');
    std::string too_long(4097, 'a');
    EXPECT_EQ(aFile_Open(too_long.c_str(), aFileModeWriteOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(too_long.c_str()));
    EXPECT_EQ(aFile_Delete(too_long.c_str()), aErrFileNameLength);
    // 4096 characters pass the length check and reach the system.
    EXPECT_EQ(aFile_Delete(longest.c_str()), aErrIO);  // ENAMETOOLONG
}

TEST_F(FileTest, OpenRejectsBadArgumentsAndMissingFiles)
{
    std::string path = dir_ + "/never";
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(path.c_str(), aFileModeUnknown), nullptr);
    EXPECT_FALSE(aFile_Exists(path.c_str()));  // mode 3 touched nothing
    EXPECT_EQ(aFile_Open("", aFileModeReadOnly), nullptr);
    EXPECT_EQ(aFile_Open(nullptr, aFileModeReadOnly), nullptr);
    EXPECT_FALSE(aFile_Exists(dir_.c_str()));  // a directory is not a file
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
}

TEST_F(FileTest, ModesGuardReadAndWrite)
{
    std::string path = Write("data", "hello");
    aFileRef* in = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(in, nullptr);
    size_t count = 99;
    EXPECT_EQ(aFile_Write(in, "x", 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(in, "x"), aErrMode);
    char buf[16];
    EXPECT_EQ(aFile_Read(in, buf, sizeof buf, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(aFile_Read(in, buf, sizeof buf, &count), aErrEOF);
    EXPECT_EQ(aFile_Close(&in), aErrNone);
    EXPECT_EQ(in, nullptr);
    EXPECT_EQ(aFile_Close(&in), aErrParam);

    aFileRef* out = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(aFile_Read(out, buf, 1, &count), aErrMode);
    EXPECT_EQ(aFile_Printf(out, "%d-%s", 7, "x"), aErrNone);
    aFile_Close(&out);

    aFileRef* append = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(append, nullptr);
    size_t pos = 0;
    EXPECT_EQ(aFile_GetPosition(append, &pos), aErrNone);
    EXPECT_EQ(pos, 3u);  // positioned at the end
    EXPECT_EQ(aFile_Write(append, "yz", 2, &count), aErrNone);
    aFile_Close(&append);
    FILE* f = fopen(path.c_str(), "rb");
    char all[16] = {0};
    fread(all, 1, sizeof all - 1, f);
    fclose(f);
    EXPECT_STREQ(all, "7-xyz");
}

TEST_F(FileTest, SeekIsBoundedByTheFile)
{
    std::string path = Write("seek", "0123456789");
    aFileRef* f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    size_t size = 0, pos = 0;
    EXPECT_EQ(aFile_GetSize(f, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(aFile_Seek(f, 4, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 0, aSeekEnd), aErrNone);
    aFile_GetPosition(f, &pos);
    EXPECT_EQ(pos, 10u);
    EXPECT_EQ(aFile_Seek(f, -6, aSeekCurrent), aErrNone);
    EXPECT_EQ(aFile_Seek(f, 1, aSeekEnd), aErrRange);
    EXPECT_EQ(aFile_Seek(f, -1, aSeekStart), aErrRange);
    EXPECT_EQ(aFile_Seek(f, 7, aSeekCurrent), aErrRange);
    aFile_GetPosition(f, &pos);
    EXPECT_EQ(pos, 4u);  // failed seeks leave the position alone
    char c;
    aFile_Read(f, &c, 1, nullptr);
    EXPECT_EQ(c, '4');
    EXPECT_EQ(aFile_GetSize(f, nullptr), aErrParam);
    aFile_Close(&f);
}

TEST_F(FileTest, ReadLineAtTheBufferEdge)
{
    std::string path = Write("lines", "abcdefg\nabcdef\nlast");
    aFileRef* f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(f, nullptr);
    char buf[8];
    size_t len = 0;
    // Seven letters and a newline do not fit in 8 bytes with the NUL.
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrOverrun);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "\n");
    // Six letters and the newline fill it exactly.
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "abcdef\n");
    EXPECT_EQ(len, 7u);
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrNone);
    EXPECT_STREQ(buf, "last");
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, &len), aErrEOF);
    EXPECT_EQ(len, 0u);
    EXPECT_STREQ(buf, "");
    aFile_Close(&f);
}

TEST_F(FileTest, ReadLineNeedsAReadableFile)
{
    std::string path = dir_ + "/w";
    aFileRef* f = aFile_Open(path.c_str(), aFileModeWriteOnly);
    char buf[8];
    EXPECT_EQ(aFile_ReadLine(f, buf, sizeof buf, nullptr), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(f), aErrNone);
    aFile_Close(&f);
    EXPECT_EQ(aFile_ReadLine(nullptr, buf, sizeof buf, nullptr), aErrParam);
}

}  // namespace
