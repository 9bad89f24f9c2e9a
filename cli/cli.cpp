#include "cli/cli.h"

#include <atomic>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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
    L"  -j, --jobs N         convert N files at once (default: one per processor core)\n"
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

// Progress of the batch on standard error, results on standard output. Files may be converted
// on several threads at once, so every call takes the lock.
class CliObserver : public ConversionObserver {
  public:
    CliObserver(std::vector<CString>& names, bool quiet, bool live)
        : m_names(names), m_quiet(quiet), m_live(live) {}

    int Converted() const { return m_converted; }

    void OnBatchBegin(int fileCount) override { m_count = fileCount; }

    void OnFileBegin(int index) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_active[index] = 0;
        Draw();
    }

    void OnFileProgressOf(int index, unsigned percent) override {
        std::lock_guard<std::mutex> lock(m_lock);
        unsigned& shown = m_active[index];
        if (shown == percent) return;
        shown = percent;
        Draw();
    }

    void OnFileResult(int index, const FileResult& result) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_active.erase(index);
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

    void OnFileEnd(int filesDone) override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_done = filesDone;
        Draw();
    }

    void OnBatchEnd(bool) override {
        std::lock_guard<std::mutex> lock(m_lock);
        ClearLine();
    }

  private:
    // "[done/count] batch NN%  name NN%  name NN%" on one line, redrawn in place.
    void Draw() {
        if (!m_live) return;
        unsigned sum = static_cast<unsigned>(m_done) * 100u;
        for (const auto& file : m_active) sum += file.second;
        const unsigned batch = sum / static_cast<unsigned>(m_count > 0 ? m_count : 1);
        CString line = FormatString(L"\r\x1b[K[%d/%d] batch %3u%%", m_done, m_count, batch);
        int shown = 0;
        for (const auto& file : m_active) {
            if (++shown > 2) break;
            CString part =
                FormatString(L"  %s %u%%", m_names[static_cast<std::size_t>(file.first)].WideText(),
                             file.second);
            line.AppendString(part);
        }
        platform::WriteText(platform::Stream::Err, line.WideText());
        m_drawn = true;
    }

    void ClearLine() {
        if (m_drawn) platform::WriteText(platform::Stream::Err, L"\r\x1b[K");
        m_drawn = false;
    }

    std::vector<CString>& m_names;
    bool m_quiet;
    bool m_live;
    std::mutex m_lock;
    bool m_drawn = false;
    int m_count = 0;
    int m_done = 0;
    std::map<int, unsigned> m_active;  // files being converted and their percentage
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
            {L"-r", L"--rate"}, {L"-c", L"--channels"}, {L"-o", L"--output"}, {L"-j", L"--jobs"}};
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
        } else if (matched == &kValueOptions[3]) {
            if (!ParseNumber(value, 1, kCliMaxJobs, &options->jobs)) {
                *error =
                    FormatString(L"jobs '%s' must be a number from 1 to %d", value, kCliMaxJobs);
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

int RunCommandLine(int argc, const wchar_t* const* argv, ResamplerFactory makeResampler) {
    CliOptions options;
    CString error;
    switch (ParseCommandLine(argc, argv, &options, &error)) {
        case CliCommand::Help:
            platform::WriteText(platform::Stream::Out, kUsage);
            return kExitConverted;
        case CliCommand::Version:
            Print(platform::Stream::Out, L"%s %s (%hs kernels)\n", kProgram, kRatemillVersion,
                  ResamplerInstructionSet());
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
        entry->SetPath(FullPathOf(file).Bytes());
        sources.push_back(entry.get());
        entries.push_back(std::move(entry));
        names.emplace_back();
        names.back().AssignString(file);
    }

    const bool live =
        !options.quiet && !options.verbose && platform::IsTerminal(platform::Stream::Err);
    CliObserver observer(names, options.quiet, live);
    int failed = 0;
    int jobs = options.jobs;
    if (jobs == 0) {
        const unsigned cores = std::thread::hardware_concurrency();
        jobs = cores == 0 ? 1 : static_cast<int>(cores < kCliMaxJobs ? cores : kCliMaxJobs);
    }
    bool stopped =
        RunParallelConversionBatch(sources, options.outputFolder, options.rate, options.channels,
                                   stopFlag, &observer, jobs, makeResampler, &failed);
    InstallDiagnosticPrint(nullptr);

    const int total = static_cast<int>(options.files.size());
    if (!options.quiet) {
        Print(platform::Stream::Err, L"%s %d of %d files.\n",
              stopped ? L"Stopped: converted" : L"Converted", observer.Converted(), total);
    }
    if (stopped) return kExitStopped;
    return (failed + rejected) > 0 ? kExitFailed : kExitConverted;
}

int RunCommandLineUtf8(int argc, char** argv, ResamplerFactory makeResampler) {
    // Arguments arrive as UTF-8 bytes; the program works on wide text.
    std::vector<std::unique_ptr<wchar_t[]>> owned;
    std::vector<const wchar_t*> wide;
    for (int i = 0; i < argc; ++i) {
        owned.emplace_back(ToWide(argv[i], -1, kCodePageUtf8));
        wide.push_back(owned.back() ? owned.back().get() : L"");
    }
    return RunCommandLine(argc, wide.data(), makeResampler);
}
