// RIFF/WAVE files. Opening parses the header, decides whether the file is a WAV file that can be
// read at all, and leaves the file at the first sample. Creating validates a format, creates the
// file without or with overwriting and writes a 56-byte header ("RIFF", "fmt ", "fact",
// "data") that Close completes with the final sizes: integer PCM (format tag 1) or 32-bit IEEE
// float (tag 3, for which the "fact" chunk with the frame count is the one a reader expects).
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "media/media_file.h"
#include "media/wave_format.h"

// The size of the header that Create writes.
constexpr std::uint32_t kWaveHeaderBytes = 56;

class CWaveFile : public CMediaFile {
  public:
    CWaveFile() = default;
    ~CWaveFile() override;

    // Completes the header of a created file (see Finish), then closes.
    void Close() override;
    // Validates the media parameters (channels, frequency, bits; float samples are 32 bits),
    // creates the file and writes the header with zero sizes. 0 created; -1 invalid format, already
    // open, empty path, a failed header write (a file made new is then removed again), or creation
    // failed for a reason other than the name being taken; -2 without overwrite when the name is
    // taken.
    int Create(const CString& path, bool overwrite) override;
    bool Open(const CString& path) override;
    // Parses the header: every chunk is stepped over by its declared size, the first "fmt "
    // chunk gives the format, the "data" chunk's size (cut to the end of the file) bounds the
    // samples. RF64 and BW64 files are read too: there a data size of 0xFFFFFFFF stands for the
    // 64-bit one in the "ds64" chunk. A size of 0 (or 0xFFFFFFFF in a RIFF file) means "to the
    // end of the file", unless well-formed chunks follow the data chunk's header up to the end:
    // then the data is empty. False, with OpenError() telling why, when the file is not a WAV
    // file this program can read.
    bool OpenFile(const CString& path) override;
    void Rewind() override;
    void SeekSeconds(std::uint32_t seconds) override;
    bool WriteData(const void* buffer, std::uint32_t bytes) override;
    bool SetParams(const MediaParams* params) override;
    const MediaParams* GetParams() const override { return &m_params; }
    // Appends sample bytes at the current position and counts the frames. Only whole frames
    // that keep the file inside the RIFF size limit are written; false when not everything
    // was written (limit reached or a write error such as a full disk).
    bool WriteSamples(const void* buffer, std::uint32_t bytes) override;
    std::uint32_t CurrentSecond() override;
    bool IsEndOfData() override;
    void SetBlock(std::int32_t bytes, std::int32_t duration) override;

    // Completes the header of a created file with the final sizes (whole frames only; a partial
    // frame left by a failed write is cut off) and closes it. The chunks given to SetTrailer go
    // after the samples (and their pad byte), counted in the RIFF size; when they do not fit
    // within it they are left out, and when they cannot be written the file is cut back to its
    // samples and Finish fails. False when the header or the chunks could not be written. For a
    // file opened for reading it only closes.
    bool Finish();
    // Whole chunks (headers, bodies, pad bytes) that Finish writes after the samples.
    void SetTrailer(std::vector<std::uint8_t> chunks) { m_trailer = std::move(chunks); }

    // Why the last OpenFile failed.
    WaveError OpenError() const { return m_openError; }
    const SampleFormat& Format() const { return m_format; }
    // File offset of the first sample byte; 0 when no data chunk was found.
    std::uint64_t DataOffset() const { return m_Offset; }
    // Bytes of sample data (reading: from the data chunk; writing: written so far).
    std::uint64_t DataBytes() const { return m_dataBytes; }
    std::uint64_t FrameCount() const { return m_frameCount; }
    std::uint16_t BlockAlign() const { return m_format.blockAlign; }
    // True once WriteSamples refused bytes because of the RIFF size limit.
    bool LimitReached() const { return m_limitReached; }
    // The most sample bytes a created file may hold, with the chunks after them; by default the
    // most a RIFF size field can describe. Lowering it lets callers reserve room or exercise the
    // limit.
    void SetDataLimit(std::uint32_t bytes) { m_dataLimit = bytes; }
    // Has WriteSamples write the header again after about every `bytes` bytes of samples (0:
    // only Finish writes it), so that a file whose writer is killed still counts most of its
    // samples for readers that go by the sizes.
    void SetHeaderRefresh(std::uint32_t bytes) { m_refreshBytes = bytes; }

  private:
    bool WriteHeader(std::uint32_t dataBytes);
    std::uint32_t m_refreshBytes = 0;
    std::uint64_t m_headerCounts = 0;  // sample bytes the header written last counts
    // Writes the trailer after dataBytes of samples; true when written or left out.
    bool WriteTrailer(std::uint32_t dataBytes);
    // True when the bytes from pos on are whole chunks (printable ids, sizes within the file,
    // pad bytes) that end exactly at the end of the file.
    bool ChunksReachTheEnd(std::uint64_t pos, std::uint64_t fileSize);
    bool Reject(WaveError error);

    SampleFormat m_format;
    std::uint64_t m_Offset = 0;
    std::uint64_t m_dataBytes = 0;
    std::uint64_t m_frameCount = 0;
    std::uint32_t m_dataLimit = 0xFFFFFFFEu - (kWaveHeaderBytes - 8);
    std::vector<std::uint8_t> m_trailer;
    std::uint32_t m_trailerBytes = 0;  // written after the samples, with their pad byte
    bool m_created = false;
    bool m_limitReached = false;
    WaveError m_openError = WaveError::None;
};
