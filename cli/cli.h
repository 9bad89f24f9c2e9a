// ratemill-cli: converts WAV files given on the command line with the conversion engine.
#pragma once

#include <vector>

#include "base/cstring.h"
#include "engine/conversion.h"

constexpr int kCliMinRate = 1000;
constexpr int kCliMaxRate = 384000;
constexpr int kCliMaxJobs = 64;

// Exit codes.
constexpr int kExitConverted = 0;  // every file converted
constexpr int kExitFailed = 1;     // some file was rejected or failed
constexpr int kExitUsage = 2;      // bad command line
constexpr int kExitStopped = 130;  // stopped with Ctrl-C

struct CliOptions {
    int rate = 44100;
    int channels = 2;
    CString outputFolder;  // empty: beside each source
    // Which of the three were given; the others come from the settings file.
    bool rateGiven = false;
    bool channelsGiven = false;
    bool outputGiven = false;
    int jobs = 0;  // files converted at once; 0: one per processor core
    bool showSettings = false;
    bool verbose = false;
    bool quiet = false;
    std::vector<CString> files;
};

enum class CliCommand { Convert, Help, Version, Settings, UsageError };

// Reads the arguments (argv[0] is the program). On a usage error, *error says what is wrong.
CliCommand ParseCommandLine(int argc, const wchar_t* const* argv, CliOptions* options,
                            CString* error);

// The values to use when the command line gives none: the stored ones when they lie within the
// command line's ranges, else the defaults.
int StoredRate(int stored);
int StoredChannels(int stored);

// Runs the whole program and returns its exit code. Each conversion thread gets a resampler
// from makeResampler (the program's own by default).
int RunCommandLine(int argc, const wchar_t* const* argv,
                   ResamplerFactory makeResampler = MakeSincResampler);

// The same with the arguments as UTF-8 bytes (the POSIX entry point).
int RunCommandLineUtf8(int argc, char** argv, ResamplerFactory makeResampler = MakeSincResampler);
