#include "cli/cli.h"

#include <atomic>
#include <cwchar>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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

// The help is this, the options' lines made from kCliOptions, then kUsageEnd.
constexpr wchar_t kUsageStart[] =
    L"Usage: ratemill-cli [options] FILE...\n"
    L"Converts PCM WAV files to another sampling frequency and channel count.\n"
    L"Each output is a new 16-bit (or 24-bit) PCM WAV file named after its source\n"
    L"(name.wav, or name(1).wav, name(2).wav, ... when the name is taken); no file is\n"
    L"overwritten.\n"
    L"\n"
    L"Options:\n";

constexpr wchar_t kUsageEnd[] =
    L"\n"
    L"Without -r, -c or -o the values stored by the window program in its settings file\n"
    L"(ratemill.ini, in the working folder, beside the program or in the user's settings\n"
    L"folder; see --settings) are used, or else the defaults above, and a line on standard\n"
    L"error (not with -q) names that file. The command line never writes it.\n"
#ifdef _WIN32
    L"\n"
    L"A FILE with * or ? in its name part (after -- as well) stands for the files of its\n"
    L"folder that match it, in the order of their names; when none does, it is kept as it\n"
    L"is and reported as a file that cannot be opened.\n"
#endif
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

// A settings file found in the working folder may have been put there by anyone (a folder
// that came with a download): say which file supplied what the command line left out.
void PrintSettingsUsed(CAppParameter& settings, const CliOptions& options) {
    // A stored standard quality is the default, and not named.
    const bool storedQuality = !options.qualityGiven && settings.quality == 1;
    if (options.quiet || !settings.loaded ||
        (options.rateGiven && options.channelsGiven && options.outputGiven && !storedQuality)) {
        return;
    }
    CString used;
    auto add = [&used](const CString& part) {
        if (used.Length() > 0) used.Append(L", ");
        used.AppendString(part);
    };
    if (!options.outputGiven) {
        CString folder;
        folder.AssignString(options.outputFolder);
        add(folder.Length() == 0 ? CString(L"outputs beside their sources")
                                 : FormatString(L"output folder %s", folder.WideText()));
    }
    if (!options.rateGiven) add(FormatString(L"%d Hz", options.rate));
    if (!options.channelsGiven) {
        add(FormatString(options.channels == 1 ? L"%d channel" : L"%d channels", options.channels));
    }
    if (storedQuality) add(CString(L"high quality"));
    Print(platform::Stream::Err, L"%s: using settings from %s (%s)\n", kProgram,
          settings.settingsPath.WideText(), used.WideText());
}

void PrintSettings(CAppParameter& settings) {
    CString inWorkingFolder, besideProgram, inUserFolder;
    const wchar_t separator[] = {platform::kPathSeparator, 0};
    for (auto [folder, path] :
         {std::pair<CString*, CString*>{&settings.currentPath, &inWorkingFolder},
          {&settings.appPath, &besideProgram}}) {
        if (folder->Length() == 0) continue;
        path->AssignString(*folder);
        path->Append(separator);
        path->Append(kSettingsFileName);
    }
    CCommConfig::UserSettingsFile(inUserFolder);
    // A file that cannot be replaced says why on its own line.
    CString unreplaceable =
        settings.unreplaceableAt < 0
            ? CString()
            : FormatString(L"(found, cannot be replaced: %s)", settings.whyUnreplaceable);
    auto state = [&settings, &unreplaceable](CString& path, int place) {
        return path.Length() == 0                       ? L"(folder unknown)"
               : !platform::PathExists(path.WideText()) ? L"(not there)"
               : settings.unreplaceableAt == place      ? unreplaceable.WideText()
                                                        : L"(found)";
    };
    CString read(L"(read)");
    if (settings.loaded && settings.unreplaceableAt >= 0) {
        // The window program saves where it can, and the next start reads what it saved.
        read = settings.passedOver
                   ? FormatString(
                         L"(read; the file %s cannot be replaced, so the saved copy in "
                         L"the user's folder is used)",
                         settings.unreplaceableAt == 0 ? L"in the working folder"
                                                       : L"beside the program")
                   : CString(
                         L"(read; it cannot be replaced, so the window program saves to the "
                         L"user's folder and reads that file from then on)");
    }
    const wchar_t* used = settings.settingsPath.WideText();
    Print(platform::Stream::Out, L"Settings file: %s %s\n", used != nullptr ? used : L"(none)",
          settings.loaded                                 ? read.WideText()
          : used != nullptr && platform::PathExists(used) ? L"(not readable: built-in values)"
                                                          : L"(not there: built-in values)");
    Print(platform::Stream::Out, L"  looked for in the working folder: %s %s\n",
          inWorkingFolder.WideText(), state(inWorkingFolder, 0));
    Print(platform::Stream::Out, L"  then beside the program:          %s %s\n",
          besideProgram.WideText(), state(besideProgram, 1));
    Print(platform::Stream::Out, L"  then in the user's settings:      %s %s\n",
          inUserFolder.WideText(), state(inUserFolder, 2));

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
    Print(platform::Stream::Out, L"Quality:       %s\n",
          settings.quality == 1 ? L"high" : L"standard");
}

// Replaces each argument with * or ? in its name part (after the last \, / or drive colon) by
// the files of its folder that match it, each with the folder part as the argument gave it. An
// argument that matches no file is kept as it is, and so is one with wildcards in its folder
// part only. Only on Windows do the system's answers make a difference (see MatchingFiles).
void ExpandWildcards(std::vector<CString>* files) {
    std::vector<CString> expanded;
    for (CString& file : *files) {
        const wchar_t* text = file.WideText();
        const std::wstring pattern = text != nullptr ? text : L"";
        const std::size_t last = pattern.find_last_of(L"\\/:");
        const std::size_t folder = last == std::wstring::npos ? 0 : last + 1;
        std::vector<std::wstring> names;
        if (pattern.find_first_of(L"*?", folder) != std::wstring::npos) {
            names = platform::MatchingFiles(pattern.c_str());
        }
        if (names.empty()) {
            expanded.push_back(std::move(file));
            continue;
        }
        for (const std::wstring& name : names) {
            expanded.emplace_back((pattern.substr(0, folder) + name).c_str());
        }
    }
    files->swap(expanded);
}

}  // namespace

int StoredRate(int stored) {
    return stored >= kCliMinRate && stored <= kCliMaxRate ? stored : kDefaultFrequency;
}

int StoredChannels(int stored) {
    return stored == 1 || stored == 2 ? stored : kDefaultChannels;
}

namespace {

// Reads a number option's value into *target, or says what is wrong with it: message has the
// value, then the lowest and highest number allowed.
CliCommand ApplyNumber(const wchar_t* value, int low, int high, int* target, CString* error,
                       const wchar_t* message) {
    if (ParseNumber(value, low, high, target)) return CliCommand::Convert;
    *error = FormatString(message, value, low, high);
    return CliCommand::UsageError;
}

}  // namespace

const CliOption kCliOptions[] = {
    {L"-r", L"--rate", L"HZ", L"target sampling frequency, 1000 to 384000 (default 44100)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->rateGiven = true;
         return ApplyNumber(value, kCliMinRate, kCliMaxRate, &options->rate, error,
                            L"rate '%s' is not a number from %d to %d Hz");
     }},
    {L"-c", L"--channels", L"N", L"target channels, 1 or 2 (default 2)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->channelsGiven = true;
         return ApplyNumber(value, 1, 2, &options->channels, error,
                            L"channels '%s' must be %d or %d");
     }},
    {L"-o", L"--output", L"DIR", L"output folder (default: beside each source)",
     [](const wchar_t* value, CliOptions* options, CString*) {
         options->outputGiven = true;
         options->outputFolder.Assign(value);
         return CliCommand::Convert;
     }},
    {L"-Q", L"--quality", L"MODE", L"standard or high (default: the stored choice, else standard)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->qualityGiven = true;
         if (std::wcscmp(value, L"standard") == 0 || std::wcscmp(value, L"high") == 0) {
             options->quality = value[0] == L'h' ? Quality::High : Quality::Standard;
             return CliCommand::Convert;
         }
         *error = FormatString(L"quality '%s' must be standard or high", value);
         return CliCommand::UsageError;
     }},
    {nullptr, L"--bits", L"N", L"16 or 24 bits per sample (24: high quality only; default 16)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         if (std::wcscmp(value, L"16") == 0 || std::wcscmp(value, L"24") == 0) {
             options->bits = value[0] == L'2' ? 24 : 16;
             return CliCommand::Convert;
         }
         *error = FormatString(L"bits '%s' must be 16 or 24", value);
         return CliCommand::UsageError;
     }},
    {L"-v", L"--verbose", nullptr, L"print diagnostic lines on standard error",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->verbose = true;
         return CliCommand::Convert;
     }},
    {L"-q", L"--quiet", nullptr, L"print nothing but errors",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->quiet = true;
         return CliCommand::Convert;
     }},
    {L"-j", L"--jobs", L"N", L"convert N files at once (default: one per processor core)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         return ApplyNumber(value, 1, kCliMaxJobs, &options->jobs, error,
                            L"jobs '%s' must be a number from %d to %d");
     }},
    {nullptr, L"--settings", nullptr,
     L"show where the settings file is looked for and what it holds",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->showSettings = true;
         return CliCommand::Convert;
     }},
    {L"-h", L"--help", nullptr, L"show this help",
     [](const wchar_t*, CliOptions*, CString*) { return CliCommand::Help; }},
    {nullptr, L"--version", nullptr, L"show the version",
     [](const wchar_t*, CliOptions*, CString*) { return CliCommand::Version; }},
};
const int kCliOptionCount = static_cast<int>(sizeof kCliOptions / sizeof kCliOptions[0]);

namespace {

bool Is(const wchar_t* text, const wchar_t* name) {
    return name != nullptr && std::wcscmp(text, name) == 0;
}

// The option that arg names, with its value when the value is attached ("-r48000",
// "--rate=48000"). Whole names are looked for first, so no name is taken for another's prefix.
const CliOption* FindOption(const wchar_t* arg, const wchar_t** attached) {
    *attached = nullptr;
    for (const CliOption& option : kCliOptions) {
        if (Is(arg, option.shortName) || Is(arg, option.longName)) return &option;
    }
    for (const CliOption& option : kCliOptions) {
        if (option.valueName == nullptr) continue;
        const std::size_t longLength = std::wcslen(option.longName);
        if (StartsWith(arg, option.longName) && arg[longLength] == L'=') {
            *attached = arg + longLength + 1;
            return &option;
        }
        if (option.shortName != nullptr && StartsWith(arg, option.shortName)) {
            *attached = arg + std::wcslen(option.shortName);
            return &option;
        }
    }
    return nullptr;
}

// The help, with a line for each option: "  -r, --rate HZ        target sampling ...".
CString UsageText() {
    CString text(kUsageStart);
    for (const CliOption& option : kCliOptions) {
        CString names(option.longName);
        if (option.valueName != nullptr) {
            names.Append(L" ");
            names.Append(option.valueName);
        }
        CString shortName;
        if (option.shortName != nullptr) shortName = FormatString(L"%s,", option.shortName);
        text.AppendString(
            FormatString(L"  %-4s%-16s %s\n", shortName.WideText(), names.WideText(), option.help));
    }
    text.Append(kUsageEnd);
    return text;
}

}  // namespace

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
        const wchar_t* value = nullptr;
        const CliOption* option = FindOption(arg, &value);
        if (option == nullptr) {
            *error = FormatString(L"unknown option '%s'", arg);
            return CliCommand::UsageError;
        }
        // A value not attached is the next argument, whatever it looks like.
        if (option->valueName != nullptr && value == nullptr) {
            if (i + 1 >= argc) {
                *error = FormatString(L"option '%s' needs a value", arg);
                return CliCommand::UsageError;
            }
            value = argv[++i];
        }
        const CliCommand command = option->apply(value, options, error);
        if (command != CliCommand::Convert) return command;
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
            platform::WriteText(platform::Stream::Out, UsageText().WideText());
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
    ExpandWildcards(&options.files);

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
    if (!options.qualityGiven && settings.quality == 1) options.quality = Quality::High;
    if (options.bits == 24 && options.quality != Quality::High) {
        InstallDiagnosticPrint(nullptr);
        Print(platform::Stream::Err,
              L"%s: --bits 24 needs the high quality (--quality high); the standard quality "
              L"writes 16 bits\nTry '%s --help'.\n",
              kProgram, kProgram);
        return kExitUsage;
    }
    PrintSettingsUsed(settings, options);

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
    ConversionTarget target;
    target.folder = std::move(options.outputFolder);
    target.frequency = options.rate;
    target.channels = options.channels;
    target.quality = options.quality;
    target.bitsPerSample = options.bits;
    const bool stopped =
        RunConversionBatch(sources, target, stopFlag, &observer, jobs, &failed, makeResampler);
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
