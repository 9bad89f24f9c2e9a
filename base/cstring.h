// The program's text type and the code-page conversion helpers.
//
// A CString is built from wide text and hands wide text back; inside it keeps UTF-8 bytes with
// a byte length and a capacity. Byte-level work (splitting paths, joining output names) is done
// on that stored form, in which backslash, slash, dot and the blanks are single bytes.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Root of the class tree: a virtual destructor and nothing else.
class CObject {
  public:
    virtual ~CObject() = default;
};

// Code pages understood by ToWide and FromWide: the platform layer's.
using platform::kCodePageShiftJis;
using platform::kCodePageSystem;
using platform::kCodePageUtf8;

// The code page of a CString's stored bytes, on every platform.
constexpr unsigned kStoredCodePage = kCodePageUtf8;

// Converts count bytes (-1: up to the first NUL) in a code page to new NUL-terminated wide text
// that the caller frees with delete[]. Null only when allocation fails; bytes that are invalid
// in the code page give replacement characters, never a failure.
wchar_t* ToWide(const char* bytes, int count, unsigned codePage);

// Converts count wide characters (-1: up to the terminator) to new NUL-terminated bytes in a
// code page, freed by the caller with delete[]. Characters the code page cannot express become
// '?'. Null only when allocation fails.
char* FromWide(const wchar_t* text, int count, unsigned codePage);

class CString : public CObject {
  public:
    CString() = default;
    explicit CString(const wchar_t* text);
    CString(CString&& other) noexcept;
    CString& operator=(CString&& other) noexcept;
    // Strings are copied with AssignString only.
    CString(const CString&) = delete;
    CString& operator=(const CString&) = delete;
    ~CString() override;

    // Stores the first count characters of text (-1: up to the terminator), up to the first
    // NUL among them. Null text or a count of 0 clears the string.
    void Assign(const wchar_t* text, int count = -1);
    void AssignString(const CString& other);
    // Stores bytes that are already in the stored form (UTF-8), up to count or the first NUL.
    void AssignBytes(const char* bytes, int count = -1);
    void Append(const wchar_t* text);
    void AppendString(const CString& other);
    void AppendBytes(const char* bytes, int count = -1);

    // Exact, case-sensitive comparison. A string without storage equals only null or empty
    // text; a string with storage of length 0 equals nothing empty.
    bool Equals(const wchar_t* text) const;

    // A new heap string (the caller deletes it) of count bytes from start, or null when start
    // is negative or not below the length, count is negative, or there is no storage.
    CString* SubString(int start, int count) const;

    // Removes blanks (NUL, TAB, LF, CR, SPACE) at both ends; storage is kept.
    void Trim();

    // The text as wide characters, or null when empty. Valid until the next WideText on this
    // string or its destruction; it does not follow later changes.
    const wchar_t* WideText();

    int Length() const { return m_length; }
    int Capacity() const { return m_capacity; }
    const char* Bytes() const { return m_storage; }
    bool HasStorage() const { return m_storage != nullptr; }
    bool IsEmpty() const { return m_length == 0; }

    void Clear();

  private:
    bool Grow(int extra);
    void StoreBytes(const char* bytes, int count);
    void AddBytes(const char* bytes, int count);

    char* m_storage = nullptr;
    std::int32_t m_capacity = 0;
    std::int32_t m_length = 0;
    wchar_t* m_wideView = nullptr;
};
