#include "base/filename.h"

#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "platform/platform.h"

namespace {

// Cuts count bytes from start out of source into field, trimmed; a piece SubString cannot make
// (start at or past the end) leaves the field as it was.
void TakePiece(const CString& source, int start, int count, CString& field) {
    CString* piece = source.SubString(start, count);
    if (piece == nullptr) return;
    piece->Trim();
    field = std::move(*piece);
    delete piece;
}

}  // namespace

int CFileName::SetPath(const wchar_t* path) {
    if (path == nullptr) return 0;
    CString bytes(path);
    return SetPath(bytes.Bytes() != nullptr ? bytes.Bytes() : "");
}

int CFileName::SetPath(const char* path) {
    if (path == nullptr) return 0;
    FullPath.AssignBytes(path);
    const int len = static_cast<int>(std::strlen(path));

    // Positions count from 1: sep is the index of the byte after the last separator, dot the
    // index of the first byte after the last dot that follows it.
    int sep = -1;
    int dot = -1;
    for (int i = 0; i < len; ++i) {
        if (path[i] == '.') {
            dot = i + 1;
        } else if (path[i] == '\\' || path[i] == '/') {
            sep = i + 1;
            dot = -1;
        }
    }
    if (len == 0) sep = 0;

    if (sep > 1) {
        TakePiece(FullPath, 0, sep - 1, Folder);
        TakePiece(FullPath, sep, len - sep, FileName);
    } else if (sep == -1) {
        sep = 0;
    }

    int baseLength;
    if (dot > 0) {
        if (dot - sep > 1) TakePiece(FullPath, dot, len - dot, Extension);
        baseLength = dot - sep - 1;
    } else {
        baseLength = len - sep;
    }
    TakePiece(FullPath, sep, baseLength, BaseName);
    return 1;
}

CString FullPathOf(const CString& name) {
    CString path;
    path.AssignString(name);
    const wchar_t* wide = path.WideText();
    const int length = wide != nullptr ? platform::FullPath(wide, nullptr, 0) : 0;
    if (length <= 0) return path;
    std::unique_ptr<wchar_t[]> full(new (std::nothrow) wchar_t[static_cast<size_t>(length) + 1]);
    if (full && platform::FullPath(wide, full.get(), length + 1) == length) {
        path.Assign(full.get(), length);
    }
    return path;
}
