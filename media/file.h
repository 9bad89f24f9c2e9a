// A binary file over the platform's file handle: open for reading, create (new only, or
// truncating), read and write at the current position or at an offset, seek, flush, close.
// Results are plain values: 1/0, true/false, or the creation codes 0 (created), -1 (error) and
// -2 (the name is taken).
#pragma once

#include <cstdint>

#include "base/cstring.h"
#include "platform/platform.h"

// "At the current position" for Read and Write.
constexpr std::uint64_t kCurrentPosition = ~std::uint64_t{0};

class CFile {
  public:
    CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;
    virtual ~CFile();

    // Opens an existing file for reading (others may read it too). Fails when this object
    // already holds a file or the name is empty. 1 on success, 0 on failure.
    int OpenForRead(const CString& name);
    int OpenForRead(const wchar_t* path);

    // Creates a file for writing: with overwrite an existing file is truncated, without it an
    // existing name fails. 0 on success; -1 on any failure with overwrite, when this object
    // already holds a file or the name is empty; -2 without overwrite when the name is taken,
    // -1 when creation failed for another reason (folder missing, no access, invalid name).
    int CreateForWrite(const CString& name, bool overwrite);
    int CreateForWrite(const wchar_t* path, bool overwrite);

    // Creates a new file beside target under the first free name among "<target>.tmp",
    // "<target>.tmp1", ... "<target>.tmp99", never over anything already there (a file, or a
    // link planted under that name, which is not followed). 0 with Name() the name chosen; -1
    // when none could be created.
    int CreateTemporaryBeside(const CString& target);
    // Whether one of the names CreateTemporaryBeside tries is free (nothing stands there).
    // Only looks: nothing is created.
    static bool HasFreeTemporaryName(const CString& target);

    virtual void Close();
    // One read of `bytes` bytes at position (or the current position); the bytes read, 0 on
    // failure or with no file.
    virtual std::uint32_t Read(void* buffer, std::uint32_t bytes,
                               std::uint64_t position = kCurrentPosition);
    // Writes at position (or the current position, which adds to Size). A write at an explicit
    // position leaves the file position at the end of the file. The bytes written.
    virtual std::uint32_t Write(const void* buffer, std::uint32_t bytes,
                                std::uint64_t position = kCurrentPosition);
    virtual bool Seek(std::uint64_t position);
    // Writes what the system still holds for this file through to the disk: 1 when that
    // succeeded, 0 when it failed (LastError tells why) or there is no file.
    virtual int Flush();
    virtual bool IsEnd();

    bool IsOpen() const { return m_handle != platform::kNoFile; }
    bool IsReading() const { return m_reading != 0; }
    bool IsWriting() const { return m_writing != 0; }
    // After an open: the file's size; after a create: the bytes written at the current position.
    std::uint64_t Size() const { return m_size; }
    // The current file position, 0 when there is no file or it cannot be read.
    std::uint64_t Position() const;
    const CString& Name() const { return m_name; }
    // The system error code of the last failed open, create, read, write or flush.
    int LastError() const { return m_lastError; }

  protected:
    platform::FileHandle Handle() const { return m_handle; }
    void SetSize(std::uint64_t size) { m_size = size; }
    void RecordError() { m_lastError = platform::LastError(); }

  private:
    platform::FileHandle m_handle = platform::kNoFile;
    CString m_name;
    std::int32_t m_reading = 1;
    std::int32_t m_writing = 0;
    std::uint64_t m_size = 0;
    int m_lastError = 0;
};
