#include "support/test_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <stdlib.h>
#endif

#include "base/diagnostic.h"
#include "base/format.h"
#include "platform/platform.h"

namespace fs = std::filesystem;

namespace testing_support {

namespace {

fs::path ToPath(const std::string& utf8) {
#ifdef _WIN32
    wchar_t* wide = ToWide(utf8.c_str(), -1, kCodePageUtf8);
    fs::path p(wide);
    delete[] wide;
    return p;
#else
    return fs::path(utf8);
#endif
}

std::string FromPath(const fs::path& p) {
#ifdef _WIN32
    char* bytes = FromWide(p.wstring().c_str(), -1, kCodePageUtf8);
    std::string s(bytes);
    delete[] bytes;
    return s;
#else
    return p.string();
#endif
}

#ifdef _WIN32
constexpr wchar_t kUserConfigVariable[] = L"APPDATA";
#else
constexpr char kUserConfigVariable[] = "XDG_CONFIG_HOME";
#endif

std::string GetUserConfigVariable() {
#ifdef _WIN32
    wchar_t value[32768];
    const DWORD n = GetEnvironmentVariableW(kUserConfigVariable, value, 32768);
    if (n == 0 || n >= 32768) return std::string();
    return FromPath(fs::path(std::wstring(value, n)));
#else
    const char* value = getenv(kUserConfigVariable);
    return value != nullptr ? value : "";
#endif
}

void SetUserConfigVariable(const std::string& utf8) {
#ifdef _WIN32
    SetEnvironmentVariableW(kUserConfigVariable, ToPath(utf8).wstring().c_str());
#else
    setenv(kUserConfigVariable, utf8.c_str(), 1);
#endif
}

// Before any test runs: the user's folder for settings lies below this program's file.
const bool userConfigRedirected = [] {
    wchar_t program[4096];
    const int length = platform::ProgramPath(program, 4096);
    if (length <= 0 || length >= 4096) return false;
    SetUserConfigVariable(FromPath(fs::path(program)) + Sep() + "no-user-folder");
    return true;
}();

std::mutex diagnosticMutex;
std::vector<std::wstring> diagnosticLines;

int RecordDiagnostic(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString text = FormatStringV(format, args);
    va_end(args);
    const wchar_t* wide = text.WideText();
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    diagnosticLines.emplace_back(wide != nullptr ? wide : L"");
    return text.Length();
}

const char* StatusName(FileStatus status) {
    switch (status) {
        case FileStatus::Converted:
            return "Converted";
        case FileStatus::Stopped:
            return "Stopped";
        case FileStatus::NotStarted:
            return "NotStarted";
        case FileStatus::Skipped:
            return "Skipped";
        case FileStatus::UnusableTemplate:
            return "UnusableTemplate";
        case FileStatus::SourceUnreadable:
            return "SourceUnreadable";
        case FileStatus::UnsupportedRatio:
            return "UnsupportedRatio";
        case FileStatus::OutputFailed:
            return "OutputFailed";
        case FileStatus::NoFreeName:
            return "NoFreeName";
        case FileStatus::UnusableName:
            return "UnusableName";
        case FileStatus::OutOfMemory:
            return "OutOfMemory";
        case FileStatus::ReadFailed:
            return "ReadFailed";
        case FileStatus::WriteFailed:
            return "WriteFailed";
        case FileStatus::SizeLimit:
            return "SizeLimit";
    }
    return "?";
}

}  // namespace

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() / ("ratemill-test-" + std::to_string(random()) +
                                                  "-" + std::to_string(counter++));
        std::error_code error;
        if (fs::create_directory(p, error)) {
            m_path = FromPath(p);
            return;
        }
    }
}

TempFolder::~TempFolder() {
    if (m_path.empty()) return;
    std::error_code error;
    // Read-only folders made by tests would stop the removal.
    for (auto it = fs::recursive_directory_iterator(ToPath(m_path), error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
    }
    fs::permissions(ToPath(m_path), fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(ToPath(m_path), error);
}

std::string TempFolder::File(const std::string& name) const {
    return m_path + Sep() + name;
}

std::string Sep() {
#ifdef _WIN32
    return "\\";
#else
    return "/";
#endif
}

CString Str(const std::string& utf8) {
    CString s;
    s.AssignBytes(utf8.c_str(), static_cast<int>(utf8.size()));
    return s;
}

std::string Utf8(const CString& text) {
    return text.Bytes() != nullptr
               ? std::string(text.Bytes(), static_cast<std::size_t>(text.Length()))
               : std::string();
}

std::string Utf8(const wchar_t* text) {
    CString s(text);
    return Utf8(s);
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return fs::exists(ToPath(path), error);
}

Bytes ReadFileBytes(const std::string& path) {
    std::ifstream in(ToPath(path), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(ToPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::uint64_t FileSizeOf(const std::string& path) {
    std::error_code error;
    auto size = fs::file_size(ToPath(path), error);
    return error ? 0 : static_cast<std::uint64_t>(size);
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(ToPath(folder), error)) {
        names.push_back(FromPath(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

void Put16(Bytes& b, std::uint32_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

void PutId(Bytes& b, const char* id) {
    // Byte by byte: GCC 12 at -O3 takes a range insert into a fresh vector for an overflow.
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(id[i]));
}

std::uint16_t Get16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}

std::uint32_t Get32(const Bytes& b, std::size_t at) {
    return Get16(b, at) | (static_cast<std::uint32_t>(Get16(b, at + 2)) << 16);
}

Bytes FormatBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                 std::uint16_t blockAlign, const Bytes& extra) {
    if (blockAlign == 0) blockAlign = static_cast<std::uint16_t>(channels * ((bits + 7) / 8));
    Bytes b;
    Put16(b, tag);
    Put16(b, channels);
    Put32(b, rate);
    Put32(b, rate * blockAlign);
    Put16(b, blockAlign);
    Put16(b, bits);
    b.insert(b.end(), extra.begin(), extra.end());
    return b;
}

Bytes ExtensibleFormatBody(std::uint16_t subTag, std::uint16_t channels, std::uint32_t rate,
                           std::uint16_t containerBits, std::uint16_t validBits,
                           std::uint32_t channelMask) {
    Bytes extra;
    Put16(extra, 22);  // cbSize
    Put16(extra, validBits);
    Put32(extra, channelMask);
    // Sub-format GUID {tag-0000-0010-8000-00AA00389B71}.
    Put32(extra, subTag);
    Put16(extra, 0x0000);
    Put16(extra, 0x0010);
    const std::uint8_t data4[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    extra.insert(extra.end(), data4, data4 + 8);
    return FormatBody(0xFFFE, channels, rate, containerBits,
                      static_cast<std::uint16_t>(channels * (containerBits / 8)), extra);
}

Bytes MakeRiff(const std::vector<Chunk>& chunks) {
    Bytes b;
    PutId(b, "RIFF");
    Put32(b, 0);
    PutId(b, "WAVE");
    for (const Chunk& c : chunks) {
        PutId(b, c.id.c_str());
        Put32(b, c.declaredSize == 0xFFFFFFFFu ? static_cast<std::uint32_t>(c.body.size())
                                               : c.declaredSize);
        b.insert(b.end(), c.body.begin(), c.body.end());
        if (c.pad && (c.body.size() & 1) != 0) b.push_back(0);
    }
    std::uint32_t riff = static_cast<std::uint32_t>(b.size() - 8);
    std::memcpy(b.data() + 4, &riff, 4);  // little-endian hosts
    return b;
}

Bytes MakeRf64(const std::vector<Chunk>& chunks, const char* id) {
    std::vector<Chunk> all{{"ds64", Bytes(28, 0)}};
    all.insert(all.end(), chunks.begin(), chunks.end());
    Bytes b = MakeRiff(all);
    auto set = [&b](std::size_t at, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
    };
    std::memcpy(b.data(), id, 4);
    set(4, 0xFFFFFFFFu, 4);
    set(20, b.size() - 8, 8);
    std::size_t pos = 12;
    for (const Chunk& c : all) {
        if (c.id == "data") {
            set(28, Get32(b, pos + 4), 8);
            set(pos + 4, 0xFFFFFFFFu, 4);
            break;
        }
        pos += 8 + c.body.size() + (c.pad && (c.body.size() & 1) != 0 ? 1 : 0);
    }
    return b;
}

std::vector<std::int16_t> Sine(int count, double amplitude, double step, double phase) {
    std::vector<std::int16_t> v(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        v[static_cast<std::size_t>(i)] =
            static_cast<std::int16_t>(std::lround(amplitude * std::sin(step * i + phase)));
    }
    return v;
}

Bytes Pcm16Wav(std::uint32_t rate, std::uint16_t channels,
               const std::vector<std::int16_t>& samples) {
    Bytes data;
    for (std::int16_t s : samples) Put16(data, static_cast<std::uint16_t>(s));
    return MakeRiff({{"fmt ", FormatBody(1, channels, rate, 16)}, {"data", data}});
}

std::vector<std::int16_t> SamplesOf(const Bytes& file, std::size_t headerBytes) {
    std::vector<std::int16_t> samples;
    for (std::size_t i = headerBytes; i + 1 < file.size(); i += 2) {
        samples.push_back(static_cast<std::int16_t>(Get16(file, i)));
    }
    return samples;
}

DiagnosticRecorder::DiagnosticRecorder() {
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    diagnosticLines.clear();
    InstallDiagnosticPrint(RecordDiagnostic);
}

DiagnosticRecorder::~DiagnosticRecorder() {
    InstallDiagnosticPrint(nullptr);
}

std::vector<std::wstring> DiagnosticRecorder::Lines() const {
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    return diagnosticLines;
}

int DiagnosticRecorder::Count(const std::wstring& prefix) const {
    std::lock_guard<std::mutex> lock(diagnosticMutex);
    return static_cast<int>(std::count_if(
        diagnosticLines.begin(), diagnosticLines.end(),
        [&](const std::wstring& line) { return line.compare(0, prefix.size(), prefix) == 0; }));
}

void RecordingObserver::OnBatchBegin(int fileCount) {
    calls.push_back("begin " + std::to_string(fileCount));
}
void RecordingObserver::OnFileBegin(int index) {
    calls.push_back("file " + std::to_string(index));
}
void RecordingObserver::OnFileProgress(unsigned percent) {
    calls.push_back("progress " + std::to_string(percent));
}
void RecordingObserver::OnFileResult(int index, const FileResult& result) {
    calls.push_back("result " + std::to_string(index) + " " + StatusName(result.status));
    statuses.push_back(result.status);
    outputs.push_back(Utf8(result.outputPath));
}
void RecordingObserver::OnFileEnd(int filesDone) {
    calls.push_back("end " + std::to_string(filesDone));
}
void RecordingObserver::OnBatchEnd(bool stopped) {
    calls.push_back(std::string("batch-end ") + (stopped ? "1" : "0"));
}

void StoppingObserver::OnFileBegin(int index) {
    m_current = index;
    m_calls = 0;
    RecordingObserver::OnFileBegin(index);
}

void StoppingObserver::OnFileProgress(unsigned percent) {
    RecordingObserver::OnFileProgress(percent);
    if (m_current == m_file && ++m_calls == m_at) m_flag.store(1);
}

}  // namespace testing_support

namespace testing_support {

UserConfigFolder::UserConfigFolder(const std::string& folder)
    : m_previous(GetUserConfigVariable()) {
    SetUserConfigVariable(folder);
}

UserConfigFolder::~UserConfigFolder() {
    SetUserConfigVariable(m_previous);
}

}  // namespace testing_support
