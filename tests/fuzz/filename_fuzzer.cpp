// Fuzzes the text type, the code-page conversions, the formatter's text conversions and the
// path splitter. The input is two control bytes, then up to three byte strings separated by
// NUL bytes. What must hold whatever the bytes are:
// - stored bytes come back as they were stored, and joining, cutting and trimming give the
//   bytes that byte arithmetic gives, also when a string appends a piece of itself;
// - UTF-8 -> wide -> UTF-8 is exact for any bytes (invalid ones are kept as escapes); Shift-JIS
//   is a fixed point after one round;
// - the formatter's "%s", "%hs", width and precision produce the expected text;
// - a path's pieces come from the path, hold no separator where they must not, are trimmed, and
//   are the same whether the path is given as UTF-8 bytes or as wide text.
// A violation aborts, so libFuzzer records the input.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/cstring.h"
#include "base/filename.h"
#include "base/format.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using WidePtr = std::unique_ptr<wchar_t[]>;
using BytesPtr = std::unique_ptr<char[]>;

std::string BytesOf(const CString& s) {
    return s.Bytes() != nullptr ? std::string(s.Bytes(), static_cast<size_t>(s.Length()))
                                : std::string();
}

WidePtr Wide(const std::string& bytes, unsigned codePage) {
    WidePtr w(ToWide(bytes.data(), static_cast<int>(bytes.size()), codePage));
    Check(w != nullptr, "ToWide gives text");
    return w;
}

std::string Narrow(const wchar_t* text, unsigned codePage) {
    BytesPtr b(FromWide(text, -1, codePage));
    Check(b != nullptr, "FromWide gives bytes");
    return std::string(b.get());
}

// Well-formed UTF-8 without NUL: shortest forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(const std::string& s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n;) {
        const unsigned c = p[i];
        if (c == 0) return false;
        std::size_t extra;
        std::uint32_t cp, min;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, cp = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, cp = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, cp = c & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool IsBlank(char c) {
    return c == 0 || c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

std::string Trimmed(const std::string& s) {
    std::size_t begin = 0, end = s.size();
    while (begin < end && IsBlank(s[begin])) ++begin;
    while (end > begin && IsBlank(s[end - 1])) --end;
    return s.substr(begin, end - begin);
}

void CheckStoredBytes(const std::string& a, const std::string& b, unsigned control) {
    CString s;
    s.AssignBytes(a.c_str());
    Check(BytesOf(s) == a && s.HasStorage() == !a.empty(), "stored bytes come back");
    // A count stops the copy early; the bytes stored are a prefix.
    const int cut = static_cast<int>(control % (a.size() + 1));
    CString prefix;
    prefix.AssignBytes(a.c_str(), cut);
    Check(BytesOf(prefix) == a.substr(0, static_cast<size_t>(cut)), "a count stores a prefix");

    s.AppendBytes(b.c_str());
    Check(BytesOf(s) == a + b, "appended bytes follow");
    const std::string joined = a + b;
    s.AppendString(s);
    Check(BytesOf(s) == joined + joined, "a string appended to itself doubles");
    if (!joined.empty()) {
        // A piece of the string's own storage, which growing would free under it.
        const int from = static_cast<int>(control % joined.size());
        const int count = static_cast<int>((control >> 4) % (joined.size() + 1));
        s.AppendBytes(s.Bytes() + from, count);
        Check(
            BytesOf(s) ==
                joined + joined +
                    (joined + joined).substr(static_cast<size_t>(from), static_cast<size_t>(count)),
            "a piece of itself appends");
    }

    // SubString: null outside the string, otherwise the bytes from start, at most count.
    CString source;
    source.AssignBytes(joined.c_str());
    const int start = static_cast<int>(control % (joined.size() + 2)) - 1;
    const int count = static_cast<int>((control >> 3) % (joined.size() + 3)) - 1;
    std::unique_ptr<CString> piece(source.SubString(start, count));
    const bool defined =
        !joined.empty() && start >= 0 && start < static_cast<int>(joined.size()) && count >= 0;
    Check((piece != nullptr) == defined, "SubString is null exactly outside the string");
    if (piece) {
        Check(BytesOf(*piece) ==
                  joined.substr(static_cast<size_t>(start), static_cast<size_t>(count)),
              "SubString cuts the bytes asked for");
    }

    CString trimmed;
    trimmed.AssignBytes(joined.c_str());
    trimmed.Trim();
    Check(BytesOf(trimmed) == Trimmed(joined), "Trim removes the blanks at both ends only");

    CString moved(std::move(source));
    Check(!source.HasStorage() && source.Length() == 0, "a moved-from string is empty");
    Check(BytesOf(moved) == joined, "a moved string keeps its bytes");
    moved.Clear();
    Check(!moved.HasStorage() && moved.Length() == 0, "Clear empties");
}

void CheckUtf8(const std::string& bytes, unsigned control) {
    WidePtr wide = Wide(bytes, kCodePageUtf8);
    const std::string again = Narrow(wide.get(), kCodePageUtf8);
    Check(again == bytes, "any bytes survive wide and back");
    WidePtr wideAgain = Wide(again, kCodePageUtf8);
    Check(std::wcscmp(wide.get(), wideAgain.get()) == 0, "UTF-8 decoding is a fixed point");

    CString fromWide(wide.get());
    Check(BytesOf(fromWide) == again, "a string built from wide text stores its UTF-8");
    if (!IsValidUtf8(bytes)) return;

    CString stored;
    stored.AssignBytes(bytes.c_str());
    const wchar_t* view = stored.WideText();
    Check((view == nullptr) == bytes.empty(), "WideText is null exactly for empty text");
    if (view != nullptr) {
        Check(std::wcscmp(view, wide.get()) == 0, "WideText is the decoded text");
        Check(stored.Equals(view), "a string equals its own wide text");
    }
    // The first characters of wide text store as a prefix of its UTF-8.
    const int length = static_cast<int>(std::wcslen(wide.get()));
    const int count = length > 0 ? static_cast<int>(control % (length + 1)) : 0;
    CString head;
    head.Assign(wide.get(), count);
    BytesPtr headBytes(FromWide(wide.get(), count, kCodePageUtf8));
    Check(headBytes != nullptr && BytesOf(head) == headBytes.get(),
          "Assign with a count stores those characters");
    Check(bytes.compare(0, static_cast<size_t>(head.Length()), BytesOf(head)) == 0,
          "the characters' UTF-8 is a prefix");
}

void CheckShiftJis(const std::string& bytes) {
    WidePtr wide = Wide(bytes, kCodePageShiftJis);
    const std::string sjis = Narrow(wide.get(), kCodePageShiftJis);
    WidePtr wideAgain = Wide(sjis, kCodePageShiftJis);
    Check(Narrow(wideAgain.get(), kCodePageShiftJis) == sjis, "Shift-JIS is a fixed point");
    // What Shift-JIS decodes to is real text: it goes through UTF-8 unchanged.
    const std::string utf8 = Narrow(wide.get(), kCodePageUtf8);
    WidePtr back = Wide(utf8, kCodePageUtf8);
    Check(std::wcscmp(back.get(), wide.get()) == 0, "decoded Shift-JIS survives UTF-8");
}

void CheckFormat(const std::string& a, const std::string& b, unsigned control) {
    WidePtr wideA = Wide(a, kCodePageUtf8);
    WidePtr wideB = Wide(b, kCodePageUtf8);
    // Widths and precisions around the formatter's 512-character first buffer.
    const int width = static_cast<int>(control * 3 % 700) - 100;      // negative: left-justified
    const int precision = static_cast<int>((control >> 2) % 40) - 1;  // -1: whole text
    CString result = FormatString(L"%s|%hs|%*.*s|%d", wideA.get(), b.c_str(), width, precision,
                                  wideB.get(), static_cast<int>(a.size()));

    std::wstring field(wideB.get());
    if (precision >= 0 && field.size() > static_cast<size_t>(precision)) {
        field.resize(static_cast<size_t>(precision));
    }
    const size_t span = static_cast<size_t>(width < 0 ? -width : width);
    if (field.size() < span) {
        const std::wstring pad(span - field.size(), L' ');
        field = width < 0 ? field + pad : pad + field;
    }
    const std::wstring expected = std::wstring(wideA.get()) + L"|" + wideB.get() + L"|" + field +
                                  L"|" + std::to_wstring(a.size());
    CString want(expected.c_str());
    Check(BytesOf(result) == BytesOf(want), "the formatted text is the fields joined");
}

// The piece of a path (trimmed) is a part of it, holds none of the bytes given, and has no blank
// at either end.
void CheckPiece(const std::string& path, const CString& piece, const char* forbidden) {
    const std::string bytes = BytesOf(piece);
    Check(path.find(bytes) != std::string::npos, "a path's piece is part of the path");
    Check(bytes.find_first_of(forbidden) == std::string::npos, "a piece holds no separator");
    Check(bytes.empty() || (!IsBlank(bytes.front()) && !IsBlank(bytes.back())),
          "a piece is trimmed");
}

void CheckPath(const std::string& path) {
    CFileName name;
    Check(name.SetPath(path.c_str()) == 1, "SetPath takes a path");
    Check(BytesOf(name.FullPath) == path, "FullPath is the path as given");
    CheckPiece(path, name.Folder, "");
    CheckPiece(path, name.FileName, "/\\");
    CheckPiece(path, name.BaseName, "/\\");
    CheckPiece(path, name.Extension, "/\\.");
    // A path without a folder part leaves FileName empty; otherwise it holds the other two.
    if (!name.FileName.IsEmpty()) {
        Check(BytesOf(name.FileName).find(BytesOf(name.BaseName)) != std::string::npos,
              "the base name is part of the file name");
        Check(BytesOf(name.FileName).find(BytesOf(name.Extension)) != std::string::npos,
              "the extension is part of the file name");
    }

    // Given as wide text, the same path splits into the same pieces, decoded.
    WidePtr wide = Wide(path, kCodePageUtf8);
    CFileName fromWide;
    Check(fromWide.SetPath(wide.get()) == 1, "SetPath takes wide text");
    const std::pair<const CString*, const CString*> pieces[] = {
        {&name.FullPath, &fromWide.FullPath},   {&name.Folder, &fromWide.Folder},
        {&name.FileName, &fromWide.FileName},   {&name.BaseName, &fromWide.BaseName},
        {&name.Extension, &fromWide.Extension},
    };
    for (const auto& p : pieces) {
        WidePtr decoded = Wide(BytesOf(*p.first), kCodePageUtf8);
        Check(Narrow(decoded.get(), kCodePageUtf8) == BytesOf(*p.second),
              "a wide path splits as its bytes do");
    }
    Check(name.SetPath(static_cast<const char*>(nullptr)) == 0 && BytesOf(name.FullPath) == path,
          "a null path changes nothing");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 4096) return 0;
    const unsigned control = data[0] | (static_cast<unsigned>(data[1]) << 8);
    std::vector<std::string> parts;
    std::string current;
    for (std::size_t i = 2; i < size; ++i) {
        if (data[i] == 0 && parts.size() < 2) {
            parts.push_back(current);
            current.clear();
        } else if (data[i] != 0) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    parts.push_back(current);
    while (parts.size() < 3) parts.emplace_back();

    CheckStoredBytes(parts[0], parts[1], control);
    for (const std::string& part : parts) {
        CheckUtf8(part, control);
        CheckShiftJis(part);
    }
    CheckFormat(parts[0], parts[1], control);
    CheckPath(parts[0]);
    CheckPath(parts[2]);
    return 0;
}
