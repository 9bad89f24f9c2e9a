#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
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
#include "cli/streams.h"
#include "engine/job/conversion.h"
#include "engine/job/results_log.h"
#include "media/folder_walk.h"
#include "media/wave_file.h"
#include "platform/platform.h"
#include "settings/app_parameter.h"

namespace {

constexpr wchar_t kProgram[] = L"ratemill-cli";

// The help is this, the options' lines made from kCliOptions, then kUsageEnd.
constexpr wchar_t kUsageStart[] =
    L"Usage: ratemill-cli [options] FILE...\n"
    L"Converts PCM WAV files to another sampling frequency and channel count.\n"
    L"Each output is a new 16-bit (24-bit or float with --bits) PCM WAV file named after\n"
    L"its source (name.wav, or name(1).wav, name(2).wav, ... when the name is taken); no\n"
    L"file is overwritten.\n"
    L"\n"
    L"Options:\n";

constexpr wchar_t kUsageEnd[] =
    L"\n"
    L"Each of -r, -c, -o and -Q that is not given takes the value the window program stored\n"
    L"in its settings file (ratemill.ini, in the working folder, beside the program or in the\n"
    L"user's settings folder; see --settings), or else the default above, and a line on\n"
    L"standard error (not with -q) names that file and the values taken from it. The command\n"
    L"line never writes it. --output= (no folder) puts the outputs beside their sources\n"
    L"whatever folder is stored. The stored sample format and dither are used as well\n"
    L"when --bits and --dither are not given (the format with the high quality only).\n"
    L"\n"
    L"The high quality dithers 16- and 24-bit outputs (tpdf unless --dither says otherwise;\n"
    L"shaped: 44.1 and 48 kHz outputs only, others get tpdf); float outputs, the standard\n"
    L"quality and digital silence are never dithered. A file whose output clipped gets a\n"
    L"line on standard error (not with -q): 'name.wav: 6,123 samples clipped (peak +2.9\n"
    L"dBFS)'. --prevent-clipping reads such a file twice, first to measure its peak, and\n"
    L"lowers its gain so that the peak stays at or below -0.1 dBFS, saying by how much.\n"
    L"\n"
    L"A FILE that is a folder stands for every WAV file below it, its subfolders' too, in\n"
    L"the order of their names (a folder's files before its subfolders); other files there\n"
    L"are skipped and counted on standard error (not with -q): '214 files added, 3\n"
    L"skipped: not WAV files'. With -o each output goes to the subfolder of the output\n"
    L"folder that matches its source's place below the folder given, unless --flat.\n"
    L"\n"
    L"A FILE of - is one WAV stream read from standard input (its output goes to -o's\n"
    L"folder, else to the working folder, as stdin.wav); -o - writes the one source's\n"
    L"output to standard output as a WAV stream. Both pass through a temporary file, so\n"
    L"the header holds the true sizes. The lines about files then go to standard error,\n"
    L"as they do with --report -. --report writes a row for every source given: its\n"
    L"output, status and reason, source and target formats, frames in and out, seconds,\n"
    L"peak dBFS and clipped samples. --files-from adds the names of a list, one a line\n"
    L"(CR LF too; -0: NUL-separated), to those given.\n"
#ifdef _WIN32
    L"\n"
    L"A FILE with * or ? in its name part (after -- as well) stands for the files of its\n"
    L"folder that match it, in the order of their names; when none does, it is kept as it\n"
    L"is and reported as a file that cannot be opened.\n"
#endif
    L"\n"
    L"An output is written as name.partial.wav and takes its name once complete. Running\n"
    L"the same command again after a stop or a crash finishes the batch: a journal in the\n"
    L"output folder (.ratemill-batch-*.journal, removed when the batch is through) tells\n"
    L"what is done and which partial outputs are its own. --name TEMPLATE names outputs\n"
    L"from {name} (the source's), {rate} (48000), {khz} (48, 44.1), {channels}, {bits} (16,\n"
    L"24, 32f) and {quality} (standard, high), numbered as ever; --skip-existing passes over\n"
    L"a file whose first output name holds its complete output (same format and length).\n"
    L"\n"
    L"Each file gets one line: 'source -> output' on standard output once converted, a line\n"
    L"on standard error when it fails or is stopped (also with -q). Characters in names\n"
    L"that would break the line or change what a terminal shows are printed escaped\n"
#ifdef _WIN32
    L"(\\n, \\x1b, \\u202e, ...). A file named twice, by any path, is converted once.\n"
    L"\n"
    L"Ctrl-C, Ctrl-Break, closing the console, logging off and shutting down stop after the\n"
    L"current chunk; the files being written are kept, shorter and valid.\n"
    L"Exit status: 0 all files converted, 1 some file failed, 2 usage error; stopped: 130\n"
    L"by Ctrl-C or Ctrl-Break, 129 by closing the console, 143 by logging off or shutting\n"
    L"down.\n";
#else
    L"(\\n, \\x1b, \\u202e, ...; \\\\ for a backslash). A file named twice, by any path, is\n"
    L"converted once.\n"
    L"\n"
    L"Ctrl-C, SIGTERM, SIGHUP and a closed standard output (SIGPIPE) stop after the current\n"
    L"chunk; the files being written are kept, shorter and valid.\n"
    L"Exit status: 0 all files converted, 1 some file failed, 2 usage error; stopped: 130\n"
    L"by Ctrl-C (SIGINT), 143 by SIGTERM, 129 by SIGHUP, 141 by SIGPIPE.\n";
#endif

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
    // Each diagnostic is one line, whatever the names in it hold.
    std::wstring line = text.WideText() != nullptr ? text.WideText() : L"";
    const bool ended = !line.empty() && line.back() == L'\n';
    if (ended) line.pop_back();
    CString shown = PrintableName(line.c_str());
    if (ended) shown.Append(L"\n");
    platform::WriteText(platform::Stream::Err, shown.WideText());
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

// Parses a decibel value: an optional sign, digits and at most one decimal point with digits
// on one side at least, within the command line's gain range.
bool ParseDecibels(const wchar_t* text, double* value) {
    if (text == nullptr) return false;
    const wchar_t* p = text;
    const bool negative = *p == L'-';
    if (*p == L'-' || *p == L'+') ++p;
    double n = 0.0, scale = 1.0;
    bool digits = false, point = false;
    for (; *p != 0; ++p) {
        if (*p == L'.' && !point) {
            point = true;
            continue;
        }
        if (*p < L'0' || *p > L'9' || n > 1000.0) return false;
        digits = true;
        if (point) {
            scale /= 10.0;
            n += (*p - L'0') * scale;
        } else {
            n = n * 10.0 + (*p - L'0');
        }
    }
    if (!digits) return false;
    if (negative) n = -n;
    if (n < kCliMinGainDb || n > kCliMaxGainDb) return false;
    *value = n;
    return true;
}

bool StartsWith(const wchar_t* text, const wchar_t* prefix) {
    return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

// Characters that would make a printed name show as something else: C0 and C1 controls, DEL,
// the line and paragraph separators, and the marks and overrides of bidirectional text.
bool IsMisleading(std::uint32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

// A source as the command line gave it, for the results log: its place in the batch, or how
// it was refused before.
struct GivenSource {
    CString name;
    int batchIndex = -1;
    FileResult rejected;
};

// A folder of temporary files, removed with the files named in it when the object goes.
class TemporaryFiles {
  public:
    TemporaryFiles() = default;
    TemporaryFiles(const TemporaryFiles&) = delete;
    TemporaryFiles& operator=(const TemporaryFiles&) = delete;
    ~TemporaryFiles() {
        for (CString& file : m_files) platform::DeleteFilePath(file.WideText());
        if (!m_folder.empty()) platform::DeleteFolder(m_folder.c_str());
    }
    bool Make() { return platform::MakeTemporaryFolder(&m_folder); }
    const wchar_t* Folder() const { return m_folder.c_str(); }
    // A name in the folder, removed at the end.
    CString File(const wchar_t* name) {
        CString path((m_folder + platform::kPathSeparator + name).c_str());
        Add(path);
        return path;
    }
    void Add(const CString& path) {
        m_files.emplace_back();
        m_files.back().AssignString(path);
    }

  private:
    std::wstring m_folder;
    std::vector<CString> m_files;
};

// Progress of the batch on standard error, results on standard output. Files may be converted
// on several threads at once, so every call takes the lock.
class CliObserver : public ConversionObserver {
  public:
    // Converted files are named on `results`; with toStandardOutput their output is called
    // "standard output".
    CliObserver(std::vector<CString>& names, bool quiet, bool live, platform::Stream results,
                bool toStandardOutput)
        : m_names(names),
          m_quiet(quiet),
          m_live(live),
          m_resultStream(results),
          m_toStandardOutput(toStandardOutput) {}

    int Converted() const { return m_converted; }
    // How each file ended, by its index (NotStarted for those a stop left out).
    std::vector<FileResult>& Results() { return m_results; }
    int Skipped() const { return m_skipped; }

    void OnBatchBegin(int fileCount) override {
        m_count = fileCount;
        m_results.resize(static_cast<std::size_t>(fileCount));
    }

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
        m_results[static_cast<std::size_t>(index)] = CopyOfResult(result);
        m_active.erase(index);
        ClearLine();
        const wchar_t* source = m_names[static_cast<std::size_t>(index)].WideText();
        FileResult shown = CopyOfResult(result);
        if (m_toStandardOutput && shown.outputPath.Length() > 0) {
            shown.outputPath.Assign(L"standard output");
        }
        if (!m_quiet) {
            CString level = LevelReport(source, result);
            if (level.Length() > 0) Print(platform::Stream::Err, L"%s", level.WideText());
        }
        if (result.status == FileStatus::Converted) {
            ++m_converted;
            if (m_quiet) return;
            CString out =
                m_toStandardOutput ? CString(L"standard output") : PrintableName(result.outputPath);
            Print(m_resultStream, L"%s -> %s\n", source, out.WideText());
            return;
        }
        if (result.status == FileStatus::Skipped) {
            ++m_skipped;
            if (m_quiet) return;
        }
        // A failed file, or a stopped one, whose output is not the whole of it: said with -q
        // too; a skipped one without -q. The output's name in the text is escaped as the
        // source's is.
        CString (*showName)(const CString&) = PrintableName;
        if (m_toStandardOutput) showName = nullptr;
        CString text = DescribeFileResult(shown, showName);
        Print(platform::Stream::Err, L"%s: %s: %s\n", kProgram, source, text.WideText());
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
    platform::Stream m_resultStream;
    bool m_toStandardOutput;
    std::vector<FileResult> m_results;
    std::mutex m_lock;
    bool m_drawn = false;
    int m_count = 0;
    int m_done = 0;
    std::map<int, unsigned> m_active;  // files being converted and their percentage
    int m_converted = 0;
    int m_skipped = 0;
};

// A settings file found in the working folder may have been put there by anyone (a folder
// that came with a download): say which file supplied what the command line left out.
void PrintSettingsUsed(CAppParameter& settings, const CliOptions& options) {
    // A stored standard quality is the default, and not named; so is metadata kept.
    const bool storedQuality = !options.qualityGiven && settings.quality == 1;
    const bool storedNoMetadata = !options.noMetadata && settings.keepMetadata == 0;
    const bool storedPhase =
        !options.phaseGiven && settings.phase == 1 && options.quality == Quality::High;
    // A stored dither matters to the high quality only.
    const bool storedDither =
        !options.ditherGiven && options.dither != Dither::Tpdf && options.quality == Quality::High;
    const bool storedOutput =
        (!options.formatGiven && options.format != SampleType::Int16) || storedDither;
    if (options.quiet || !settings.loaded ||
        (options.rateGiven && options.channelsGiven && options.outputGiven && !storedQuality &&
         !storedOutput && !storedNoMetadata && !storedPhase)) {
        return;
    }
    CString used;
    auto add = [&used](const CString& part) {
        if (used.Length() > 0) used.Append(L", ");
        used.AppendString(part);
    };
    if (!options.outputGiven) {
        CString folder = PrintableName(options.outputFolder);
        add(folder.Length() == 0 ? CString(L"outputs beside their sources")
                                 : FormatString(L"output folder %s", folder.WideText()));
    }
    if (!options.rateGiven) add(FormatString(L"%d Hz", options.rate));
    if (!options.channelsGiven) {
        add(FormatString(options.channels == 1 ? L"%d channel" : L"%d channels", options.channels));
    }
    if (storedQuality) add(CString(L"high quality"));
    if (!options.formatGiven && options.format == SampleType::Int24) add(CString(L"24 bits"));
    if (!options.formatGiven && options.format == SampleType::Float32) {
        add(CString(L"32-bit float"));
    }
    if (storedDither) {
        add(FormatString(L"dither %s", options.dither == Dither::None ? L"none" : L"shaped"));
    }
    if (storedNoMetadata) add(CString(L"no metadata"));
    if (storedPhase) add(CString(L"minimum phase"));
    Print(platform::Stream::Err, L"%s: using settings from %s (%s)\n", kProgram,
          PrintableName(settings.settingsPath).WideText(), used.WideText());
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
    // Folder names are printed escaped, as every name the command line prints.
    const bool named = settings.settingsPath.Length() > 0;
    const wchar_t* usedPath = settings.settingsPath.WideText();
    Print(platform::Stream::Out, L"Settings file: %s %s\n",
          named ? PrintableName(settings.settingsPath).WideText() : L"(none)",
          settings.loaded                           ? read.WideText()
          : named && platform::PathExists(usedPath) ? L"(not readable: built-in values)"
                                                    : L"(not there: built-in values)");
    Print(platform::Stream::Out, L"  looked for in the working folder: %s %s\n",
          PrintableName(inWorkingFolder).WideText(), state(inWorkingFolder, 0));
    Print(platform::Stream::Out, L"  then beside the program:          %s %s\n",
          PrintableName(besideProgram).WideText(), state(besideProgram, 1));
    Print(platform::Stream::Out, L"  then in the user's settings:      %s %s\n",
          PrintableName(inUserFolder).WideText(), state(inUserFolder, 2));

    Print(platform::Stream::Out, L"Output folder: %s\n",
          settings.outputPath.Length() > 0 ? PrintableName(settings.outputPath).WideText()
                                           : L"(none: outputs go beside their sources)");
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
    Print(platform::Stream::Out, L"Sample format: %s\n",
          settings.sampleFormat == 1   ? L"24-bit"
          : settings.sampleFormat == 2 ? L"32-bit float"
                                       : L"16-bit");
    Print(platform::Stream::Out, L"Dither:        %s\n",
          settings.dither == 1   ? L"none"
          : settings.dither == 2 ? L"shaped"
                                 : L"tpdf");
    Print(platform::Stream::Out, L"Prevent clipping: %s (the window's; see --prevent-clipping)\n",
          settings.preventClipping == 1 ? L"on" : L"off");
    Print(platform::Stream::Out, L"Metadata:      %s\n",
          settings.keepMetadata == 0 ? L"left out" : L"kept");
    Print(platform::Stream::Out, L"Phase:         %s\n",
          settings.phase == 1 ? L"minimum" : L"linear");
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

CString PrintableName(const wchar_t* text) {
    std::wstring shown;
    for (const wchar_t* p = text; p != nullptr && *p != 0; ++p) {
        const std::uint32_t c = static_cast<std::uint32_t>(*p);
        std::uint32_t code = c;            // the value an escape shows
        const wchar_t* form = L"\\u%04x";  // how
        if (c == L'\n' || c == L'\t' || c == L'\r') {
            shown += c == L'\n' ? L"\\n" : c == L'\t' ? L"\\t" : L"\\r";
            continue;
        }
        if (c < 0x20 || c == 0x7F) {
            form = L"\\x%02x";
        } else if (c >= 0xD800 && c <= 0xDFFF) {
#ifdef _WIN32
            // A surrogate pair is one character; a lone half is not text.
            if (c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
                shown.append(p, 2);
                ++p;
                continue;
            }
#else
            // A byte of the name that is not UTF-8, kept as U+DC80 to U+DCFF: that byte.
            if (c >= 0xDC80 && c <= 0xDCFF) {
                form = L"\\x%02x";
                code = c - 0xDC00;
            }
#endif
        } else if (!IsMisleading(c)) {
#ifndef _WIN32
            // A backslash may be part of a name here (on Windows it separates folders): it is
            // doubled, so that a name holding "\\x1b" is not taken for one holding an escape.
            if (c == L'\\') shown += L'\\';
#endif
            shown += *p;
            continue;
        }
        wchar_t escape[16];
        FormatTextN(escape, 16, form, code);
        shown += escape;
    }
    return CString(shown.c_str());
}

CString PrintableName(const CString& text) {
    CString copy;
    copy.AssignString(text);
    return PrintableName(copy.WideText());
}

int StoredRate(int stored) {
    return stored >= kCliMinRate && stored <= kCliMaxRate ? stored : kDefaultFrequency;
}

int StoredChannels(int stored) {
    return stored == 1 || stored == 2 ? stored : kDefaultChannels;
}

CString GroupedCount(std::uint64_t count) {
    std::wstring digits = std::to_wstring(count);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<std::size_t>(at), 1, L',');
    }
    return CString(digits.c_str());
}

CString LevelReport(const wchar_t* name, const FileResult& result) {
    CString text;
    // Shown to one decimal; what rounds to 0.0 is not worth a line.
    if (result.gainLoweredDb >= 0.05) {
        CString db = FormatTenths(result.gainLoweredDb, false);
        text.AppendString(FormatString(L"%s: %s: gain lowered by %s dB to prevent clipping\n",
                                       kProgram, name, db.WideText()));
    }
    if (result.clipped > 0) {
        CString count = GroupedCount(result.clipped);
        CString peak = FormatTenths(result.peakDb, true);
        text.AppendString(FormatString(
            L"%s: %s: %s %s clipped (peak %s dBFS)\n", kProgram, name, count.WideText(),
            result.clipped == 1 ? L"sample" : L"samples", peak.WideText()));
    }
    return text;
}

namespace {

// Reads an option's value that is one of a few names into *target, or says what is wrong with
// it: message has the value.
template <typename T, std::size_t N>
CliCommand ApplyName(const wchar_t* value, const std::pair<const wchar_t*, T> (&names)[N],
                     T* target, CString* error, const wchar_t* message) {
    for (const auto& name : names) {
        if (std::wcscmp(value, name.first) != 0) continue;
        *target = name.second;
        return CliCommand::Convert;
    }
    *error = FormatString(message, value);
    return CliCommand::UsageError;
}

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
    {L"-o", L"--output", L"DIR", L"output folder (default: beside each source; -: standard output)",
     [](const wchar_t* value, CliOptions* options, CString*) {
         options->outputGiven = true;
         options->outputFolder.Assign(value);
         return CliCommand::Convert;
     }},
    {L"-Q", L"--quality", L"MODE", L"standard or high (default: the stored choice, else standard)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->qualityGiven = true;
         const std::pair<const wchar_t*, Quality> names[] = {{L"standard", Quality::Standard},
                                                             {L"high", Quality::High}};
         return ApplyName(value, names, &options->quality, error,
                          L"quality '%s' must be standard or high");
     }},
    {nullptr, L"--bits", L"N",
     L"16, 24 or 32f (float) per sample; 24 and 32f with -Q high (default 16)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->formatGiven = true;
         const std::pair<const wchar_t*, SampleType> names[] = {
             {L"16", SampleType::Int16}, {L"24", SampleType::Int24}, {L"32f", SampleType::Float32}};
         return ApplyName(value, names, &options->format, error,
                          L"bits '%s' must be 16, 24 or 32f");
     }},
    {nullptr, L"--dither", L"KIND", L"none, tpdf or shaped: -Q high, 16 and 24 bits (default tpdf)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->ditherGiven = true;
         const std::pair<const wchar_t*, Dither> names[] = {
             {L"none", Dither::None}, {L"tpdf", Dither::Tpdf}, {L"shaped", Dither::Shaped}};
         return ApplyName(value, names, &options->dither, error,
                          L"dither '%s' must be none, tpdf or shaped");
     }},
    {nullptr, L"--gain", L"DB", L"change the level by DB decibels, -60 to 60 (default 0)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         if (ParseDecibels(value, &options->gainDb)) return CliCommand::Convert;
         *error = FormatString(L"gain '%s' must be a number of dB from %d to %d", value,
                               static_cast<int>(kCliMinGainDb), static_cast<int>(kCliMaxGainDb));
         return CliCommand::UsageError;
     }},
    {nullptr, L"--prevent-clipping", nullptr,
     L"lower a file's gain so that it does not clip (peak -0.1 dBFS)",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->preventClipping = true;
         return CliCommand::Convert;
     }},
    {nullptr, L"--no-metadata", nullptr, L"leave out the sources' tags, cues and loops",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->noMetadata = true;
         return CliCommand::Convert;
     }},
    {nullptr, L"--flat", nullptr, L"put the files found in folders into the output folder itself",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->flat = true;
         return CliCommand::Convert;
     }},
    {nullptr, L"--phase", L"KIND",
     L"linear or minimum (high quality; default: stored, else linear)",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->phaseGiven = true;
         const std::pair<const wchar_t*, FilterPhase> names[] = {
             {L"linear", FilterPhase::Linear}, {L"minimum", FilterPhase::Minimum}};
         return ApplyName(value, names, &options->phase, error,
                          L"phase '%s' must be linear or minimum");
     }},
    {nullptr, L"--files-from", L"FILE",
     L"also convert the files named in FILE, one a line (-: standard input)",
     [](const wchar_t* value, CliOptions* options, CString*) {
         options->filesFrom.Assign(value);
         return CliCommand::Convert;
     }},
    {L"-0", L"--null", nullptr, L"the --files-from list's names end with NUL bytes, not line ends",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->nulSeparated = true;
         return CliCommand::Convert;
     }},
    {nullptr, L"--report", L"FILE",
     L"write a results log: CSV, or JSON Lines if FILE ends in .jsonl",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         if (value == nullptr || *value == 0) {
             *error = FormatString(L"--report needs a file name");
             return CliCommand::UsageError;
         }
         options->reportPath.Assign(value);
         return CliCommand::Convert;
     }},
    {nullptr, L"--name", L"TEMPLATE",
     L"output names from {name} {rate} {khz} {channels} {bits} {quality}",
     [](const wchar_t* value, CliOptions* options, CString* error) {
         options->nameTemplate.Assign(value);
         ConversionTarget probe;
         probe.frequency = 44100;
         probe.channels = 2;
         std::string name;
         const std::string text(
             options->nameTemplate.Bytes() != nullptr ? options->nameTemplate.Bytes() : "",
             static_cast<std::size_t>(options->nameTemplate.Length()));
         if (ExpandNameTemplate(text, "name", probe, &name)) return CliCommand::Convert;
         *error = FormatString(
             L"name template '%s' must make a file name from {name}, {rate}, {khz}, {channels}, "
             L"{bits} and {quality} (no other field, path separator or control character)",
             PrintableName(options->nameTemplate).WideText());
         return CliCommand::UsageError;
     }},
    {nullptr, L"--skip-existing", nullptr,
     L"skip a file whose output name holds its complete output",
     [](const wchar_t*, CliOptions* options, CString*) {
         options->skipExisting = true;
         return CliCommand::Convert;
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
        // A name too long for its column has its text on the next line.
        if (names.Length() > 16) {
            text.AppendString(FormatString(L"  %-4s%s\n%23s%s\n", shortName.WideText(),
                                           names.WideText(), L"", option.help));
        } else {
            text.AppendString(FormatString(L"  %-4s%-16s %s\n", shortName.WideText(),
                                           names.WideText(), option.help));
        }
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
    if (options->files.empty() && options->filesFrom.Length() == 0) {
        *error = FormatString(L"no input files");
        return CliCommand::UsageError;
    }
    const bool toStandardOutput = options->outputGiven && options->outputFolder.Equals(L"-");
    if (toStandardOutput && options->reportPath.Equals(L"-")) {
        *error = FormatString(L"--report - and -o - cannot both use standard output");
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
    // The names of a list follow those of the command line, taken as they are (no wildcards).
    if (options.filesFrom.Length() > 0) {
        std::string list;
        int systemError = 0;
        if (!ReadNameList(options.filesFrom, &list, &systemError)) {
            wchar_t text[256] = L"";
            platform::ErrorText(systemError, text, 256);
            CString name = PrintableName(options.filesFrom);
            Print(platform::Stream::Err, L"%s: %s: the list of files cannot be read: %s\n",
                  kProgram, name.WideText(), text);
            return kExitFailed;
        }
        for (CString& name : SplitNameList(list, options.nulSeparated)) {
            options.files.push_back(std::move(name));
        }
    }
    const bool toStandardOutput = options.outputGiven && options.outputFolder.Equals(L"-");
    const std::size_t fromStandardInput = static_cast<std::size_t>(
        std::count_if(options.files.begin(), options.files.end(),
                      [](const CString& file) { return file.Equals(L"-"); }));
    const wchar_t* streamError =
        fromStandardInput > 1 ? L"standard input (-) can be read only once"
        : fromStandardInput > 0 && options.filesFrom.Equals(L"-")
            ? L"standard input cannot hold both the list of files (--files-from -) and a WAV "
              L"stream (-)"
        : toStandardOutput && options.files.size() != 1
            ? L"-o - writes one WAV stream to standard output: it takes exactly one source"
            : nullptr;
    if (streamError != nullptr) {
        Print(platform::Stream::Err, L"%s: %s\nTry '%s --help'.\n", kProgram, streamError,
              kProgram);
        return kExitUsage;
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
    if (!options.qualityGiven && settings.quality == 1) options.quality = Quality::High;
    // A stored 24-bit or float format belongs to the high quality; with the standard one the
    // output is 16-bit as ever.
    if (!options.formatGiven && options.quality == Quality::High) {
        options.format = static_cast<SampleType>(settings.sampleFormat);
    }
    if (!options.ditherGiven) options.dither = static_cast<Dither>(settings.dither);
    if (options.format != SampleType::Int16 && options.quality != Quality::High) {
        InstallDiagnosticPrint(nullptr);
        Print(platform::Stream::Err,
              L"%s: --bits %s needs the high quality (--quality high); the standard quality "
              L"writes 16 bits\nTry '%s --help'.\n",
              kProgram, options.format == SampleType::Int24 ? L"24" : L"32f", kProgram);
        return kExitUsage;
    }
    if (options.phaseGiven && options.phase == FilterPhase::Minimum &&
        options.quality != Quality::High) {
        InstallDiagnosticPrint(nullptr);
        Print(platform::Stream::Err,
              L"%s: --phase minimum needs the high quality (--quality high); the standard "
              L"quality's filter is linear\nTry '%s --help'.\n",
              kProgram, kProgram);
        return kExitUsage;
    }
    if (!options.phaseGiven && settings.phase == 1) options.phase = FilterPhase::Minimum;
    // The output of standard input goes to the output folder; without one, to the working
    // folder when it is the only source (other sources have folders of their own to go beside).
    if (fromStandardInput > 0 && !toStandardOutput && options.outputFolder.Length() == 0) {
        if (options.files.size() > 1) {
            InstallDiagnosticPrint(nullptr);
            Print(platform::Stream::Err,
                  L"%s: standard input (-) among other sources needs an output folder (-o)\nTry "
                  L"'%s --help'.\n",
                  kProgram, kProgram);
            return kExitUsage;
        }
        options.outputFolder.Assign(L".");
    }
    PrintSettingsUsed(settings, options);

    // Standard input is copied into a file first and a standard output's WAV is made in one,
    // both in a folder of their own that goes again at the end: the conversion seeks in its
    // source and output and may read the source twice.
    TemporaryFiles temporary;
    CString standardInputPath;
    if ((fromStandardInput > 0 || toStandardOutput) && !temporary.Make()) {
        InstallDiagnosticPrint(nullptr);
        Print(platform::Stream::Err,
              L"%s: no temporary folder can be made for standard input or output\n", kProgram);
        return kExitFailed;
    }
    FileResult standardInputResult;
    if (fromStandardInput > 0) {
        standardInputPath = temporary.File(L"stdin.wav");
        int systemError = 0;
        const CopyEnd end = CopyStandardInputTo(standardInputPath, stopFlag, &systemError);
        if (end == CopyEnd::Stopped) {
            InstallDiagnosticPrint(nullptr);
            return stopFlag.load() > 0 ? stopFlag.load() : kExitStopped;
        }
        if (end != CopyEnd::Done) {
            // Reported as a source that cannot be opened, with the system's reason.
            standardInputResult.status = FileStatus::SourceUnreadable;
            standardInputResult.sourceError = WaveError::CannotOpen;
            standardInputResult.systemError = systemError;
            standardInputPath.Clear();
        }
    }
    if (toStandardOutput) options.outputFolder = CString(temporary.Folder());

    // Sources are checked as the window's file list checks them when they are added: a file
    // that does not open as WAV is reported and left out; the others go to the batch, each
    // file once, however many paths name it.
    std::vector<std::unique_ptr<CFileName>> entries;
    std::vector<BatchSource> sources;
    std::vector<CString> names;                 // as printed
    std::vector<std::vector<CString>> repeats;  // the other names each source was given by
    std::map<platform::FileId, std::size_t> seen;
    std::vector<GivenSource> listed;  // each source once, in the order given, for the log
    int rejected = 0;
    // A folder stands for the files below it, each with its place in the tree; those that are
    // not WAV files are only counted.
    struct Given {
        CString file;
        CString subfolder;
        bool found = false;  // found below a folder given
    };
    std::vector<Given> arguments;
    bool foldersGiven = false;
    int foundWav = 0, foundOther = 0, unreadableFolders = 0;
    for (CString& file : options.files) {
        if (!file.Equals(L"-") && !platform::InSystemFolder(file.WideText()) &&
            platform::IsFolder(file.WideText())) {
            foldersGiven = true;
            FolderWalk walk = WalkFolder(file.WideText(), &stopFlag);
            if (!walk.readable) {
                Print(platform::Stream::Err, L"%s: %s: the folder cannot be read\n", kProgram,
                      PrintableName(file).WideText());
                ++rejected;
            }
            unreadableFolders += walk.unreadableFolders;
            for (const WalkedFile& found : walk.files) {
                Given one{CString(walk.PathOf(found).c_str()), CString(), true};
                if (!options.flat) one.subfolder.Assign(walk.SubfolderOf(found).c_str());
                arguments.push_back(std::move(one));
            }
            continue;
        }
        arguments.push_back({std::move(file), CString(), false});
    }
    for (Given& one : arguments) {
        CString& argument = one.file;
        CString name = PrintableName(argument);
        const bool standardInput = !one.found && argument.Equals(L"-");
        CString& file = standardInput ? standardInputPath : argument;
        GivenSource source;
        source.name.AssignString(argument);
        if (standardInput && file.Length() == 0) {
            CString text = DescribeFileResult(standardInputResult);
            Print(platform::Stream::Err, L"%s: -: %s\n", kProgram, text.WideText());
            source.rejected = CopyOfResult(standardInputResult);
            listed.push_back(std::move(source));
            ++rejected;
            continue;
        }
        if (!standardInput && !one.found && platform::InSystemFolder(file.WideText())) {
            Print(platform::Stream::Err,
                  L"%s: %s: not read: names in /dev, /proc and /sys stand for devices and the "
                  L"system's own files, not WAV files (standard input cannot be read this way; - "
                  L"reads it)\n",
                  kProgram, name.WideText());
            source.rejected.status = FileStatus::SourceUnreadable;
            source.rejected.sourceError = WaveError::CannotOpen;
            source.rejected.systemError = platform::kErrorNotRegularFile;
            listed.push_back(std::move(source));
            ++rejected;
            continue;
        }
        CWaveFile probe;
        if (!probe.OpenFile(file)) {
            DiagnosticPrint(L"Not WAV file : %s\n", file.WideText());
            if (one.found) {
                ++foundOther;
                continue;
            }
            FileResult result;
            result.status = FileStatus::SourceUnreadable;
            result.sourceError = probe.OpenError();
            result.systemError = probe.LastError();
            CString text = DescribeFileResult(result);
            Print(platform::Stream::Err, L"%s: %s: %s\n", kProgram, name.WideText(),
                  text.WideText());
            source.rejected = std::move(result);
            listed.push_back(std::move(source));
            ++rejected;
            continue;
        }
        source.batchIndex = static_cast<int>(entries.size());
        platform::FileId id;
        if (platform::GetFileId(file.WideText(), &id)) {
            auto known = seen.find(id);
            if (known != seen.end()) {
                repeats[known->second].push_back(std::move(name));
                continue;
            }
            seen.emplace(id, entries.size());
        }
        auto entry = std::make_unique<CFileName>();
        entry->SetPath(FullPathOf(file).Bytes());
        if (one.found) ++foundWav;
        sources.push_back({entry.get(), std::move(one.subfolder)});
        entries.push_back(std::move(entry));
        names.push_back(std::move(name));
        repeats.emplace_back();
        listed.push_back(std::move(source));
    }
    if (foldersGiven && !options.quiet) {
        // "214 files added, 3 skipped: not WAV files, 1 folder could not be read"
        CString line = FormatString(L"%s: %s %s added", kProgram, GroupedCount(foundWav).WideText(),
                                    foundWav == 1 ? L"file" : L"files");
        if (foundOther > 0) {
            line.AppendString(FormatString(L", %s skipped: not %s",
                                           GroupedCount(foundOther).WideText(),
                                           foundOther == 1 ? L"a WAV file" : L"WAV files"));
        }
        if (unreadableFolders > 0) {
            line.AppendString(FormatString(L", %s %s could not be read",
                                           GroupedCount(unreadableFolders).WideText(),
                                           unreadableFolders == 1 ? L"folder" : L"folders"));
        }
        line.Append(L"\n");
        platform::WriteText(platform::Stream::Err, line.WideText());
    }
    for (std::size_t i = 0; i < repeats.size() && !options.quiet; ++i) {
        if (repeats[i].empty()) continue;
        // "a.wav: given twice (also as ./a.wav), converted once"; the same spelling is not
        // repeated.
        std::vector<std::wstring> spellings{names[i].WideText()};
        std::wstring also;
        for (CString& other : repeats[i]) {
            const std::wstring spelling = other.WideText();
            if (std::find(spellings.begin(), spellings.end(), spelling) != spellings.end())
                continue;
            spellings.push_back(spelling);
            also += (also.empty() ? L"" : L", ") + spelling;
        }
        const int times = static_cast<int>(repeats[i].size()) + 1;
        CString given = times == 2 ? CString(L"twice") : FormatString(L"%d times", times);
        if (!also.empty()) given.AppendString(FormatString(L" (also as %s)", also.c_str()));
        Print(platform::Stream::Err, L"%s: %s: given %s, converted once\n", kProgram,
              names[i].WideText(), given.WideText());
    }

    const bool live =
        !options.quiet && !options.verbose && platform::IsTerminal(platform::Stream::Err);
    // With a WAV stream or the log on standard output, the lines about files go to standard
    // error.
    const bool logToStandardOutput = options.reportPath.Equals(L"-");
    CliObserver observer(
        names, options.quiet, live,
        toStandardOutput || logToStandardOutput ? platform::Stream::Err : platform::Stream::Out,
        toStandardOutput);
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
    target.format = options.format;
    target.dither = options.dither;
    target.gainDb = options.gainDb;
    target.preventClipping = options.preventClipping;
    target.keepMetadata = !options.noMetadata && settings.keepMetadata != 0;
    target.phase = options.phase;
    target.nameTemplate = std::move(options.nameTemplate);
    target.skipExisting = options.skipExisting;
    const bool stopped =
        RunSourceBatch(sources, target, stopFlag, &observer, jobs, &failed, makeResampler);
    InstallDiagnosticPrint(nullptr);
    if (toStandardOutput && !observer.Results().empty()) {
        // The one output, converted or stopped (a valid, shorter file), goes out whole.
        FileResult& result = observer.Results().front();
        temporary.Add(result.outputPath);
        const bool made =
            result.status == FileStatus::Converted || result.status == FileStatus::Stopped;
        int systemError = 0;
        if (made && result.outputPath.Length() > 0 &&
            CopyToStandardOutput(result.outputPath, &systemError) != CopyEnd::Done &&
            stopFlag.load() == 0) {
            wchar_t text[256] = L"";
            platform::ErrorText(systemError, text, 256);
            Print(platform::Stream::Err, L"%s: %s: standard output cannot be written: %s\n",
                  kProgram, names.front().WideText(), text);
            if (result.status == FileStatus::Converted) {
                result.status = FileStatus::WriteFailed;
                result.systemError = systemError;
                ++failed;
            }
        }
    }

    int logFailed = 0;
    if (options.reportPath.Length() > 0) {
        std::vector<ResultsLogRow> rows;
        for (GivenSource& source : listed) {
            ResultsLogRow row;
            row.source = std::move(source.name);
            row.result =
                source.batchIndex >= 0
                    ? CopyOfResult(observer.Results()[static_cast<std::size_t>(source.batchIndex)])
                    : std::move(source.rejected);
            if (toStandardOutput && row.result.outputPath.Length() > 0) {
                row.result.outputPath.Assign(L"-");
            }
            rows.push_back(std::move(row));
        }
        int systemError = 0;
        const bool written =
            logToStandardOutput
                ? WriteStandardOutput(
                      ResultsLogText(rows, target, ResultsLogFormatFor(options.reportPath)),
                      &systemError)
                : WriteResultsLog(options.reportPath, rows, target, &systemError);
        if (!written && stopFlag.load() == 0) {
            wchar_t text[256] = L"";
            platform::ErrorText(systemError, text, 256);
            CString name = PrintableName(options.reportPath);
            Print(platform::Stream::Err, L"%s: %s: the results log cannot be written: %s\n",
                  kProgram, name.WideText(), text);
            logFailed = 1;
        }
    }

    const int total = static_cast<int>(entries.size()) + rejected;  // each file counted once
    if (!options.quiet) {
        // Files that were there already count apart: "Converted 1 of 3 files, 2 skipped."
        CString skipped;
        if (observer.Skipped() > 0) skipped = FormatString(L", %d skipped", observer.Skipped());
        Print(platform::Stream::Err, L"%s %d of %d files%s.\n",
              stopped ? L"Stopped: converted" : L"Converted", observer.Converted(), total,
              skipped.WideText());
    }
    // What stopped the batch decides the status: 130 for Ctrl-C, 143 for SIGTERM, ...
    if (stopped || stopFlag.load() != 0)
        return stopFlag.load() > 0 ? stopFlag.load() : kExitStopped;
    // A subfolder that could not be read may have held files to convert.
    return (failed + rejected + logFailed + unreadableFolders) > 0 ? kExitFailed : kExitConverted;
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
