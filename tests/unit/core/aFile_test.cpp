// File wrappers: path limits, modes and line reading at the edges.
#include "aFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

class FileTest : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/aFileTestXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
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

TEST_F(FileTest, LongPathsAreRefusedAndMissingFilesNotOpened)
{
    EXPECT_EQ(nullptr, aFile_Open(std::string(4097, 'a').c_str(), aFileModeWriteOnly));

    std::string path = dir_ + "/never";
    EXPECT_EQ(nullptr, aFile_Open(path.c_str(), aFileModeReadOnly));
    EXPECT_EQ(nullptr, aFile_Open(path.c_str(), aFileModeUnknown));
    EXPECT_FALSE(aFile_Exists(path.c_str())) << "an unknown mode touched nothing";
    EXPECT_FALSE(aFile_Exists(dir_.c_str())) << "a directory is not a file";
}

TEST_F(FileTest, ModesGuardReadAndWrite)
{
    std::string path = Write("data", "hello");
    aFileRef* in = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, in);
    size_t count = 99;
    EXPECT_EQ(aErrMode, aFile_Write(in, "x", 1, &count));
    char buf[16];
    EXPECT_EQ(aErrNone, aFile_Read(in, buf, sizeof buf, &count));
    EXPECT_EQ(5u, count);
    EXPECT_EQ(aErrEOF, aFile_Read(in, buf, sizeof buf, &count));
    EXPECT_EQ(aErrNone, aFile_Close(&in));
    EXPECT_EQ(aErrParam, aFile_Close(&in));

    aFileRef* out = aFile_Open(path.c_str(), aFileModeWriteOnly);
    ASSERT_NE(nullptr, out);
    EXPECT_EQ(aErrMode, aFile_Read(out, buf, 1, &count));
    EXPECT_EQ(aErrMode, aFile_ReadLine(out, buf, sizeof buf, nullptr));
    EXPECT_EQ(aErrNone, aFile_Printf(out, "%d-%s", 7, "x"));
    aFile_Close(&out);

    aFileRef* append = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(nullptr, append);
    EXPECT_EQ(aErrNone, aFile_Write(append, "yz", 2, &count));
    aFile_Close(&append);
    in = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_EQ(aErrNone, aFile_Read(in, buf, sizeof buf, &count));
    EXPECT_EQ("7-xyz", std::string(buf, count));
    aFile_Close(&in);
}

TEST_F(FileTest, ReadLineAtTheBufferEdge)
{
    std::string path = Write("lines", "abcdefg\nabcdef\nlast");
    aFileRef* f = aFile_Open(path.c_str(), aFileModeReadOnly);
    ASSERT_NE(nullptr, f);
    char buf[8];
    size_t len = 0;
    // Seven letters and a newline do not fit in 8 bytes with the NUL.
    EXPECT_EQ(aErrOverrun, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(7u, len);
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_STREQ("\n", buf);
    // Six letters and the newline fill it exactly.
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_STREQ("abcdef\n", buf);
    EXPECT_EQ(aErrNone, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_STREQ("last", buf);
    EXPECT_EQ(aErrEOF, aFile_ReadLine(f, buf, sizeof buf, &len));
    EXPECT_EQ(0u, len);
    EXPECT_STREQ("", buf);
    aFile_Close(&f);
}

}  // namespace
