#include "base/format.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "support/test_support.h"

namespace {

using testing_support::Utf8;

// Formats into a large buffer and returns the text, checking the returned count against it.
template <typename... Args>
std::wstring Fmt(const wchar_t* format, Args... args) {
    wchar_t buffer[256];
    int n = FormatText(buffer, format, args...);
    EXPECT_EQ(n, static_cast<int>(std::wstring(buffer).size())) << "format " << Utf8(format);
    return buffer;
}

TEST(FormatText, StringsAreWideOnEveryPlatform) {
    EXPECT_EQ(Fmt(L"Not WAV file : %s\n", L"C:\\a.wav"), L"Not WAV file : C:\\a.wav\n");
    EXPECT_EQ(Fmt(L"[%s]", L"\u65E5\u672C"), L"[\u65E5\u672C]");
    EXPECT_EQ(Fmt(L"[%hs]", "\xE6\x97\xA5"), L"[\u65E5]");
    EXPECT_EQ(Fmt(L"[%s]", static_cast<const wchar_t*>(nullptr)), L"[]");
    EXPECT_EQ(Fmt(L"[%5s|%-5s|%.2s]", L"ab", L"cd", L"efgh"), L"[   ab|cd   |ef]");
    EXPECT_EQ(Fmt(L"%c%c", L'x', L'\u00E9'), L"x\u00E9");
    EXPECT_EQ(Fmt(L"100%%"), L"100%");
}

TEST(FormatText, IntegersWithFlagsWidthAndPrecision) {
    EXPECT_EQ(Fmt(L"%d", 44100), L"44100");
    EXPECT_EQ(Fmt(L"%d %i", INT_MIN, INT_MAX), L"-2147483648 2147483647");
    EXPECT_EQ(Fmt(L"%u %x %X", 4294967295u, 255u, 0xBEEFu), L"4294967295 ff BEEF");
    EXPECT_EQ(Fmt(L"%#x %#x", 255u, 0u), L"0xff 0");
    EXPECT_EQ(Fmt(L"[%5d|%-5d|%05d]", 42, 42, -42), L"[   42|42   |-0042]");
    EXPECT_EQ(Fmt(L"[%+d|% d|%+d]", 7, 7, -7), L"[+7| 7|-7]");
    EXPECT_EQ(Fmt(L"[%.3d|%08.3d|%.0d]", 5, 42, 0), L"[005|     042|]");
    EXPECT_EQ(Fmt(L"[%*d|%-*d]", 4, 1, 3, 2), L"[   1|2  ]");
    EXPECT_EQ(Fmt(L"%lld", static_cast<long long>(INT64_MIN)), L"-9223372036854775808");
    EXPECT_EQ(Fmt(L"%I64u", static_cast<unsigned long long>(UINT64_MAX)), L"18446744073709551615");
    EXPECT_EQ(Fmt(L"%zu", static_cast<std::size_t>(3000000000u)), L"3000000000");
}

TEST(FormatText, BadFormatsGiveMinusOne) {
    wchar_t buffer[64];
    EXPECT_EQ(FormatText(buffer, L"%q", 1), -1);
    EXPECT_EQ(FormatText(buffer, L"ends with %"), -1);
    EXPECT_EQ(FormatText(buffer, nullptr), -1);
    EXPECT_EQ(FormatTextN(buffer, 64, L"%k"), -1);
}

// Formats into a six-character buffer filled with '#' and returns all of it, the terminator
// shown as '|', so that anything written past the size shows.
template <typename... Args>
std::wstring Bounded(int size, int* result, const wchar_t* format, Args... args) {
    wchar_t buffer[6] = {L'#', L'#', L'#', L'#', L'#', L'#'};
    *result = FormatTextN(buffer, size, format, args...);
    std::wstring all(buffer, 6);
    for (wchar_t& c : all) c = c == 0 ? L'|' : c;
    return all;
}

TEST(FormatTextN, NeverWritesPastTheSizeAndReportsCutting) {
    int n = 0;
    EXPECT_EQ(Bounded(4, &n, L"%s", L"abc"), L"abc|##");
    EXPECT_EQ(n, 3);
    EXPECT_EQ(Bounded(4, &n, L"%d", 12345), L"123|##");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(Bounded(1, &n, L"x"), L"|#####");
    EXPECT_EQ(n, -1);
    EXPECT_EQ(Bounded(0, &n, L"x"), L"######");
    EXPECT_EQ(n, -1);
}

TEST(FormatString, HoldsTextsLongerThanAnyFixedBuffer) {
    std::wstring longText(5000, L'z');
    CString s = FormatString(L"<%s>%d", longText.c_str(), 9);
    EXPECT_EQ(s.Length(), 5003);
    EXPECT_EQ(Utf8(s), "<" + std::string(5000, 'z') + ">9");
    EXPECT_TRUE(FormatString(L"%d Hz", 48000).Equals(L"48000 Hz"));
}

TEST(FormatClock, MinutesAndSecondsOrHoursWholeSecondsRoundedDown) {
    for (auto [seconds, text] : {std::pair<double, const wchar_t*>{-1, L"0:00"},
                                 {5.9, L"0:05"},
                                 {138.2, L"2:18"},
                                 {3599.99, L"59:59"},
                                 {3723, L"1:02:03"},
                                 {90061, L"25:01:01"}}) {
        EXPECT_TRUE(FormatClock(seconds).Equals(text)) << seconds;
    }
}

}  // namespace
