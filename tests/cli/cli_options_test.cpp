#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "support/test_support.h"

namespace {

using testing_support::Utf8;

struct Parsed {
    CliCommand command = CliCommand::UsageError;
    CliOptions options;
    CString error;

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const CString& f : options.files) names.push_back(Utf8(f));
        return names;
    }
};

Parsed Parse(const std::vector<std::wstring>& args) {
    std::vector<const wchar_t*> argv{L"ratemill-cli"};
    for (const std::wstring& arg : args) argv.push_back(arg.c_str());
    Parsed p;
    p.command = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &p.options, &p.error);
    return p;
}

// What a parse gave, as one line.
std::string Summary(const Parsed& p) {
    const CliOptions& o = p.options;
    return std::to_string(static_cast<int>(p.command)) + " " + Utf8(p.error) + " rate " +
           std::to_string(o.rate) + (o.rateGiven ? "!" : "") + " channels " +
           std::to_string(o.channels) + (o.channelsGiven ? "!" : "") + " output " +
           Utf8(o.outputFolder) + (o.outputGiven ? "!" : "") + " quality " +
           std::to_string(static_cast<int>(o.quality)) + (o.qualityGiven ? "!" : "") + " format " +
           std::to_string(static_cast<int>(o.format)) + (o.formatGiven ? "!" : "") + " dither " +
           std::to_string(static_cast<int>(o.dither)) + (o.ditherGiven ? "!" : "") + " gain " +
           std::to_string(o.gainDb) + (o.preventClipping ? " prevent" : "") + " phase " +
           std::to_string(static_cast<int>(o.phase)) + (o.phaseGiven ? "!" : "") + " jobs " +
           std::to_string(o.jobs) + (o.verbose ? " verbose" : "") + (o.quiet ? " quiet" : "") +
           (o.showSettings ? " settings" : "") + (o.noMetadata ? " no-metadata" : "") +
           " files-from " + Utf8(o.filesFrom) + (o.nulSeparated ? " nul" : "") + " report " +
           Utf8(o.reportPath) + " name " + Utf8(o.nameTemplate) +
           (o.skipExisting ? " skip-existing" : "") + (o.flat ? " flat" : "");
}

void ExpectUsageError(const std::vector<std::wstring>& args, const char* what) {
    Parsed p = Parse(args);
    EXPECT_EQ(p.command, CliCommand::UsageError) << what;
    EXPECT_GT(p.error.Length(), 0) << what;
}

TEST(CommandLineOptions, DefaultsAreStereo44100BesideTheSources) {
    Parsed p = Parse({L"a.wav", L"-", L"b.wav"});
    ASSERT_EQ(p.command, CliCommand::Convert);
    EXPECT_EQ(p.options.rate, 44100);
    EXPECT_EQ(p.options.channels, 2);
    EXPECT_TRUE(p.options.outputFolder.IsEmpty());
    EXPECT_FALSE(p.options.verbose);
    EXPECT_FALSE(p.options.quiet);
    EXPECT_EQ(p.Files(), (std::vector<std::string>{"a.wav", "-", "b.wav"}));
}

TEST(CommandLineOptions, ShortLongAttachedAndEqualsFormsAreRead) {
    Parsed a = Parse({L"-r", L"48000", L"x.wav", L"-c", L"1", L"-o", L"out dir", L"-v", L"-q"});
    ASSERT_EQ(a.command, CliCommand::Convert);
    EXPECT_EQ(a.options.rate, 48000);
    EXPECT_EQ(a.options.channels, 1);
    EXPECT_EQ(Utf8(a.options.outputFolder), "out dir");
    EXPECT_TRUE(a.options.verbose);
    EXPECT_TRUE(a.options.quiet);
    EXPECT_EQ(a.Files(), std::vector<std::string>{"x.wav"});

    Parsed b = Parse(
        {L"--rate", L"8000", L"--channels=1", L"--output=o", L"--verbose", L"--quiet", L"y.wav"});
    ASSERT_EQ(b.command, CliCommand::Convert);
    EXPECT_EQ(b.options.rate, 8000);
    EXPECT_EQ(b.options.channels, 1);
    EXPECT_EQ(Utf8(b.options.outputFolder), "o");

    Parsed c = Parse({L"-r22050", L"-c2", L"--rate=96000", L"-o", L"-v", L"z.wav"});
    ASSERT_EQ(c.command, CliCommand::Convert);
    EXPECT_EQ(c.options.rate, 96000);  // the last one counts
    EXPECT_EQ(c.options.channels, 2);
    EXPECT_EQ(Utf8(c.options.outputFolder), "-v");  // a value, not an option
    EXPECT_FALSE(c.options.verbose);

    // Every option of the table in each of its forms: the forms of one option read alike, and
    // change what the option is for. A value is attached only to an option that takes one.
    const std::map<std::wstring, std::wstring> values{
        {L"--rate", L"8000"},      {L"--channels", L"1"},          {L"--output", L"o"},
        {L"--jobs", L"3"},         {L"--quality", L"high"},        {L"--bits", L"24"},
        {L"--dither", L"shaped"},  {L"--gain", L"-2.5"},           {L"--phase", L"minimum"},
        {L"--report", L"log.csv"}, {L"--files-from", L"list.txt"}, {L"--name", L"take_{khz}k"}};
    const std::string defaults = Summary(Parse({L"a.wav"}));
    for (int k = 0; k < kCliOptionCount; ++k) {
        const CliOption& option = kCliOptions[k];
        const std::wstring longName = option.longName;
        SCOPED_TRACE(Utf8(option.longName));
        std::vector<std::vector<std::wstring>> forms{{longName}};
        if (option.shortName != nullptr) forms.push_back({option.shortName});
        if (option.valueName != nullptr) {
            ASSERT_EQ(values.count(longName), 1u) << "give the option a value to test with";
            const std::wstring& value = values.at(longName);
            for (auto& form : forms) form.push_back(value);
            forms.push_back({longName + L"=" + value});
            if (option.shortName != nullptr) forms.push_back({option.shortName + value});
        } else {
            ExpectUsageError({longName + L"=1", L"a.wav"}, "a value for a flag");
        }
        for (auto& form : forms) form.push_back(L"a.wav");
        const Parsed parsed = Parse(forms[0]);
        EXPECT_NE(parsed.command, CliCommand::UsageError) << Utf8(parsed.error);
        const std::string first = Summary(parsed);
        EXPECT_NE(first, defaults);
        for (const auto& form : forms) EXPECT_EQ(Summary(Parse(form)), first);
    }
}

TEST(CommandLineOptions, ValuesMustBeInRangeOrAmongTheChoices) {
    EXPECT_EQ(Parse({L"-r", L"1000", L"a.wav"}).options.rate, 1000);
    EXPECT_EQ(Parse({L"--rate=384000", L"a.wav"}).options.rate, 384000);
    EXPECT_EQ(Parse({L"-c", L"1", L"a.wav"}).options.channels, 1);
    ExpectUsageError({L"-r", L"999", L"a.wav"}, "999");
    ExpectUsageError({L"-r", L"384001", L"a.wav"}, "384001");
    ExpectUsageError({L"-r", L"99999999999999999999", L"a.wav"}, "huge");
    ExpectUsageError({L"-r", L"-44100", L"a.wav"}, "negative");
    ExpectUsageError({L"-r", L"44.1k", L"a.wav"}, "not a number");
    ExpectUsageError({L"--rate=", L"a.wav"}, "empty");
    ExpectUsageError({L"-c", L"0", L"a.wav"}, "channels 0");
    ExpectUsageError({L"--channels=3", L"a.wav"}, "channels 3");
    EXPECT_EQ(Parse({L"-Q", L"high", L"-Q", L"standard", L"a.wav"}).options.quality,
              Quality::Standard);
    ExpectUsageError({L"-Q", L"High", L"a.wav"}, "quality High");
    ExpectUsageError({L"--quality=", L"a.wav"}, "quality empty");
    ExpectUsageError({L"--bits", L"32", L"a.wav"}, "bits 32");
    ExpectUsageError({L"--bits=16bit", L"a.wav"}, "bits 16bit");
    ExpectUsageError({L"--phase", L"min", L"a.wav"}, "phase min");
    EXPECT_EQ(Parse({L"--bits", L"32f", L"a.wav"}).options.format, SampleType::Float32);
    ExpectUsageError({L"--dither", L"TPDF", L"a.wav"}, "dither TPDF");
    // Name templates: every field, and literal text around them; an unknown or unclosed field,
    // a separator, a control character or a name that is no file name is refused.
    EXPECT_EQ(Utf8(Parse({L"--name={name}-{rate}-{khz}-{channels}-{bits}-{quality} x", L"a.wav"})
                       .options.nameTemplate),
              "{name}-{rate}-{khz}-{channels}-{bits}-{quality} x");
    for (const wchar_t* bad : {L"", L".", L"..", L"{size}", L"{name", L"{}", L"a/b", L"a\\b",
                               L"a\tb", L"a\x7f", L"a\u0085"}) {
        ExpectUsageError({L"--name", bad, L"a.wav"}, "name template");
    }
    for (const auto& [text, db] : std::vector<std::pair<std::wstring, double>>{
             {L"3", 3}, {L"-2.5", -2.5}, {L"+.5", 0.5}, {L"60", 60}, {L"-60.0", -60}}) {
        EXPECT_EQ(Parse({L"--gain", text, L"a.wav"}).options.gainDb, db) << Utf8(text.c_str());
    }
    for (const wchar_t* bad : {L"60.1", L"-61", L"", L"-", L".", L"1.2.3", L"3dB", L"1e1"}) {
        ExpectUsageError({L"--gain", bad, L"a.wav"}, "gain");
    }
}

TEST(CommandLineOptions, BadCommandLinesAreUsageErrors) {
    ExpectUsageError({L"--frobnicate", L"a.wav"}, "unknown long option");
    ExpectUsageError({L"--rates=8000", L"a.wav"}, "misspelt option");
    ExpectUsageError({L"a.wav", L"-r"}, "missing value");
    ExpectUsageError({L"--output"}, "missing value, no files");
    ExpectUsageError({}, "no arguments");
    ExpectUsageError({L"-r", L"8000", L"-v"}, "no files");
    ExpectUsageError({L"--report", L"-", L"-o", L"-", L"a.wav"}, "two things on standard output");
    ExpectUsageError({L"--report=", L"a.wav"}, "a log without a name");
    // Names may all come from a list; "-" alone is a source (standard input), not an option.
    EXPECT_EQ(Parse({L"--files-from", L"-", L"-0"}).command, CliCommand::Convert);
    EXPECT_EQ(Parse({L"-o", L"-", L"--report", L"log.csv", L"-"}).Files(),
              std::vector<std::string>{"-"});
}

TEST(CommandLineOptions, DoubleDashEndsTheOptions) {
    Parsed p = Parse({L"-c", L"1", L"--", L"-r", L"--help", L"--"});
    ASSERT_EQ(p.command, CliCommand::Convert);
    EXPECT_EQ(p.options.rate, 44100);
    EXPECT_EQ(p.options.channels, 1);
    EXPECT_EQ(p.Files(), (std::vector<std::string>{"-r", "--help", "--"}));
}

TEST(CommandLineOptions, HelpAndVersionNeedNoFiles) {
    EXPECT_EQ(Parse({L"--help"}).command, CliCommand::Help);
    EXPECT_EQ(Parse({L"-h"}).command, CliCommand::Help);
    EXPECT_EQ(Parse({L"a.wav", L"--help", L"b.wav"}).command, CliCommand::Help);
    EXPECT_EQ(Parse({L"--version"}).command, CliCommand::Version);
    EXPECT_EQ(Parse({L"-r", L"8000", L"--version"}).command, CliCommand::Version);
}

// The lines about a file's level: counts grouped by thousands, the peak to one decimal with its
// sign, nothing for a file that neither clipped nor had its gain lowered.
TEST(CommandLineOutput, LevelLinesGroupCountsAndSignThePeak) {
    FileResult r;
    EXPECT_EQ(Utf8(LevelReport(L"a.wav", r)), "");
    r.clipped = 6123;
    r.peakDb = 2.94;
    EXPECT_EQ(Utf8(LevelReport(L"a.wav", r)),
              "ratemill-cli: a.wav: 6,123 samples clipped (peak +2.9 dBFS)\n");
    r.clipped = 1;
    r.peakDb = -0.0001;
    r.gainLoweredDb = 2.94;
    EXPECT_EQ(Utf8(LevelReport(L"a.wav", r)),
              "ratemill-cli: a.wav: gain lowered by 2.9 dB to prevent clipping\n"
              "ratemill-cli: a.wav: 1 sample clipped (peak +0.0 dBFS)\n");
    for (const auto& [count, grouped] : std::vector<std::pair<std::uint64_t, std::string>>{
             {999, "999"}, {1000, "1,000"}, {1234567, "1,234,567"}}) {
        EXPECT_EQ(Utf8(GroupedCount(count)), grouped);
    }
}

// Each name printed keeps to its line and shows as what it is; other text is left alone.
TEST(CommandLineOutput, NamesArePrintedWithMisleadingCharactersEscaped) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"plain \u65e5\u672c \u00e9 \U0001F3B5.wav", "plain 日本 é \xF0\x9F\x8E\xB5.wav"},
        {L"a\nb\tc\rd", "a\\nb\\tc\\rd"},
        {L"\x1b[31m\x7f\x85|", "\\x1b[31m\\x7f\\u0085|"},
        {L"\u202e\u2066\u200f\u2028\u061c", "\\u202e\\u2066\\u200f\\u2028\\u061c"},
#ifdef _WIN32
        // The backslash separates folders here, and a lone surrogate is not text.
        {L"C:\\x1b\\a.wav", "C:\\x1b\\a.wav"},
        {std::wstring(1, static_cast<wchar_t>(0xDC00)) + L"a", "\\udc00a"},
#else
        // A backslash in a name is doubled, so that escapes cannot be made up by names.
        {L"\\x1b", "\\\\x1b"},
        {L"caf\xDCE9.wav", "caf\\xe9.wav"},  // the byte 0xE9, not UTF-8, kept by the codec
#endif
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8(PrintableName(c.first.c_str())), c.second) << c.second;
    }
}

}  // namespace
