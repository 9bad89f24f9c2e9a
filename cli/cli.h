// ratemill-cli: converts WAV files given on the command line with the conversion engine.
#pragma once

#include <cstdint>
#include <vector>

#include "base/cstring.h"
#include "engine/job/conversion.h"
#include "engine/standard/sinc_resampler.h"

constexpr int kCliMinRate = 1000;
constexpr int kCliMaxRate = 384000;
constexpr int kCliMaxJobs = 64;
constexpr double kCliMinGainDb = -60.0;
constexpr double kCliMaxGainDb = 60.0;

// Exit codes.
constexpr int kExitConverted = 0;  // every file converted
constexpr int kExitFailed = 1;     // some file was rejected or failed
constexpr int kExitUsage = 2;      // bad command line
// Stopped: 128 + the number of the signal that stopped the batch (on Windows the same values
// for the console's events), 130 for Ctrl-C.
constexpr int kExitStopped = 130;

struct CliOptions {
    int rate = 44100;
    int channels = 2;
    CString outputFolder;  // empty: beside each source
    Quality quality = Quality::Standard;
    // Which of the four were given; the others come from the settings file.
    bool rateGiven = false;
    bool channelsGiven = false;
    bool outputGiven = false;
    bool qualityGiven = false;
    // The output's samples (24 bits and floats only with the high quality) and their dither;
    // when not given, the stored ones.
    SampleType format = SampleType::Int16;
    bool formatGiven = false;
    Dither dither = Dither::Tpdf;
    bool ditherGiven = false;
    double gainDb = 0.0;  // kCliMinGainDb to kCliMaxGainDb
    bool preventClipping = false;
    FilterPhase phase = FilterPhase::Linear;  // the high quality's filter
    bool phaseGiven = false;
    bool flat = false;          // --flat: the files found in folders without their subfolders
    bool noMetadata = false;    // --no-metadata: outputs without the sources' metadata
    CString reportPath;         // --report: the results log ("-": standard output), or empty
    CString filesFrom;          // --files-from: a list of more sources ("-": standard input)
    bool nulSeparated = false;  // -0: the list's names end with NUL bytes
    CString nameTemplate;       // --name: the outputs' names ("" the sources' names)
    bool skipExisting = false;  // --skip-existing: a file whose output is there is skipped
    int jobs = 0;               // files converted at once; 0: one per processor core
    bool showSettings = false;
    bool verbose = false;
    bool quiet = false;
    std::vector<CString> files;
};

enum class CliCommand { Convert, Help, Version, Settings, UsageError };

// One command-line option: its names, the value it takes and its line in the help, and what it
// does. The parser and the "Options:" part of the help are both made from kCliOptions.
struct CliOption {
    const wchar_t* shortName;  // "-r", or null when there is only the long name
    const wchar_t* longName;   // "--rate"
    const wchar_t* valueName;  // "HZ", or null when the option takes no value
    const wchar_t* help;
    // Records the option (value: its value, null for an option without one) and checks the
    // value. Convert to go on, Help or Version to end the parsing there, UsageError with *error
    // saying what is wrong.
    CliCommand (*apply)(const wchar_t* value, CliOptions* options, CString* error);
};

// In the order the help lists them. A value is given as "-r 48000", "-r48000", "--rate 48000"
// or "--rate=48000"; an option without a value only by its names.
extern const CliOption kCliOptions[];
extern const int kCliOptionCount;

// Reads the arguments (argv[0] is the program). On a usage error, *error says what is wrong.
CliCommand ParseCommandLine(int argc, const wchar_t* const* argv, CliOptions* options,
                            CString* error);

// The values to use when the command line gives none: the stored ones when they lie within the
// command line's ranges, else the defaults.
int StoredRate(int stored);
int StoredChannels(int stored);

// A count with its thousands separated by commas ("6,123").
CString GroupedCount(std::uint64_t count);
// What the command line prints on standard error about a file's level (each line ending in
// "\n", empty when there is nothing to say): "name.wav: gain lowered by 2.9 dB to prevent
// clipping", "name.wav: 6,123 samples clipped (peak +2.9 dBFS)".
CString LevelReport(const wchar_t* name, const FileResult& result);

// A name as the command line prints it: each control character (C0, DEL, C1), line or
// paragraph separator and bidirectional mark or override escaped ("\n", "\t", "\x1b",
// "\u202e"), so that no name breaks its line or shows as another. On POSIX a byte that is not
// UTF-8 is shown as "\xe9" and a backslash as "\\"; on Windows, where a backslash separates
// folders, it stays as it is, and a lone surrogate shows as "\udc00".
CString PrintableName(const wchar_t* text);
CString PrintableName(const CString& text);

// Runs the whole program and returns its exit code. Each conversion thread of the standard
// quality gets a resampler from makeResampler (the program's own by default); the high quality
// always uses the high-quality resampler.
int RunCommandLine(int argc, const wchar_t* const* argv,
                   ResamplerFactory makeResampler = MakeSincResampler);

// The same with the arguments as UTF-8 bytes (the POSIX entry point).
int RunCommandLineUtf8(int argc, char** argv, ResamplerFactory makeResampler = MakeSincResampler);
