#include "media/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "media/folder_walk.h"
#include "platform/platform.h"
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

// A tree walked: regular files only, each folder's files by name before its subfolders, each
// with the folders between; links followed only inside the tree, a loop entered once, an
// unreadable folder counted and the rest still found, a missing folder not readable.
TEST(WalkFolder, FindsTheTreesFilesInOrderWithTheirSubfolders) {
    TempFolder folder;
    const std::string root = folder.File("tree");
    const std::string s = Sep();
    TempFolder outside;
    WriteFileBytes(outside.File("far.wav"), Text("far"));
    for (const std::string& dir :
         {root, root + s + "b", root + s + "b" + s + "c", root + s + "a", root + s + "empty"}) {
        ASSERT_TRUE(platform::CreateFolder(Str(dir).WideText())) << dir;
    }
    for (const char* file : {"z.wav", "B.wav", "a.txt", "b/one.wav", "b/c/two.wav", "a/x.wav"}) {
        std::string path = root + s + std::string(file);
        std::replace(path.begin(), path.end(), '/', s[0]);
        WriteFileBytes(path, Text(file));
    }
    std::vector<std::string> expected = {"B.wav|",    "a.txt|",      "z.wav|",
                                         "a/x.wav|a", "b/one.wav|b", "b/c/two.wav|b/c"};
#ifndef _WIN32
    // A name that is not UTF-8, links inside and outside, a loop, a FIFO, a closed folder.
    WriteFileBytes(root + "/b/\xe9t\xe9.wav", Text("latin-1"));
    ASSERT_EQ(0, symlink("one.wav", (root + "/b/link.wav").c_str()));
    ASSERT_EQ(0, symlink("../a", (root + "/b/to-a").c_str()));
    ASSERT_EQ(0, symlink(outside.Path().c_str(), (root + "/away").c_str()));
    ASSERT_EQ(0, symlink((outside.File("far.wav")).c_str(), (root + "/far.wav").c_str()));
    ASSERT_EQ(0, symlink("..", (root + "/b/c/up").c_str()));
    ASSERT_EQ(0, symlink("gone.wav", (root + "/dangling.wav").c_str()));
    ASSERT_EQ(0, mkfifo((root + "/pipe.wav").c_str(), 0600));
    ASSERT_TRUE(platform::CreateFolder(Str(root + "/closed").WideText()));
    WriteFileBytes(root + "/closed/hidden.wav", Text("hidden"));
    chmod((root + "/closed").c_str(), 0);
    const bool closedReadable = access((root + "/closed").c_str(), R_OK) == 0;  // root user
    expected = {"B.wav|",
                "a.txt|",
                "z.wav|",
                "a/x.wav|a",
                "b/link.wav|b",
                "b/one.wav|b",
                "b/\xe9t\xe9.wav|b",
                "b/c/two.wav|b/c"};
    if (closedReadable) expected.push_back("closed/hidden.wav|closed");
#endif
    for (std::string& line : expected) std::replace(line.begin(), line.end(), '/', s[0]);

    FolderWalk walk = WalkFolder(Str(root).WideText());
    std::vector<std::string> found;
    for (const WalkedFile& file : walk.files) {
        const std::string path = Utf8(walk.PathOf(file).c_str());
        ASSERT_EQ(root + s, path.substr(0, root.size() + 1));
        found.push_back(path.substr(root.size() + 1) + "|" + Utf8(walk.SubfolderOf(file).c_str()));
    }
    EXPECT_EQ(expected, found);
    EXPECT_TRUE(walk.readable);
#ifndef _WIN32
    chmod((root + "/closed").c_str(), 0700);
    EXPECT_EQ(closedReadable ? 0 : 1, walk.unreadableFolders);
    // b/to-a reaches a/ a second time, c/up the tree itself; away and far.wav leave it.
    EXPECT_EQ(4, walk.linksLeftOut);
#else
    EXPECT_EQ(0, walk.unreadableFolders);
#endif
    EXPECT_FALSE(WalkFolder(Str(root + s + "missing").WideText()).readable);
    std::atomic<int> stop{1};
    EXPECT_TRUE(WalkFolder(Str(root).WideText(), &stop).stopped);
}

}  // namespace
