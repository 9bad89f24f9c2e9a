#include "base/filename.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace {

using testing_support::Utf8;

// One path and the expected pieces; null means the piece is left unset (no storage), ""
// means set to an empty string.
struct PathCase {
    const char* path;
    const char* folder;
    const char* fileName;
    const char* baseName;
    const char* extension;
};

std::string Show(const CString& piece) {
    return piece.HasStorage() ? "\"" + Utf8(piece) + "\"" : "unset";
}
std::string Show(const char* expected) {
    return expected != nullptr ? "\"" + std::string(expected) + "\"" : "unset";
}

class FileNameSplit : public testing::TestWithParam<PathCase> {};

TEST_P(FileNameSplit, SplitsIntoFolderNameBaseAndExtension) {
    const PathCase& c = GetParam();
    CFileName name;
    EXPECT_EQ(name.SetPath(c.path), 1);
    EXPECT_EQ(Utf8(name.FullPath), c.path);
    EXPECT_EQ(Show(name.Folder), Show(c.folder)) << "Folder";
    EXPECT_EQ(Show(name.FileName), Show(c.fileName)) << "FileName";
    EXPECT_EQ(Show(name.BaseName), Show(c.baseName)) << "BaseName";
    EXPECT_EQ(Show(name.Extension), Show(c.extension)) << "Extension";
}

INSTANTIATE_TEST_SUITE_P(
    Paths, FileNameSplit,
    testing::Values(PathCase{"C:\\music\\take1.wav", "C:\\music", "take1.wav", "take1", "wav"},
                    PathCase{"C:\\take1.wav", "C:", "take1.wav", "take1", "wav"},
                    PathCase{"C:/music/a.wav", "C:/music", "a.wav", "a", "wav"},
                    PathCase{"C:\\my.dir\\readme", "C:\\my.dir", "readme", "readme", nullptr},
                    PathCase{"C:\\dir\\archive.tar.wav", "C:\\dir", "archive.tar.wav",
                             "archive.tar", "wav"},
                    PathCase{"C:\\dir\\.wav", "C:\\dir", ".wav", "", nullptr},
                    PathCase{"C:\\dir\\name.", "C:\\dir", "name.", "name", nullptr},
                    PathCase{"take1.wav", nullptr, nullptr, "take1", "wav"},
                    PathCase{"\\take1.wav", nullptr, nullptr, "take1", "wav"},
                    PathCase{"C:\\dir\\", "C:\\dir", nullptr, nullptr, nullptr},
                    PathCase{"C:\\dir\\ song .wav ", "C:\\dir", "song .wav", "song", "wav"},
                    PathCase{"", nullptr, nullptr, nullptr, nullptr}));

TEST(FileName, NullPathReturnsZeroAndChangesNothing) {
    CFileName name;
    EXPECT_EQ(name.SetPath(static_cast<const char*>(nullptr)), 0);
    EXPECT_EQ(name.SetPath(static_cast<const wchar_t*>(nullptr)), 0);
    EXPECT_FALSE(name.FullPath.HasStorage());
}

// Multibyte names split on the same single-byte separators.
TEST(FileName, WidePathIsSplitInItsStoredForm) {
    CFileName name;
    EXPECT_EQ(name.SetPath(L"C:\\\u97F3\u697D\\\u66F2.wav"), 1);
    EXPECT_STREQ(name.Folder.WideText(), L"C:\\\u97F3\u697D");
    EXPECT_STREQ(name.BaseName.WideText(), L"\u66F2");
    EXPECT_TRUE(name.Extension.Equals(L"wav"));
}

}  // namespace
