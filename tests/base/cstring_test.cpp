#include "base/cstring.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>

#include "support/test_support.h"

namespace {

using testing_support::Utf8;

// "Japanese" in kanji, as wide text, UTF-8 and Shift-JIS.
const wchar_t kNihongo[] = L"\u65E5\u672C\u8A9E";
const char kNihongoUtf8[] = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E";
const char kNihongoSjis[] = "\x93\xFA\x96\x7B\x8C\xEA";

std::wstring Wide(const char* bytes, int count, unsigned codePage) {
    std::unique_ptr<wchar_t[]> text(ToWide(bytes, count, codePage));
    return text ? std::wstring(text.get()) : L"<null>";
}

std::string Narrow(const wchar_t* text, int count, unsigned codePage) {
    std::unique_ptr<char[]> bytes(FromWide(text, count, codePage));
    return bytes ? std::string(bytes.get()) : "<null>";
}

std::unique_ptr<CString> Sub(const CString& s, int start, int count) {
    return std::unique_ptr<CString>(s.SubString(start, count));
}

TEST(CStringEquals, TellsTheTwoEmptyFormsApartAndIsCaseSensitive) {
    CString fresh(L"");
    EXPECT_FALSE(fresh.HasStorage());
    EXPECT_TRUE(fresh.Equals(L""));
    EXPECT_TRUE(fresh.Equals(nullptr));
    EXPECT_EQ(fresh.WideText(), nullptr);

    CString blanks(L"\t\r\n");
    blanks.Trim();
    EXPECT_TRUE(blanks.HasStorage());
    EXPECT_EQ(blanks.Length(), 0);
    EXPECT_FALSE(blanks.Equals(L""));
    EXPECT_EQ(blanks.WideText(), nullptr);

    std::unique_ptr<CString> none = Sub(CString(L"abc"), 1, 0);
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(none->HasStorage());
    EXPECT_FALSE(none->Equals(L""));

    CString s(L"Color");
    EXPECT_TRUE(s.Equals(L"Color"));
    EXPECT_FALSE(s.Equals(L"color"));
    EXPECT_FALSE(s.Equals(L"Colo"));
}

TEST(CStringAssign, HonoursCountNulAndClearing) {
    CString s;
    s.Assign(L"abcdef", 3);
    EXPECT_EQ(Utf8(s), "abc");
    s.Assign(L"ab\0cd", 5);
    EXPECT_EQ(Utf8(s), "ab");
    s.Assign(L"abc", 0);
    EXPECT_FALSE(s.HasStorage());
    s.Assign(L"abc");
    s.Assign(nullptr, -1);
    EXPECT_FALSE(s.HasStorage());

    CString source(L"text");
    CString copy;
    copy.AssignString(source);
    source.Assign(L"other");
    EXPECT_EQ(Utf8(copy), "text");
    copy.AssignString(CString());
    EXPECT_FALSE(copy.HasStorage());
}

TEST(CStringAssign, StoresUtf8AndGivesTheWideTextBack) {
    CString s(kNihongo);
    EXPECT_EQ(Utf8(s), kNihongoUtf8);
    EXPECT_STREQ(s.WideText(), kNihongo);

    // A character outside the basic plane is one code point, however wchar_t holds it.
    CString emoji(L"a\U0001F3B5!");
    EXPECT_EQ(Utf8(emoji), "a\xF0\x9F\x8E\xB5!");
    EXPECT_STREQ(emoji.WideText(), L"a\U0001F3B5!");

    // An unpaired surrogate has no UTF-8 form and comes back as the replacement character.
    CString lone(L"a\xD800z");
    EXPECT_STREQ(lone.WideText(), L"a\xFFFDz");
}

TEST(CStringAppend, GrowsByTheAmountsPathBuildingReliesOn) {
    CString assigned;
    assigned.Assign(L"0123456789");
    EXPECT_EQ(assigned.Capacity(), 12);
    CString appended;
    appended.Append(L"0123456789");
    EXPECT_EQ(appended.Capacity(), 267);

    CString many;
    std::string expected;
    for (int i = 0; i < 300; ++i) {
        many.Append(i % 2 == 0 ? L"x" : L"y");
        expected += i % 2 == 0 ? "x" : "y";
        ASSERT_GE(many.Capacity(), many.Length() + 1);
    }
    EXPECT_EQ(Utf8(many), expected);

    // Appending a string to itself must not read storage that growing has freed.
    many.AppendString(CString());
    many.AppendString(many);
    EXPECT_EQ(Utf8(many), expected + expected);
}

TEST(CStringTrim, RemovesBlanksAtBothEndsOnly) {
    CString s(L" a ");
    s.Trim();
    EXPECT_EQ(Utf8(s), "a");
    s.Trim();
    EXPECT_EQ(Utf8(s), "a");
    CString inner(L"\t a b\r\n");
    inner.Trim();
    EXPECT_EQ(Utf8(inner), "a b");
}

TEST(CStringSubString, RejectsOutOfRangeAndCutsTheCount) {
    CString s(L"abcdef");
    EXPECT_EQ(Sub(CString(), 0, 0), nullptr);
    EXPECT_EQ(Sub(s, -1, 2), nullptr);
    EXPECT_EQ(Sub(s, 6, 0), nullptr);
    EXPECT_EQ(Sub(s, 2, -1), nullptr);
    std::unique_ptr<CString> last = Sub(s, 5, 5);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(Utf8(*last), "f");
    EXPECT_EQ(Utf8(*Sub(s, 1, 3)), "bcd");
}

TEST(StringCodePages, Utf8RoundTripsAndInvalidBytesAreReplacedOrKept) {
    EXPECT_EQ(Wide(kNihongoUtf8, -1, kCodePageUtf8), kNihongo);
    EXPECT_EQ(Narrow(kNihongo, -1, kCodePageUtf8), kNihongoUtf8);
    EXPECT_EQ(Wide("abcdef", 3, kCodePageUtf8), L"abc");
    EXPECT_EQ(Narrow(L"abcdef", 3, kCodePageSystem), "abc");
#ifdef _WIN32
    EXPECT_EQ(Wide("a\xFF!", 3, kCodePageUtf8), L"a\xFFFD!");
    EXPECT_EQ(Wide("a\xE6\x97", 3, kCodePageUtf8).substr(0, 2), L"a\xFFFD");
#else
    EXPECT_EQ(Wide(kNihongoUtf8, -1, kCodePageSystem), kNihongo);  // UTF-8 here
    // Each byte that is not valid UTF-8 (cut, overlong, an encoded surrogate) is kept as
    // U+DC00 + byte and written back as itself: a name that is not UTF-8 names the same file.
    EXPECT_EQ(Wide("a\xFF!", 3, kCodePageUtf8), L"a\xDCFF!");
    EXPECT_EQ(Wide("a\xE6\x97", 3, kCodePageUtf8), L"a\xDCE6\xDC97");
    for (const char* bytes :
         {"caf\xE9.wav", "a\xE6\x97", "\xC0\xAF", "\xED\xA0\x80", "\xEF\xBF\xBD\xFF"}) {
        EXPECT_EQ(Narrow(Wide(bytes, -1, kCodePageSystem).c_str(), -1, kCodePageSystem), bytes);
    }
    // Other lone surrogates still have no UTF-8 form.
    EXPECT_EQ(Narrow(L"\xDC7F\xDD00", -1, kCodePageUtf8), "\xEF\xBF\xBD\xEF\xBF\xBD");
#endif

    // The last and first code points of each UTF-8 length (and the last of all), through the
    // conversions and a CString's stored bytes both ways.
    const std::pair<const wchar_t*, const char*> boundaries[] = {
        {L"<\x7F>", "<\x7F>"},
        {L"<\x80>", "<\xC2\x80>"},
        {L"<\x7FF>", "<\xDF\xBF>"},
        {L"<\x800>", "<\xE0\xA0\x80>"},
        {L"<\xFFFF>", "<\xEF\xBF\xBF>"},
        {L"<\U00010000>", "<\xF0\x90\x80\x80>"},
        {L"<\U0010FFFF>", "<\xF4\x8F\xBF\xBF>"}};
    for (const auto& [wide, utf8] : boundaries) {
        SCOPED_TRACE(utf8);
        EXPECT_EQ(Wide(utf8, -1, kCodePageUtf8), wide);
        EXPECT_EQ(Narrow(wide, -1, kCodePageUtf8), utf8);
        CString stored(wide);
        EXPECT_EQ(Utf8(stored), utf8);
        EXPECT_STREQ(testing_support::Str(utf8).WideText(), wide);
    }
}

TEST(StringCodePages, ShiftJisRoundTripsAndUnmappableBecomesQuestionMark) {
    EXPECT_EQ(Wide(kNihongoSjis, 6, kCodePageShiftJis), kNihongo);
    EXPECT_EQ(Narrow(kNihongo, -1, kCodePageShiftJis), kNihongoSjis);
    // The second byte of this kanji is the backslash byte; it still belongs to the kanji.
    EXPECT_EQ(Narrow(L"\u8868\\", -1, kCodePageShiftJis), "\x95\x5C\x5C");
    EXPECT_EQ(Wide("\x95\x5C\x5C", 3, kCodePageShiftJis), L"\u8868\\");
    EXPECT_EQ(Narrow(L"a\uD55Cb", -1, kCodePageShiftJis), "a?b");  // Hangul
}

}  // namespace
