#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "base/cstring.h"
#include "support/test_support.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace {

using testing_support::TempFolder;

// Wide text of a UTF-8 test path.
std::wstring W(const std::string& utf8) {
    wchar_t* wide = ToWide(utf8.c_str(), -1, kCodePageUtf8);
    std::wstring text(wide);
    delete[] wide;
    return text;
}

TEST(PlatformFiles, CreateTellsATakenNameFromOtherFailures) {
    TempFolder folder;
    platform::FileHandle file;
    std::wstring name = W(folder.File("a.bin"));
    ASSERT_EQ(platform::CreateForWrite(name.c_str(), false, &file),
              platform::CreateResult::Created);
    platform::Close(file);
    EXPECT_EQ(platform::CreateForWrite(name.c_str(), false, &file), platform::CreateResult::Exists);
    EXPECT_EQ(file, platform::kNoFile);

    // A folder of that name counts as taken too, so a caller moves on to the next name.
    std::wstring self = W(folder.Path());
    EXPECT_EQ(platform::CreateForWrite(self.c_str(), false, &file), platform::CreateResult::Exists);

    std::wstring missing = W(folder.File("no_such_folder") + testing_support::Sep() + "a.bin");
    EXPECT_EQ(platform::CreateForWrite(missing.c_str(), false, &file),
              platform::CreateResult::Failed);
    wchar_t text[256] = L"";
    platform::ErrorText(platform::LastError(), text, 256);
    EXPECT_GT(std::wcslen(text), 0u);
}

TEST(PlatformFiles, SeekSizeTruncateAndDelete) {
    TempFolder folder;
    std::wstring name = W(folder.File("t.bin"));
    platform::FileHandle file;
    ASSERT_EQ(platform::CreateForWrite(name.c_str(), true, &file), platform::CreateResult::Created);
    std::uint32_t done = 0;
    ASSERT_TRUE(platform::Write(file, "0123456789", 10, &done));
    EXPECT_EQ(done, 10u);
    std::uint64_t size = 0, position = 0;
    ASSERT_TRUE(platform::FileSize(file, &size));
    EXPECT_EQ(size, 10u);
    ASSERT_TRUE(platform::Truncate(file, 4));
    ASSERT_TRUE(platform::FileSize(file, &size));
    EXPECT_EQ(size, 4u);
    ASSERT_TRUE(platform::Seek(file, 0, platform::SeekFrom::End, &position));
    EXPECT_EQ(position, 4u);
    platform::Close(file);

    EXPECT_TRUE(platform::PathExists(name.c_str()));
    EXPECT_FALSE(platform::IsFolder(name.c_str()));
    EXPECT_TRUE(platform::IsFolder(W(folder.Path()).c_str()));
    file = platform::OpenForRead(name.c_str());
    ASSERT_NE(file, platform::kNoFile);
    char buffer[8] = {};
    ASSERT_TRUE(platform::Read(file, buffer, 8, &done));
    EXPECT_EQ(std::string(buffer, done), "0123");
    platform::Close(file);
    EXPECT_TRUE(platform::DeleteFilePath(name.c_str()));
    EXPECT_FALSE(platform::PathExists(name.c_str()));
    EXPECT_EQ(platform::OpenForRead(name.c_str()), platform::kNoFile);
}

TEST(PlatformFiles, NamesOutsideAsciiWork) {
    TempFolder folder;
    std::wstring name = W(folder.File("日本語 ü \xF0\x9F\x8E\xB5.bin"));
    platform::FileHandle file;
    ASSERT_EQ(platform::CreateForWrite(name.c_str(), false, &file),
              platform::CreateResult::Created);
    platform::Close(file);
    EXPECT_TRUE(testing_support::FileExists(folder.File("日本語 ü \xF0\x9F\x8E\xB5.bin")));
}

// One file, whatever path names it; another file with the same bytes is another file.
TEST(PlatformFiles, AFileIsKnownByItsIdentityNotItsPath) {
    TempFolder folder;
    testing_support::WriteFileBytes(folder.File("a.wav"), {'a'});
    testing_support::WriteFileBytes(folder.File("b.wav"), {'a'});
    std::error_code error;
    std::filesystem::create_directory(folder.File("x"), error);
    std::filesystem::create_hard_link(folder.File("a.wav"), folder.File("link.wav"), error);
    ASSERT_FALSE(error) << error.message();
    const std::string sep = testing_support::Sep();
    auto id = [](const std::string& path) {
        platform::FileId found;
        EXPECT_TRUE(platform::GetFileId(W(path).c_str(), &found)) << path;
        return found;
    };
    const platform::FileId a = id(folder.File("a.wav"));
    EXPECT_TRUE(id(folder.Path() + sep + "." + sep + "a.wav") == a);
    EXPECT_TRUE(id(folder.File("x") + sep + ".." + sep + "a.wav") == a);
    EXPECT_TRUE(id(folder.File("link.wav")) == a);
    EXPECT_FALSE(id(folder.File("b.wav")) == a);
    platform::FileId none;
    EXPECT_FALSE(platform::GetFileId(W(folder.File("absent.wav")).c_str(), &none));
}

#ifndef _WIN32
// What /dev, /proc and /sys hold is never a source, by whatever path it is reached; /dev/shm
// holds ordinary files.
TEST(PlatformFiles, SystemFoldersAreKnownAsGivenAndResolved) {
    TempFolder folder;
    const std::string devices = folder.File("devices");
    ASSERT_EQ(symlink("/dev", devices.c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", folder.File("null.wav").c_str()), 0);
    const std::pair<std::string, bool> cases[] = {
        {"/dev/stdin", true},
        {"/dev/../dev/./null", true},
        {"/proc/self/fd/0", true},
        {"/sys/kernel", true},
        {devices + "/stdin", true},  // a folder that leads to /dev
        {folder.File("null.wav"), true},
        {"/dev/shm/take.wav", false},
        {"/devices/take.wav", false},
        {folder.File("take.wav"), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(platform::InSystemFolder(W(c.first).c_str()), c.second) << c.first;
    }
}
#endif

TEST(PlatformProcess, ProgramPathNamesThisTestProgram) {
    wchar_t path[4096];
    int length = platform::ProgramPath(path, 4096);
    ASSERT_GT(length, 0);
    EXPECT_EQ(static_cast<int>(std::wcslen(path)), length);
    EXPECT_NE(std::wstring(path).find(L"ratemill_core_tests"), std::wstring::npos);
    EXPECT_TRUE(platform::PathExists(path));
    // A buffer too small gets nothing, never a cut path; the length says what is needed.
    wchar_t small[5] = L"xxxx";
    EXPECT_EQ(platform::ProgramPath(small, 5), length);
    EXPECT_EQ(std::wstring(small), L"xxxx");

    wchar_t folder[4096];
    int folderLength = platform::CurrentFolder(folder, 4096);
    ASSERT_GT(folderLength, 0);
    EXPECT_TRUE(platform::IsFolder(folder));

    // The user's folder for settings is an absolute path, whatever the environment says: a
    // relative one would put the settings in whatever folder the program starts in.
    testing_support::UserConfigFolder relative("config");
    wchar_t user[4096];
    ASSERT_GT(platform::UserConfigFolder(user, 4096), 0);
    EXPECT_TRUE(user[0] == L'/' || user[1] == L':' || user[0] == L'\\')
        << testing_support::Utf8(user);
}

TEST(PlatformFiles, RenameOverTakesTheOldFilesPlace) {
    TempFolder folder;
    testing_support::WriteFileBytes(folder.File("old"), {'o', 'l', 'd'});
    testing_support::WriteFileBytes(folder.File("new"), {'n', 'e', 'w', '!'});
    EXPECT_TRUE(platform::RenameOver(W(folder.File("new")).c_str(), W(folder.File("old")).c_str()));
    EXPECT_EQ(testing_support::ReadFileBytes(folder.File("old")),
              (testing_support::Bytes{'n', 'e', 'w', '!'}));
    EXPECT_FALSE(testing_support::FileExists(folder.File("new")));
    // A folder in the way is not replaced.
    testing_support::WriteFileBytes(folder.File("new"), {'x'});
    EXPECT_FALSE(platform::RenameOver(W(folder.File("new")).c_str(), W(folder.Path()).c_str()));
    EXPECT_TRUE(platform::IsFolder(W(folder.Path()).c_str()));
}

}  // namespace
