// Helpers shared by the test programs: temporary folders, whole-file I/O, WAV files built byte
// by byte, a recorder for the diagnostic output and one for the conversion observer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/cstring.h"
#include "engine/job/conversion.h"

namespace testing_support {

using Bytes = std::vector<std::uint8_t>;

// A new empty folder, removed with its contents when the object goes.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // UTF-8 paths with the platform's separator.
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const;

  private:
    std::string m_path;
};

// The platform's separator as a string ("\\" on Windows, "/" elsewhere).
std::string Sep();

// A CString of UTF-8 bytes.
CString Str(const std::string& utf8);
// The UTF-8 bytes of a CString ("" without storage).
std::string Utf8(const CString& text);
std::string Utf8(const wchar_t* text);

bool FileExists(const std::string& path);
Bytes ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const Bytes& bytes);
std::uint64_t FileSizeOf(const std::string& path);
std::vector<std::string> FolderEntries(const std::string& folder);  // sorted names

// Little-endian field helpers.
void Put16(Bytes& b, std::uint32_t v);
void Put32(Bytes& b, std::uint32_t v);
void PutId(Bytes& b, const char* id);
std::uint16_t Get16(const Bytes& b, std::size_t at);
std::uint32_t Get32(const Bytes& b, std::size_t at);

// A "fmt " chunk body of 16 bytes (plus extra bytes when given).
Bytes FormatBody(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                 std::uint16_t blockAlign = 0, const Bytes& extra = {});
// An extensible "fmt " body (40 bytes) with the given sub-format tag, valid bits and mask.
Bytes ExtensibleFormatBody(std::uint16_t subTag, std::uint16_t channels, std::uint32_t rate,
                           std::uint16_t containerBits, std::uint16_t validBits,
                           std::uint32_t channelMask);

// A RIFF/WAVE file from chunks, in order; odd-sized chunks get their pad byte unless told not
// to. The RIFF size field is computed.
struct Chunk {
    std::string id;
    Bytes body;
    std::uint32_t declaredSize = 0xFFFFFFFFu;  // the size field; all ones: body.size()
    bool pad = true;
};
Bytes MakeRiff(const std::vector<Chunk>& chunks);
// The same chunks in the 64-bit form (id "RF64" or "BW64"): a 28-byte "ds64" chunk first with
// the RIFF and data sizes, where the 32-bit RIFF and data sizes are all ones.
Bytes MakeRf64(const std::vector<Chunk>& chunks, const char* id = "RF64");

// count samples of amplitude x sin(step x i + phase), rounded.
std::vector<std::int16_t> Sine(int count, double amplitude, double step, double phase = 0.0);

// A canonical 44-byte-header 16-bit PCM file.
Bytes Pcm16Wav(std::uint32_t rate, std::uint16_t channels,
               const std::vector<std::int16_t>& samples);

// Reads back a 16-bit output written by the program (56-byte header): its samples.
std::vector<std::int16_t> SamplesOf(const Bytes& file, std::size_t headerBytes = 56);

// Points the platform's folder for user settings (XDG_CONFIG_HOME, APPDATA on Windows) at
// folder while it exists. Outside of it, every test program sees one below its own program
// file, where nothing can be read or made: no test reads or writes the settings of the user
// who runs it.
class UserConfigFolder {
  public:
    explicit UserConfigFolder(const std::string& folder);
    ~UserConfigFolder();
    UserConfigFolder(const UserConfigFolder&) = delete;
    UserConfigFolder& operator=(const UserConfigFolder&) = delete;

  private:
    std::string m_previous;
};

// Records every diagnostic line while it exists.
class DiagnosticRecorder {
  public:
    DiagnosticRecorder();
    ~DiagnosticRecorder();
    std::vector<std::wstring> Lines() const;
    int Count(const std::wstring& prefix) const;  // lines that start with prefix
};

// Records the observer calls as text: "begin 3", "file 0", "progress 45", "result 0 Converted",
// "end 1", "batch-end 0".
class RecordingObserver : public ConversionObserver {
  public:
    void OnBatchBegin(int fileCount) override;
    void OnFileBegin(int index) override;
    void OnFileProgress(unsigned percent) override;
    void OnFileResult(int index, const FileResult& result) override;
    void OnFileEnd(int filesDone) override;
    void OnBatchEnd(bool stopped) override;

    std::vector<std::string> calls;
    std::vector<FileStatus> statuses;
    std::vector<std::string> outputs;  // output path of each result (UTF-8)
};

// Sets a flag on a chosen call (for stop tests).
class StoppingObserver : public RecordingObserver {
  public:
    StoppingObserver(std::atomic<int>& flag, int stopInFile, unsigned atProgressCall)
        : m_flag(flag), m_file(stopInFile), m_at(atProgressCall) {}
    void OnFileBegin(int index) override;
    void OnFileProgress(unsigned percent) override;

  private:
    std::atomic<int>& m_flag;
    int m_file;
    unsigned m_at;
    int m_current = -1;
    unsigned m_calls = 0;
};

}  // namespace testing_support
