#include "media/wave_file.h"

#include <cstring>

#include "base/diagnostic.h"

namespace {

// Chunks walked before the sample data before the file is given up as damaged, and after an
// open-ended data chunk before its bytes are taken for samples.
constexpr unsigned kMaxChunks = 65536;

void Put16(std::uint8_t* p, std::uint32_t value) {
    p[0] = static_cast<std::uint8_t>(value);
    p[1] = static_cast<std::uint8_t>(value >> 8);
}

void Put32(std::uint8_t* p, std::uint32_t value) {
    Put16(p, value & 0xFFFF);
    Put16(p + 2, value >> 16);
}

std::uint32_t Get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t Get64(const std::uint8_t* p) {
    return Get32(p) | (static_cast<std::uint64_t>(Get32(p + 4)) << 32);
}

bool IsId(const std::uint8_t* p, const char* id) {
    return std::memcmp(p, id, 4) == 0;
}

// Chunk ids are four printable ASCII characters ("LIST", "id3 ").
bool IsPrintableId(const std::uint8_t* p) {
    for (int i = 0; i < 4; ++i) {
        if (p[i] < 0x20 || p[i] > 0x7E) return false;
    }
    return true;
}

}  // namespace

CWaveFile::~CWaveFile() {
    Close();
}

void CWaveFile::Close() {
    Finish();
}

bool CWaveFile::Finish() {
    bool ok = true;
    if (IsOpen() && m_created) {
        // Only whole frames count; a write cut short by a full disk can leave part of one.
        std::uint64_t n = Size();
        if (n > m_dataLimit) n = m_dataLimit;
        const std::uint16_t align = m_format.blockAlign;
        if (align != 0) n -= n % align;
        if (n != Size()) ok = platform::Truncate(Handle(), kWaveHeaderBytes + n);
        m_trailerBytes = 0;
        if (ok && !m_trailer.empty()) ok = WriteTrailer(static_cast<std::uint32_t>(n));
        m_trailer.clear();
        ok = WriteHeader(static_cast<std::uint32_t>(n)) && ok;
        m_dataBytes = n;
        m_frameCount = align != 0 ? n / align : 0;
    }
    CFile::Close();
    m_created = false;
    return ok;
}

bool CWaveFile::WriteHeader(std::uint32_t dataBytes) {
    const SampleFormat& f = m_format;
    std::uint8_t header[kWaveHeaderBytes];
    std::memcpy(header, "RIFF", 4);
    Put32(header + 4, (kWaveHeaderBytes - 8) + dataBytes + m_trailerBytes);
    std::memcpy(header + 8, "WAVEfmt ", 8);
    Put32(header + 16, 16);
    Put16(header + 20, f.formatTag);
    Put16(header + 22, f.channels);
    Put32(header + 24, f.samplesPerSecond);
    Put32(header + 28, f.averageBytesPerSecond);
    Put16(header + 32, f.blockAlign);
    Put16(header + 34, f.bitsPerSample);
    std::memcpy(header + 36, "fact", 4);
    Put32(header + 40, 4);
    Put32(header + 44, f.blockAlign != 0 ? dataBytes / f.blockAlign : 0);
    std::memcpy(header + 48, "data", 4);
    Put32(header + 52, dataBytes);

    // Written through the handle so that the header does not count as sample data.
    std::uint32_t done = 0;
    if (!platform::Seek(Handle(), 0, platform::SeekFrom::Begin, nullptr) ||
        !platform::Write(Handle(), header, sizeof header, &done)) {
        RecordError();
        return false;
    }
    return true;
}

bool CWaveFile::WriteTrailer(std::uint32_t dataBytes) {
    // Samples of an odd byte count are followed by a pad byte before the next chunk.
    const std::uint32_t pad = dataBytes & 1;
    if (static_cast<std::uint64_t>(dataBytes) + pad + m_trailer.size() > m_dataLimit) {
        CString name;
        name.AssignString(Name());
        DiagnosticPrint(L"metadata: left out, it would take %s past the 4 GiB limit\n",
                        name.WideText());
        return true;
    }
    if (pad != 0) m_trailer.insert(m_trailer.begin(), 0);
    const std::uint32_t bytes = static_cast<std::uint32_t>(m_trailer.size());
    if (Write(m_trailer.data(), bytes, kWaveHeaderBytes + static_cast<std::uint64_t>(dataBytes)) !=
        bytes) {
        platform::Truncate(Handle(), kWaveHeaderBytes + dataBytes);
        return false;
    }
    m_trailerBytes = bytes;
    return true;
}

int CWaveFile::Create(const CString& path, bool overwrite) {
    const std::uint32_t channels = static_cast<std::uint32_t>(m_params.channels) & 0xFFFF;
    const std::uint32_t bits = static_cast<std::uint32_t>(m_params.bitsPerSample) & 0xFFFF;
    const std::uint32_t rate =
        m_params.samplingFrequency > 0 ? static_cast<std::uint32_t>(m_params.samplingFrequency) : 0;
    const std::uint16_t align = static_cast<std::uint16_t>((bits * channels) / 8);
    const std::uint64_t average = static_cast<std::uint64_t>(align) * rate;
    const bool floats = m_params.floatSamples;
    if (channels == 0 || rate == 0 || align == 0 || bits == 0 || average == 0 ||
        average > 0xFFFFFFFFu || (floats && bits != 32)) {
        return -1;
    }

    int result = CreateForWrite(path, overwrite);
    if (result != 0) return result;

    m_format = SampleFormat();
    m_format.formatTag = floats ? 3 : 1;
    m_format.encoding = floats ? SampleEncoding::Float : SampleEncoding::Pcm;
    m_format.channels = static_cast<std::uint16_t>(channels);
    m_format.samplesPerSecond = rate;
    m_format.averageBytesPerSecond = static_cast<std::uint32_t>(average);
    m_format.blockAlign = align;
    m_format.bitsPerSample = static_cast<std::uint16_t>(bits);
    m_format.validBits = m_format.bitsPerSample;
    m_format.containerBytes = static_cast<std::uint16_t>(align / channels);
    m_Offset = kWaveHeaderBytes;
    m_dataBytes = 0;
    m_frameCount = 0;
    m_limitReached = false;
    m_headerCounts = 0;
    m_trailer.clear();
    m_trailerBytes = 0;
    m_created = true;

    if (!WriteHeader(0)) {
        // A file without a header is no WAV file, and would only take the name from the next
        // output: a file made new here goes again.
        m_created = false;
        CFile::Close();
        SetSize(0);
        if (!overwrite) {
            CString name;
            name.AssignString(Name());
            platform::DeleteFilePath(name.WideText());
        }
        return -1;
    }
    return 0;
}

bool CWaveFile::Open(const CString& path) {
    return OpenFile(path);
}

bool CWaveFile::Reject(WaveError error) {
    m_openError = error;
    Close();
    return false;
}

bool CWaveFile::ChunksReachTheEnd(std::uint64_t pos, std::uint64_t fileSize) {
    // Samples that happen to start like a chunk header are not taken for one unless the chain
    // goes on, chunk by chunk, to the very end of the file.
    for (unsigned chunks = 0; chunks < kMaxChunks; ++chunks) {
        if (pos == fileSize) return chunks > 0;
        std::uint8_t head[8];
        if (fileSize - pos < 8 || Read(head, sizeof head, pos) != sizeof head ||
            !IsPrintableId(head)) {
            return false;
        }
        const std::uint32_t size = Get32(head + 4);
        if (size > fileSize - pos - 8) return false;
        pos += 8 + static_cast<std::uint64_t>(size);
        // The pad byte of an odd-sized chunk, when it is there, as OpenFile's walk steps over it.
        if ((size & 1) != 0 && pos < fileSize) {
            std::uint8_t pad = 0xFF;
            if (Read(&pad, 1, pos) == 1 && pad == 0) ++pos;
        }
    }
    return false;
}

bool CWaveFile::OpenFile(const CString& path) {
    ResetCounters();
    m_openError = WaveError::None;
    if (!OpenForRead(path)) {
        m_openError = WaveError::CannotOpen;
        return false;
    }
    m_params = MediaParams();
    m_format = SampleFormat();
    m_Offset = 0;
    m_dataBytes = 0;
    m_frameCount = 0;

    const std::uint64_t fileSize = Size();
    std::uint8_t riff[12];
    if (Read(riff, sizeof riff, 0) != sizeof riff || !IsId(riff + 8, "WAVE")) {
        return Reject(WaveError::NotRiffWave);
    }
    // RF64 (and its twin BW64) is the form for files past 4 GiB: a "ds64" chunk, first, holds
    // the 64-bit sizes, which a 32-bit size of all ones defers to.
    const bool sizes64 = IsId(riff, "RF64") || IsId(riff, "BW64");
    if (!sizes64 && !IsId(riff, "RIFF")) return Reject(WaveError::NotRiffWave);
    std::uint64_t dataSize64 = 0;
    if (sizes64) {
        // Id and size, then the RIFF size, the data size, the sample count (8 bytes each) and
        // the length of a table of other chunks' sizes (4 bytes).
        std::uint8_t ds64[8 + 28];
        if (Read(ds64, sizeof ds64, 12) != sizeof ds64 || !IsId(ds64, "ds64") ||
            Get32(ds64 + 4) < 28) {
            return Reject(WaveError::BadDs64);
        }
        dataSize64 = Get64(ds64 + 16);
    }

    // Walk the chunks by their declared sizes, through the whole file, until "data".
    bool haveFormat = false;
    std::uint64_t pos = 12;
    for (unsigned chunks = 0;; ++chunks) {
        if (chunks == kMaxChunks) return Reject(WaveError::TooManyChunks);
        std::uint8_t head[8];
        if (pos + 8 > fileSize || Read(head, sizeof head, pos) != sizeof head) {
            return Reject(haveFormat ? WaveError::NoData : WaveError::NoFormat);
        }
        const std::uint32_t size = Get32(head + 4);
        const std::uint64_t body = pos + 8;
        if (IsId(head, "data")) {
            if (!haveFormat) return Reject(WaveError::DataBeforeFormat);
            const std::uint64_t available = fileSize - body;
            // 0, all ones outside RF64 and a 64-bit size of 0 mean "to the end": a streaming
            // writer that never came back to fill the size in, with the samples up to the end.
            // A writer that did come back to an empty data chunk leaves chunks after it
            // instead, and those are metadata, not samples.
            std::uint64_t declared = size;
            if (size == 0xFFFFFFFFu) declared = sizes64 ? dataSize64 : 0;
            m_Offset = body;
            if (declared == 0) {
                m_dataBytes = ChunksReachTheEnd(body, fileSize) ? 0 : available;
            } else {
                m_dataBytes = declared > available ? available : declared;
            }
            break;
        }
        if (IsId(head, "fmt ") && !haveFormat) {
            std::uint8_t fmt[40] = {};
            std::uint64_t present = fileSize - body < size ? fileSize - body : size;
            std::uint32_t want = present < sizeof fmt ? static_cast<std::uint32_t>(present)
                                                      : static_cast<std::uint32_t>(sizeof fmt);
            std::uint32_t got = Read(fmt, want, body);
            WaveError error = ParseFormatChunk(fmt, got < want ? got : want, &m_format);
            if (error != WaveError::None) return Reject(error);
            haveFormat = true;
        }
        pos = body + size;
        // An odd-sized chunk is followed by a pad byte; some writers leave it out, so step over
        // it only when it is there (a chunk id never starts with a zero byte).
        if ((size & 1) != 0 && pos < fileSize) {
            std::uint8_t pad = 0xFF;
            if (Read(&pad, 1, pos) == 1 && pad == 0) ++pos;
        }
    }

    m_params.kind = 1;
    m_params.samplingFrequency = static_cast<std::int32_t>(m_format.samplesPerSecond);
    m_params.channels = m_format.channels;
    m_params.bitsPerSample = m_format.bitsPerSample;
    m_frameCount = m_dataBytes / m_format.blockAlign;
    SetBlock(0, m_blockDuration);
    Rewind();
    return true;
}

void CWaveFile::Rewind() {
    m_readCountA = 0;
    m_readCountB = 0;
    Seek(m_Offset);
}

void CWaveFile::SeekSeconds(std::uint32_t seconds) {
    if (!IsOpen()) return;
    std::uint64_t address =
        static_cast<std::uint64_t>(seconds) * m_format.blockAlign * m_format.samplesPerSecond +
        m_Offset;
    Seek(address);
    DiagnosticPrint(L"adr = %d, m_Offset=%d, SamplesPerSec=%d\n", static_cast<int>(address),
                    static_cast<int>(m_Offset), static_cast<int>(m_format.samplesPerSecond));
}

bool CWaveFile::WriteData(const void*, std::uint32_t) {
    return false;
}

bool CWaveFile::SetParams(const MediaParams* params) {
    if (params == nullptr) return false;
    m_params = *params;
    return true;
}

bool CWaveFile::WriteSamples(const void* buffer, std::uint32_t bytes) {
    if (IsReading()) return true;
    const std::uint16_t align = m_format.blockAlign;
    std::uint64_t room = Size() < m_dataLimit ? m_dataLimit - Size() : 0;
    std::uint32_t allowed = bytes;
    if (allowed > room) {
        allowed = static_cast<std::uint32_t>(room);
        if (align != 0) allowed -= allowed % align;
        m_limitReached = true;
    }
    std::uint32_t written = allowed > 0 ? Write(buffer, allowed) : 0;
    m_dataBytes = Size();
    if (align != 0) m_frameCount = Size() / align;
    if (m_refreshBytes != 0 && align != 0 && m_dataBytes - m_headerCounts >= m_refreshBytes) {
        // After a power cut the disk may hold less than the header counts: readers cut the
        // data chunk to the end of the file.
        const std::uint64_t whole = m_dataBytes - m_dataBytes % align;
        m_headerCounts = whole;
        WriteHeader(static_cast<std::uint32_t>(whole));
        platform::Seek(Handle(), 0, platform::SeekFrom::End, nullptr);
    }
    return written == bytes;
}

std::uint32_t CWaveFile::CurrentSecond() {
    const std::uint64_t perSecond =
        static_cast<std::uint64_t>(m_format.blockAlign) * m_format.samplesPerSecond;
    const std::uint64_t position = Position();
    if (perSecond == 0 || position < m_Offset) return 0;
    return static_cast<std::uint32_t>((position - m_Offset) / perSecond);
}

bool CWaveFile::IsEndOfData() {
    if (m_format.blockAlign == 0) return true;
    const std::uint64_t position = Position();
    if (position < m_Offset) return false;
    return (position - m_Offset) / m_format.blockAlign >= m_frameCount;
}

void CWaveFile::SetBlock(std::int32_t, std::int32_t duration) {
    m_blockDuration = duration;
    const std::uint64_t frames =
        static_cast<std::uint64_t>(duration > 0 ? duration : 0) * m_format.samplesPerSecond / 1000;
    m_blockBytes = static_cast<std::int32_t>(frames * m_format.blockAlign & 0x7FFFFFFF);
    if (frames != 0) {
        std::uint64_t count = (m_frameCount + frames - 1) / frames;
        m_blockCount = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(count);
    }
}
