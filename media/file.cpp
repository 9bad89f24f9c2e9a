#include "media/file.h"

#include "base/format.h"

CFile::~CFile() {
    if (m_handle != platform::kNoFile) platform::Close(m_handle);
    m_handle = platform::kNoFile;
    m_size = 0;
}

int CFile::OpenForRead(const wchar_t* path) {
    CString name(path);
    return OpenForRead(name);
}

int CFile::OpenForRead(const CString& name) {
    if (m_handle != platform::kNoFile || name.Length() == 0) return 0;
    if (&name != &m_name) m_name.AssignString(name);
    platform::FileHandle handle = platform::OpenForRead(m_name.WideText());
    if (handle == platform::kNoFile) {
        RecordError();
        return 0;
    }
    m_handle = handle;
    m_reading = 1;
    m_writing = 0;
    std::uint64_t size;
    if (platform::FileSize(m_handle, &size)) m_size = size;
    return 1;
}

int CFile::CreateForWrite(const wchar_t* path, bool overwrite) {
    CString name(path);
    return CreateForWrite(name, overwrite);
}

int CFile::CreateForWrite(const CString& name, bool overwrite) {
    if (m_handle != platform::kNoFile || name.Length() == 0) return -1;
    if (&name != &m_name) m_name.AssignString(name);
    platform::FileHandle handle;
    platform::CreateResult result = platform::CreateForWrite(m_name.WideText(), overwrite, &handle);
    if (result != platform::CreateResult::Created) {
        RecordError();
        return (!overwrite && result == platform::CreateResult::Exists) ? -2 : -1;
    }
    m_handle = handle;
    m_reading = 0;
    m_writing = 1;
    m_size = 0;
    return 0;
}

namespace {

// Temporary names beside a file: "<target>.tmp", then "<target>.tmp1" to "<target>.tmp99".
constexpr int kTemporaryNames = 100;

CString TemporaryName(const CString& target, int i) {
    CString name;
    name.AssignString(target);
    name.Append(L".tmp");
    if (i > 0) {
        wchar_t number[16];
        FormatTextN(number, 16, L"%d", i);
        name.Append(number);
    }
    return name;
}

}  // namespace

int CFile::CreateTemporaryBeside(const CString& target) {
    if (m_handle != platform::kNoFile || target.Length() == 0) return -1;
    int result = -2;
    for (int i = 0; i < kTemporaryNames && result == -2; ++i) {
        result = CreateForWrite(TemporaryName(target, i), false);
    }
    return result == 0 ? 0 : -1;
}

bool CFile::HasFreeTemporaryName(const CString& target) {
    if (target.Length() == 0) return false;
    for (int i = 0; i < kTemporaryNames; ++i) {
        CString name = TemporaryName(target, i);
        if (!platform::PathExists(name.WideText())) return true;
    }
    return false;
}

void CFile::Close() {
    if (m_handle != platform::kNoFile) platform::Close(m_handle);
    m_handle = platform::kNoFile;
    m_size = 0;
}

std::uint32_t CFile::Read(void* buffer, std::uint32_t bytes, std::uint64_t position) {
    if (m_handle == platform::kNoFile) return 0;
    if (position != kCurrentPosition && !Seek(position)) return 0;
    std::uint32_t done = 0;
    if (!platform::Read(m_handle, buffer, bytes, &done)) {
        RecordError();
        return 0;
    }
    return done;
}

std::uint32_t CFile::Write(const void* buffer, std::uint32_t bytes, std::uint64_t position) {
    if (m_handle == platform::kNoFile) return 0;
    if (position != kCurrentPosition && !Seek(position)) return 0;
    std::uint32_t done = 0;
    // A failed write may still have written part of the bytes (disk full): count those.
    if (!platform::Write(m_handle, buffer, bytes, &done)) RecordError();
    if (position == kCurrentPosition) {
        m_size += done;
    } else {
        if (position + done > m_size) m_size = position + done;
        platform::Seek(m_handle, 0, platform::SeekFrom::End, nullptr);
    }
    return done;
}

bool CFile::Seek(std::uint64_t position) {
    if (m_handle == platform::kNoFile) return false;
    if (position > static_cast<std::uint64_t>(INT64_MAX)) return false;
    return platform::Seek(m_handle, static_cast<std::int64_t>(position), platform::SeekFrom::Begin,
                          nullptr);
}

int CFile::Flush() {
    if (m_handle == platform::kNoFile) return 0;
    if (!platform::Flush(m_handle)) {
        RecordError();
        return 0;
    }
    return 1;
}

bool CFile::IsEnd() {
    if (m_handle == platform::kNoFile) return true;
    return Position() >= m_size;
}

std::uint64_t CFile::Position() const {
    std::uint64_t position = 0;
    if (m_handle == platform::kNoFile ||
        !platform::Seek(m_handle, 0, platform::SeekFrom::Current, &position)) {
        return 0;
    }
    return position;
}
