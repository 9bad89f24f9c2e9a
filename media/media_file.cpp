#include "media/media_file.h"

CMediaFile::~CMediaFile() {
    CFile::Close();
}

int CMediaFile::Create(const CString& path, bool overwrite) {
    return CreateForWrite(path, overwrite) == 0 ? 0 : 1;
}

bool CMediaFile::Open(const CString& path) {
    ResetCounters();
    if (!OpenForRead(path)) return false;
    SetBlock(m_blockBytes, m_blockDuration);
    return true;
}

bool CMediaFile::OpenFile(const CString& path) {
    return OpenForRead(path) != 0;
}

int CMediaFile::CreateRaw(const CString& path, bool overwrite) {
    return CreateForWrite(path, overwrite);
}

void CMediaFile::Rewind() {
    m_readCountA = 0;
    m_readCountB = 0;
    Seek(0);
}

void CMediaFile::SeekSeconds(std::uint32_t) {}

bool CMediaFile::WriteData(const void* buffer, std::uint32_t bytes) {
    if (IsReading()) return true;
    return Write(buffer, bytes) == bytes;
}

std::uint32_t CMediaFile::ReadCounted(void* buffer, std::uint32_t length, std::uint32_t* counter) {
    if (!IsReading() || *counter >= static_cast<std::uint32_t>(m_blockCount)) return 0;
    ++*counter;
    std::uint32_t bytes = length;
    if (m_blockBytes != 0 && static_cast<std::uint32_t>(m_blockBytes) < length) {
        bytes = static_cast<std::uint32_t>(m_blockBytes);
    }
    return Read(buffer, bytes);
}

std::uint32_t CMediaFile::ReadBlock(void* buffer, std::uint32_t length) {
    return ReadCounted(buffer, length, &m_readCountB);
}

std::uint32_t CMediaFile::ReadNextBlock(void* buffer, std::uint32_t length) {
    return ReadCounted(buffer, length, &m_readCountA);
}

bool CMediaFile::SetParams(const MediaParams*) {
    return true;
}

const MediaParams* CMediaFile::GetParams() const {
    return nullptr;
}

bool CMediaFile::WriteSamples(const void* buffer, std::uint32_t bytes) {
    return WriteData(buffer, bytes);
}

std::uint32_t CMediaFile::ReadAt(void* buffer, std::uint32_t bytes, std::uint64_t position) {
    return Read(buffer, bytes, position);
}

std::uint32_t CMediaFile::CurrentSecond() {
    return 0;
}

bool CMediaFile::IsEndOfData() {
    return IsEnd();
}

void CMediaFile::SetBlock(std::int32_t bytes, std::int32_t duration) {
    m_blockBytes = bytes;
    m_blockDuration = duration;
    if (bytes > 0) {
        std::uint64_t count =
            (Size() + static_cast<std::uint64_t>(bytes) - 1) / static_cast<std::uint64_t>(bytes);
        m_blockCount = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(count);
    }
}
