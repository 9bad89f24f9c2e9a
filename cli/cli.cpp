#include "cli/cli.h"

#include <atomic>
#include <cwchar>
#include <memory>
#include <utility>

#include "base/diagnostic.h"
#include "base/filename.h"
#include "base/format.h"
#include "base/version.h"
#include "engine/conversion.h"
#include "media/wave_file.h"
#include "platform/platform.h"
#include "settings/app_parameter.h"

namespace {

constexpr wchar_t kProgram[] = L"ratemill-cli";

constexpr wchar_t kUsage[] =
    L"Usage: ratemill-cli [options] FILE...\n"
    L"Converts PCM WAV files to another sampling frequency and channel count.\n"
    L"Each output is a new 16-bit PCM WAV file named after its source (name.wav, or\n"
    L"name(1).wav, name(2).wav, ... when the name is taken); no file is overwritten.\n"
    L"\n"
    L"Options:\n"
    L"  -r, --rate HZ        target sampling frequency, 1000 to 384000 (default 44100)\n"
    L"  -c, --channels N     target channels, 1 or 2 (default 2)\n"
    L"  -o, --output DIR     output folder (default: beside each source)\n"
    L"  -v, --verbose        print diagnostic lines on standard error\n"
    L"  -q, --quiet          print nothing but errors\n"
    L"      --settings       show where the settings file is looked for and what it holds\n"
    L"  -h, --help           show this help\n"
    L"      --version        show the version\n"
    L"\n"
    L"Without -r, -c or -o the values stored by the window program in its settings file\n"
    L"(ratemill.ini, in the working folder or beside the program) are used, or else the\n"
    L"defaults above; the command line never writes that file.\n"
    L"\n"
    L"Exit status: 0 all files converted, 1 some file failed, 2 usage error,\n"
    L"130 stopped with Ctrl-C (the file being written is kept, shorter).\n";

void Print(platform::Stream stream, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString text = FormatStringV(format, args);
    va_end(args);
    platform::WriteText(stream, text.WideText());
}

int PrintDiagnostic(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString text = FormatStringV(format, args);
    va_end(args);
    platform::WriteText(platform::Stream::Err, text.WideText());
    return text.Length();
}

// Parses a whole decimal number within [low, high].
bool ParseNumber(const wchar_t* text, int low, int high, int* value) {
    if (text == nullptr || *text == 0) return false;
    long long n = 0;
    for (const wchar_t* p = text; *p != 0; ++p) {
        if (*p < L'0' || *p > L'9') return false;
        n = n * 10 + (*p - L'0');
        if (n > high) return false;
    }
    if (n < low) return false;
    *value = static_cast<int>(n);
    return true;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Progress of the batch on standard error, results on standard output.
class CliObserver : public ConversionObserver {
  public:
    CliObserver(std::vector<CString>& names, bool quiet, bool live)
        : m_names(names), m_quiet(quiet), m_live(live) {}

    int Converted() const { return m_converted; }

    void OnBatchBegin(int fileCount) override { m_count = fileCount; }

    void OnFileBegin(int index) override {
        m_index = index;
        m_percent = 0;
        Draw();
    }

    void OnFileProgress(unsigned percent) override {
        if (percent == m_percent) return;
        m_percent = percent;
        Draw();
    }

    void OnFileResult(int index, const FileResult& result) override {
        ClearLine();
        const wchar_t* source = m_names[static_cast<std::size_t>(index)].WideText();
        CString text = DescribeFileResult(result);
        if (IsFailure(result.status)) {
            Print(platform::Stream::Err, L"%s: %s: %s\n", kProgram, source, text.WideText());
            return;
        }
        if (result.status == FileStatus::Converted) ++m_converted;
        if (m_quiet) return;
        if (result.status == FileStatus::Converted) {
            CString out;
            out.AssignString(result.outputPath);
            Print(platform::Stream::Out, L"%s -> %s\n", source, out.WideText());
        } else {
            Print(platform::Stream::Err, L"%s: %s\n", source, text.WideText());
        }
    }

    void OnBatchEnd(bool) override { ClearLine(); }

  private:
    void Draw() {
        if (!m_live) return;
        unsigned batch = static_cast<unsigned>((m_index * 100u + m_percent) /
                                               static_cast<unsigned>(m_count > 0 ? m_count : 1));
        Print(platform::Stream::Err, L"\r\x1b[K[%d/%d] %3u%%  batch %3u%%  %s", m_index + 1,
              m_count, m_percent, batch, m_names[static_cast<std::size_t>(m_index)].WideText());
        m_drawn = true;
    }

    void ClearLine() {
        if (m_drawn) platform::WriteText(platform::Stream::Err, L"\r\x1b[K");
        m_drawn = false;
    }

    std::vector<CString>& m_names;
    bool m_quiet;
    bool m_live;
    bool m_drawn = false;
    int m_count = 0;
    int m_index = 0;
    unsigned m_percent = 0;
    int m_converted = 0;
};

void PrintSettings(CAppParameter& settings) {
    CString inWorkingFolder, besideProgram;
    const wchar_t separator[] = {platform::kPathSeparator, 0};
    for (auto [folder, path] :
         {std::pair<CString*, CString*>{&settings.currentPath, &inWorkingFolder},
          {&settings.appPath, &besideProgram}}) {
        if (folder->Length() == 0) continue;
        path->AssignString(*folder);
        path->Append(separator);
        path->Append(kSettingsFileName);
    }
    auto state = [](CString& path) {
        return path.Length() == 0                      ? L"(folder unknown)"
               : platform::PathExists(path.WideText()) ? L"(found)"
                                                       : L"(not there)";
    };
    const wchar_t* used = settings.settingsPath.WideText();
    Print(platform::Stream::Out, L"Settings file: %s %s\n", used != nullptr ? used : L"(none)",
          used != nullptr && platform::PathExists(used) ? L"(read)"
                                                        : L"(not there: built-in values)");
    Print(platform::Stream::Out, L"  looked for in the working folder: %s %s\n",
          inWorkingFolder.WideText(), state(inWorkingFolder));
    Print(platform::Stream::Out, L"  then beside the program:          %s %s\n",
          besideProgram.WideText(), state(besideProgram));

    const wchar_t* folder = settings.outputPath.WideText();
    Print(platform::Stream::Out, L"Output folder: %s\n",
          folder != nullptr ? folder : L"(none: outputs go beside their sources)");
    const int rate = StoredRate(settings.frequency);
    if (rate == settings.frequency) {
        Print(platform::Stream::Out, L"Frequency:     %d Hz\n", rate);
    } else {
        Print(platform::Stream::Out, L"Frequency:     %d Hz stored, out of range: %d Hz is used\n",
              settings.frequency, rate);
    }
    const int channels = StoredChannels(settings.channels);
    if (channels == settings.channels) {
        Print(platform::Stream::Out, L"Channels:      %d\n", channels);
    } else {
        Print(platform::Stream::Out, L"Channels:      %d stored, out of range: %d is used\n",
              settings.channels, channels);
    }
}

}  // namespace

int StoredRate(int stored) {
    return stored >= kCliMinRate && stored <= kCliMaxRate ? stored : kDefaultFrequency;
}

int StoredChannels(int stored) {
    return stored == 1 || stored == 2 ? stored : kDefaultChannels;
}

CliCommand ParseCommandLine(int argc, const wchar_t* const* argv, CliOptions* options,
                            CString* error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        if (optionsEnded || arg[0] != L'-' || arg[1] == 0) {
            options->files.emplace_back(arg);
            continue;
        }
        if (std::wcscmp(arg, L"--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (std::wcscmp(arg, L"-h") == 0 || std::wcscmp(arg, L"--help") == 0) {
            return CliCommand::Help;
        }
        if (std::wcscmp(arg, L"--version") == 0) return CliCommand::Version;
        if (std::wcscmp(arg, L"--settings") == 0) {
            options->showSettings = true;
            continue;
        }
        if (std::wcscmp(arg, L"-v") == 0 || std::wcscmp(arg, L"--verbose") == 0) {
            options->verbose = true;
            continue;
        }
        if (std::wcscmp(arg, L"-q") == 0 || std::wcscmp(arg, L"--quiet") == 0) {
            options->quiet = true;
            continue;
        }

        // Options with a value: "-r 48000", "-r48000", "--rate 48000", "--rate=48000".
        struct ValueOption {
            const wchar_t* shortName;
            const wchar_t* longName;
        };
        static const ValueOption kValueOptions[] = {
            {L"-r", L"--rate"}, {L"-c", L"--channels"}, {L"-o", L"--output"}};
        const ValueOption* matched = nullptr;
        const wchar_t* value = nullptr;
        for (const ValueOption& option : kValueOptions) {
            std::size_t longLength = std::wcslen(option.longName);
            if (std::wcscmp(arg, option.shortName) == 0 || std::wcscmp(arg, option.longName) == 0) {
                matched = &option;
                if (i + 1 < argc) value = argv[++i];
            } else if (StartsWith(arg, option.longName) && arg[longLength] == L'=') {
                matched = &option;
                value = arg + longLength + 1;
            } else if (StartsWith(arg, option.shortName)) {
                matched = &option;
                value = arg + 2;
            }
            if (matched != nullptr) break;
        }
        if (matched == nullptr) {
            *error = FormatString(L"unknown option '%s'", arg);
            return CliCommand::UsageError;
        }
        if (value == nullptr) {
            *error = FormatString(L"option '%s' needs a value", arg);
            return CliCommand::UsageError;
        }
        if (matched == &kValueOptions[0]) {
            options->rateGiven = true;
            if (!ParseNumber(value, kCliMinRate, kCliMaxRate, &options->rate)) {
                *error = FormatString(L"rate '%s' is not a number from %d to %d Hz", value,
                                      kCliMinRate, kCliMaxRate);
                return CliCommand::UsageError;
            }
        } else if (matched == &kValueOptions[1]) {
            options->channelsGiven = true;
            if (!ParseNumber(value, 1, 2, &options->channels)) {
                *error = FormatString(L"channels '%s' must be 1 or 2", value);
                return CliCommand::UsageError;
            }
        } else {
            options->outputGiven = true;
            options->outputFolder.Assign(value);
        }
    }
    if (options->showSettings) return CliCommand::Settings;
    if (options->files.empty()) {
        *error = FormatString(L"no input files");
        return CliCommand::UsageError;
    }
    return CliCommand::Convert;
}

int RunCommandLine(int argc, const wchar_t* const* argv) {
    CliOptions options;
    CString error;
    switch (ParseCommandLine(argc, argv, &options, &error)) {
        case CliCommand::Help:
            platform::WriteText(platform::Stream::Out, kUsage);
            return kExitConverted;
        case CliCommand::Version:
            Print(platform::Stream::Out, L"%s %s\n", kProgram, kRatemillVersion);
            return kExitConverted;
        case CliCommand::UsageError:
            Print(platform::Stream::Err, L"%s: %s\nTry '%s --help'.\n", kProgram, error.WideText(),
                  kProgram);
            return kExitUsage;
        case CliCommand::Settings:
        case CliCommand::Convert:
            break;
    }

    static std::atomic<int> stopFlag{0};
    platform::CatchInterrupt(&stopFlag);
    if (options.verbose) InstallDiagnosticPrint(PrintDiagnostic);

    // The window program's settings supply what the command line leaves out. It is only read:
    // nothing here saves it.
    CAppParameter settings;
    if (options.showSettings) {
        PrintSettings(settings);
        InstallDiagnosticPrint(nullptr);
        return kExitConverted;
    }
    if (!options.rateGiven) options.rate = StoredRate(settings.frequency);
    if (!options.channelsGiven) options.channels = StoredChannels(settings.channels);
    if (!options.outputGiven) options.outputFolder.AssignString(settings.outputPath);

    // Sources are checked as the window's file list checks them when they are added: a file
    // that does not open as WAV is reported and left out; the others go to the batch.
    std::vector<std::unique_ptr<CFileName>> entries;
    std::vector<const CFileName*> sources;
    std::vector<CString> names;
    int rejected = 0;
    for (CString& file : options.files) {
        CWaveFile probe;
        if (!probe.OpenFile(file)) {
            DiagnosticPrint(L"Not WAV file : %s\n", file.WideText());
            FileResult result;
            result.status = FileStatus::SourceUnreadable;
            result.sourceError = probe.OpenError();
            result.systemError = probe.LastError();
            CString text = DescribeFileResult(result);
            Print(platform::Stream::Err, L"%s: %s: %s\n", kProgram, file.WideText(),
                  text.WideText());
            ++rejected;
            continue;
        }
        auto entry = std::make_unique<CFileName>();
        entry->SetPath(file.Bytes());
        sources.push_back(entry.get());
        entries.push_back(std::move(entry));
        names.emplace_back();
        names.back().AssignString(file);
    }

    const bool live =
        !options.quiet && !options.verbose && platform::IsTerminal(platform::Stream::Err);
    CliObserver observer(names, options.quiet, live);
    int failed = 0;
    bool stopped = RunConversionBatch(sources, options.outputFolder, options.rate, options.channels,
                                      stopFlag, &observer, &failed);
    InstallDiagnosticPrint(nullptr);

    const int total = static_cast<int>(options.files.size());
    if (!options.quiet) {
        Print(platform::Stream::Err, L"%s %d of %d files.\n",
              stopped ? L"Stopped: converted" : L"Converted", observer.Converted(), total);
    }
    if (stopped) return kExitStopped;
    return (failed + rejected) > 0 ? kExitFailed : kExitConverted;
}
