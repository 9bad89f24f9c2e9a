#include "base/cstring.h"

#include <cstring>
#include <cwchar>
#include <new>

#include "platform/platform.h"

namespace {

int WideLength(const wchar_t* text) {
    return static_cast<int>(std::wcslen(text));
}

bool IsBlank(char c) {
    return c == 0 || c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

}  // namespace

wchar_t* ToWide(const char* bytes, int count, unsigned codePage) {
    if (bytes == nullptr) count = 0;
    if (count < 0) count = static_cast<int>(std::strlen(bytes));
    int needed = platform::MultiByteToWide(codePage, bytes, count, nullptr, 0);
    if (needed <= 0) needed = count;
    wchar_t* text = new (std::nothrow) wchar_t[static_cast<size_t>(needed) + 1];
    if (text == nullptr) return nullptr;
    std::wmemset(text, 0, static_cast<size_t>(needed) + 1);
    platform::MultiByteToWide(codePage, bytes, count, text, needed);
    return text;
}

char* FromWide(const wchar_t* text, int count, unsigned codePage) {
    if (text == nullptr) count = 0;
    if (count < 0) count = WideLength(text);
    int needed = platform::WideToMultiByte(codePage, text, count, nullptr, 0);
    if (needed < 0) needed = 0;
    char* bytes = new (std::nothrow) char[static_cast<size_t>(needed) + 1];
    if (bytes == nullptr) return nullptr;
    std::memset(bytes, 0, static_cast<size_t>(needed) + 1);
    platform::WideToMultiByte(codePage, text, count, bytes, needed);
    return bytes;
}

CString::CString(const wchar_t* text) {
    Assign(text, -1);
}

CString::CString(CString&& other) noexcept
    : m_storage(other.m_storage),
      m_capacity(other.m_capacity),
      m_length(other.m_length),
      m_wideView(other.m_wideView) {
    other.m_storage = nullptr;
    other.m_capacity = other.m_length = 0;
    other.m_wideView = nullptr;
}

CString& CString::operator=(CString&& other) noexcept {
    if (this != &other) {
        Clear();
        m_storage = other.m_storage;
        m_capacity = other.m_capacity;
        m_length = other.m_length;
        m_wideView = other.m_wideView;
        other.m_storage = nullptr;
        other.m_capacity = other.m_length = 0;
        other.m_wideView = nullptr;
    }
    return *this;
}

CString::~CString() {
    Clear();
}

void CString::Clear() {
    delete[] m_storage;
    delete[] m_wideView;
    m_storage = nullptr;
    m_wideView = nullptr;
    m_capacity = 0;
    m_length = 0;
}

// Replaces the storage by a zero-filled buffer of capacity + extra + 1 bytes holding the old
// content; on failure the string is unchanged.
bool CString::Grow(int extra) {
    long long newCapacity = static_cast<long long>(m_capacity) + extra + 1;
    if (extra < 0 || newCapacity > 0x7FFFFFFF) return false;
    char* grown = new (std::nothrow) char[static_cast<size_t>(newCapacity)];
    if (grown == nullptr) return false;
    std::memset(grown, 0, static_cast<size_t>(newCapacity));
    if (m_storage != nullptr) std::memcpy(grown, m_storage, static_cast<size_t>(m_length));
    delete[] m_storage;
    m_storage = grown;
    m_capacity = static_cast<std::int32_t>(newCapacity);
    return true;
}

void CString::StoreBytes(const char* bytes, int count) {
    if (m_storage == nullptr || m_capacity < count + 1) {
        if (!Grow(count + 1)) return;
    }
    std::memmove(m_storage, bytes, static_cast<size_t>(count));
    m_length = count;
    m_storage[count] = 0;
}

void CString::AddBytes(const char* bytes, int count) {
    if (m_storage != nullptr && bytes >= m_storage && bytes < m_storage + m_capacity) {
        // Appending a piece of this string: growing would free the bytes being copied.
        CString copy;
        copy.StoreBytes(bytes, count);
        if (copy.m_storage != nullptr) AddBytes(copy.m_storage, count);
        return;
    }
    if (m_storage == nullptr || m_capacity < m_length + count + 1) {
        if (count > 0x7FFFFFFF - 257 - m_capacity || !Grow(count + 256)) return;
    }
    std::memmove(m_storage + m_length, bytes, static_cast<size_t>(count));
    m_length += count;
    m_storage[m_length] = 0;
}

void CString::Assign(const wchar_t* text, int count) {
    if (text == nullptr) {
        Clear();
        return;
    }
    if (count < 0) count = WideLength(text);
    if (count == 0) {
        Clear();
        return;
    }
    char* bytes = FromWide(text, count, kStoredCodePage);
    if (bytes == nullptr) return;
    int n = static_cast<int>(std::strlen(bytes));
    if (n == 0) {
        Clear();
    } else {
        StoreBytes(bytes, n);
    }
    delete[] bytes;
}

void CString::AssignString(const CString& other) {
    if (&other == this) return;
    if (other.m_storage == nullptr) {
        Clear();
        return;
    }
    StoreBytes(other.m_storage, other.m_length);
}

void CString::AssignBytes(const char* bytes, int count) {
    if (bytes == nullptr) {
        Clear();
        return;
    }
    int n = 0;
    while ((count < 0 || n < count) && bytes[n] != 0) ++n;
    if (n == 0) {
        Clear();
        return;
    }
    StoreBytes(bytes, n);
}

void CString::Append(const wchar_t* text) {
    if (text == nullptr || text[0] == 0) return;
    char* bytes = FromWide(text, -1, kStoredCodePage);
    if (bytes == nullptr) return;
    int n = static_cast<int>(std::strlen(bytes));
    if (n > 0) AddBytes(bytes, n);
    delete[] bytes;
}

void CString::AppendString(const CString& other) {
    if (other.m_storage == nullptr) return;
    AddBytes(other.m_storage, other.m_length);
}

void CString::AppendBytes(const char* bytes, int count) {
    if (bytes == nullptr) return;
    int n = 0;
    while ((count < 0 || n < count) && bytes[n] != 0) ++n;
    if (n > 0) AddBytes(bytes, n);
}

bool CString::Equals(const wchar_t* text) const {
    CString other(text);
    if (m_storage == nullptr || other.m_storage == nullptr) {
        return m_storage == nullptr && other.m_storage == nullptr;
    }
    return std::strcmp(m_storage, other.m_storage) == 0;
}

CString* CString::SubString(int start, int count) const {
    if (m_storage == nullptr || start < 0 || start >= m_length || count < 0) return nullptr;
    if (count > m_length - start) count = m_length - start;
    CString* piece = new (std::nothrow) CString();
    if (piece == nullptr) return nullptr;
    // Count 0 still gives a string with storage (length 0), unlike Assign.
    if (piece->Grow(count + 1)) {
        std::memcpy(piece->m_storage, m_storage + start, static_cast<size_t>(count));
        piece->m_storage[count] = 0;
        piece->m_length = count;
    }
    return piece;
}

void CString::Trim() {
    if (m_storage == nullptr) return;
    int i = 0;
    while (i < m_length && IsBlank(m_storage[i])) ++i;
    if (i == m_length) {
        m_storage[0] = 0;
        m_length = 0;
        return;
    }
    int j = m_length - 1;
    while (j > i && IsBlank(m_storage[j])) --j;
    int n = j - i + 1;
    std::memmove(m_storage, m_storage + i, static_cast<size_t>(n));
    m_storage[n] = 0;
    m_length = n;
}

const wchar_t* CString::WideText() {
    delete[] m_wideView;
    m_wideView = nullptr;
    if (m_storage == nullptr || m_length <= 0) return nullptr;
    m_wideView = ToWide(m_storage, m_length, kStoredCodePage);
    return m_wideView;
}
