// The format-neutral middle class of media files: reading in fixed blocks with two read
// counters, and a record of media parameters.
#pragma once

#include <cstdint>

#include "media/file.h"

// The format of a media file.
struct MediaParams {
    std::int32_t kind = 0;               // 1 for WAV
    std::int32_t samplingFrequency = 0;  // Hz
    std::int32_t channels = 0;
    std::int32_t bitsPerSample = 0;
    bool floatSamples = false;  // IEEE float (32 bits) rather than integer PCM
};

class CMediaFile : public CFile {
  public:
    CMediaFile() = default;
    ~CMediaFile() override;

    // Creates the file only: 0 when created, 1 when creation failed.
    virtual int Create(const CString& path, bool overwrite);
    // Resets the block count and read counters, opens for reading, then applies SetBlock.
    virtual bool Open(const CString& path);
    // Opens for reading only.
    virtual bool OpenFile(const CString& path);
    // The plain create result (0, -1, -2) without any header.
    virtual int CreateRaw(const CString& path, bool overwrite);
    virtual void Rewind();
    virtual void SeekSeconds(std::uint32_t seconds);
    // Writes all bytes at the current position; true when opened for reading.
    virtual bool WriteData(const void* buffer, std::uint32_t bytes);
    // Reads the next block (counter B); min(block bytes, length) bytes, or length when the block
    // size is 0. 0 once block count blocks were read or when not opened for reading.
    virtual std::uint32_t ReadBlock(void* buffer, std::uint32_t length);
    virtual bool SetParams(const MediaParams* params);
    virtual const MediaParams* GetParams() const;
    virtual bool WriteSamples(const void* buffer, std::uint32_t bytes);
    // As ReadBlock, with counter A.
    virtual std::uint32_t ReadNextBlock(void* buffer, std::uint32_t length);
    virtual std::uint32_t ReadAt(void* buffer, std::uint32_t bytes, std::uint64_t position);
    virtual std::uint32_t CurrentSecond();
    virtual bool IsEndOfData();
    virtual void SetBlock(std::int32_t bytes, std::int32_t duration);
    std::int32_t GetBlockBytes() const { return m_blockBytes; }
    std::int32_t GetBlockCount() const { return m_blockCount; }
    // Read counter A when which is 1, else read counter B.
    std::uint32_t GetReadCount(int which) const { return which == 1 ? m_readCountA : m_readCountB; }

  protected:
    std::uint32_t ReadCounted(void* buffer, std::uint32_t length, std::uint32_t* counter);
    void ResetCounters() {
        m_blockCount = 0;
        m_readCountA = 0;
        m_readCountB = 0;
    }

    std::int32_t m_blockBytes = 0;
    std::int32_t m_blockDuration = 0;
    std::int32_t m_blockCount = 0;
    std::uint32_t m_readCountA = 0;
    std::uint32_t m_readCountB = 0;
    MediaParams m_params;
};
