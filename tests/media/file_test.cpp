#include "media/file.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "support/test_support.h"

using namespace testing_support;

namespace {

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(FileCreate, OnlyATakenNameGivesMinusTwo) {
    TempFolder folder;
    const std::string path = folder.File("taken.bin");
    const std::string inMissingFolder = folder.File("missing") + Sep() + "out.bin";
    WriteFileBytes(path, Text("keep me"));

    CFile file;
    EXPECT_EQ(file.CreateForWrite(Str(path), false), -2);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ReadFileBytes(path), Text("keep me"));
    // A folder of that name is taken too; the caller may try another name.
    EXPECT_EQ(file.CreateForWrite(Str(folder.Path()), false), -2);

    EXPECT_EQ(file.CreateForWrite(Str(inMissingFolder), false), -1);
    EXPECT_EQ(file.CreateForWrite(Str(inMissingFolder), true), -1);
    EXPECT_EQ(file.CreateForWrite(L"", false), -1);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(FileExists(inMissingFolder));

    // With overwrite the existing file is truncated.
    EXPECT_EQ(file.CreateForWrite(Str(path), true), 0);
    EXPECT_TRUE(file.IsWriting());
    file.Close();
    EXPECT_EQ(FileSizeOf(path), 0u);
}

TEST(FileOpen, ASecondOpenFailsAndTheFirstFileStaysUsable) {
    TempFolder folder;
    const std::string first = folder.File("first.bin");
    const std::string second = folder.File("second.bin");
    WriteFileBytes(first, Text("first"));
    WriteFileBytes(second, Text("second"));
    WriteFileBytes(folder.File("empty.bin"), {});

    CFile file;
    EXPECT_EQ(file.OpenForRead(Str(folder.File("absent.bin"))), 0);
    ASSERT_EQ(file.OpenForRead(Str(folder.File("empty.bin"))), 1);
    EXPECT_TRUE(file.IsEnd());
    file.Close();

    ASSERT_EQ(file.OpenForRead(Str(first)), 1);
    EXPECT_EQ(file.OpenForRead(Str(second)), 0);
    EXPECT_EQ(file.CreateForWrite(Str(folder.File("third.bin")), true), -1);
    EXPECT_FALSE(FileExists(folder.File("third.bin")));
    EXPECT_EQ(Utf8(file.Name()), first);
    EXPECT_EQ(file.Size(), 5u);
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 5u);
    EXPECT_EQ(std::string(buffer, 5), "first");
    EXPECT_TRUE(file.IsEnd());

    // Close makes the object reusable.
    file.Close();
    ASSERT_EQ(file.OpenForRead(Str(second)), 1);
    EXPECT_EQ(file.Read(buffer, 3, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "ond");
}

TEST(FileWrite, WritesAtAnOffsetKeepTheSizeAndTheAppendPosition) {
    TempFolder folder;
    const std::string path = folder.File("data.bin");
    CFile file;
    ASSERT_EQ(file.CreateForWrite(Str(path), false), 0);
    EXPECT_EQ(file.Write("0123456789", 10), 10u);
    EXPECT_EQ(file.Write("abcd", 4, 2), 4u);
    EXPECT_EQ(file.Size(), 10u);
    EXPECT_EQ(file.Write("XY", 2), 2u);
    EXPECT_EQ(file.Size(), 12u);
    EXPECT_EQ(file.Flush(), 1);
    file.Close();
    EXPECT_EQ(file.Flush(), 0);

    EXPECT_EQ(ReadFileBytes(path), Text("01abcd6789XY"));

#ifndef _WIN32
    // A flush the system refuses is reported: the file's descriptor is turned into a pipe's,
    // which cannot be synced.
    ASSERT_EQ(file.CreateForWrite(Str(path), true), 0);
    struct stat created;
    ASSERT_EQ(stat(path.c_str(), &created), 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    for (int fd = 3; fd < 1024; ++fd) {
        struct stat open;
        if (fd != pipeEnds[0] && fd != pipeEnds[1] && fstat(fd, &open) == 0 &&
            open.st_ino == created.st_ino && open.st_dev == created.st_dev) {
            ASSERT_GE(dup2(pipeEnds[1], fd), 0);
        }
    }
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_EQ(file.Flush(), 0);
    EXPECT_NE(file.LastError(), 0);
#endif
}

}  // namespace
