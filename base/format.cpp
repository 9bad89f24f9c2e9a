#include "base/format.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Output into a bounded buffer that remembers whether anything was cut.
class Sink {
  public:
    Sink(wchar_t* buffer, int size) : m_buffer(buffer), m_size(size) {}

    void Put(wchar_t c) {
        if (m_used + 1 < m_size) {
            m_buffer[m_used++] = c;
        } else {
            m_cut = true;
        }
    }
    void Repeat(wchar_t c, int count) {
        for (int i = 0; i < count; ++i) Put(c);
    }
    int Finish() {
        if (m_size > 0) m_buffer[m_used] = 0;
        return m_cut ? -1 : m_used;
    }
    int Used() const { return m_used; }
    bool Cut() const { return m_cut; }

  private:
    wchar_t* m_buffer;
    int m_size;
    int m_used = 0;
    bool m_cut = false;
};

enum class Length { Default, Short, Char, Long, LongLong, Size, Int64 };

// va_list wrapped so that it can be passed on by reference on every ABI.
struct Arguments {
    va_list list;
};

struct Spec {
    bool left = false, zero = false, plus = false, space = false, alternate = false;
    int width = 0;
    int precision = -1;
    Length length = Length::Default;
};

// Pads and writes one converted field: prefix (sign or 0x), then digits or text.
void Emit(Sink& sink, const Spec& spec, const wchar_t* prefix, const wchar_t* body, int bodyLength,
          bool numeric) {
    int prefixLength = static_cast<int>(std::wcslen(prefix));
    int zeros = 0;
    if (numeric && spec.precision > bodyLength) zeros = spec.precision - bodyLength;
    int total = prefixLength + zeros + bodyLength;
    int pad = spec.width > total ? spec.width - total : 0;
    bool zeroPad = numeric && spec.zero && !spec.left && spec.precision < 0;
    if (!spec.left && !zeroPad) sink.Repeat(L' ', pad);
    for (int i = 0; i < prefixLength; ++i) sink.Put(prefix[i]);
    if (zeroPad) sink.Repeat(L'0', pad);
    sink.Repeat(L'0', zeros);
    for (int i = 0; i < bodyLength; ++i) sink.Put(body[i]);
    if (spec.left) sink.Repeat(L' ', pad);
}

void EmitInteger(Sink& sink, const Spec& spec, std::uint64_t magnitude, bool negative,
                 unsigned base, bool upper) {
    wchar_t digits[32];
    int n = 0;
    const wchar_t* set = upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    // Precision 0 with the value 0 prints no digits, as in printf.
    if (!(magnitude == 0 && spec.precision == 0)) {
        do {
            digits[n++] = set[magnitude % base];
            magnitude /= base;
        } while (magnitude != 0);
    }
    wchar_t body[32];
    for (int i = 0; i < n; ++i) body[i] = digits[n - 1 - i];
    const wchar_t* prefix = L"";
    if (negative) {
        prefix = L"-";
    } else if (base == 10 && spec.plus) {
        prefix = L"+";
    } else if (base == 10 && spec.space) {
        prefix = L" ";
    } else if (base == 16 && spec.alternate && n > 0 && !(n == 1 && body[0] == L'0')) {
        prefix = upper ? L"0X" : L"0x";
    }
    Emit(sink, spec, prefix, body, n, true);
}

void EmitText(Sink& sink, Spec spec, const wchar_t* text) {
    if (text == nullptr) text = L"";
    int n = 0;
    while (text[n] != 0 && (spec.precision < 0 || n < spec.precision)) ++n;
    Emit(sink, spec, L"", text, n, false);
}

std::int64_t SignedArgument(Length length, Arguments& a) {
    switch (length) {
        case Length::Long:
            return va_arg(a.list, long);
        case Length::LongLong:
        case Length::Int64:
            return va_arg(a.list, long long);
        case Length::Size:
            return static_cast<std::int64_t>(va_arg(a.list, std::ptrdiff_t));
        case Length::Short:
            return static_cast<short>(va_arg(a.list, int));
        case Length::Char:
            return static_cast<signed char>(va_arg(a.list, int));
        default:
            return va_arg(a.list, int);
    }
}

std::uint64_t UnsignedArgument(Length length, Arguments& a) {
    switch (length) {
        case Length::Long:
            return va_arg(a.list, unsigned long);
        case Length::LongLong:
        case Length::Int64:
            return va_arg(a.list, unsigned long long);
        case Length::Size:
            return va_arg(a.list, std::size_t);
        case Length::Short:
            return static_cast<unsigned short>(va_arg(a.list, unsigned));
        case Length::Char:
            return static_cast<unsigned char>(va_arg(a.list, unsigned));
        default:
            return va_arg(a.list, unsigned);
    }
}

// Formats into sink; returns false on a bad format.
bool Format(Sink& sink, const wchar_t* format, Arguments& a) {
    if (format == nullptr) return false;
    for (const wchar_t* p = format; *p != 0; ++p) {
        if (*p != L'%') {
            sink.Put(*p);
            continue;
        }
        ++p;
        Spec spec;
        for (;; ++p) {
            if (*p == L'-') {
                spec.left = true;
            } else if (*p == L'0') {
                spec.zero = true;
            } else if (*p == L'+') {
                spec.plus = true;
            } else if (*p == L' ') {
                spec.space = true;
            } else if (*p == L'#') {
                spec.alternate = true;
            } else {
                break;
            }
        }
        if (*p == L'*') {
            spec.width = va_arg(a.list, int);
            if (spec.width < 0) {
                spec.left = true;
                spec.width = spec.width == INT_MIN ? 0 : -spec.width;
            }
            ++p;
        } else {
            while (*p >= L'0' && *p <= L'9') {
                if (spec.width > 100000) return false;
                spec.width = spec.width * 10 + (*p++ - L'0');
            }
        }
        if (*p == L'.') {
            ++p;
            spec.precision = 0;
            if (*p == L'*') {
                spec.precision = va_arg(a.list, int);
                if (spec.precision < 0) spec.precision = -1;
                ++p;
            } else {
                while (*p >= L'0' && *p <= L'9') {
                    if (spec.precision > 100000) return false;
                    spec.precision = spec.precision * 10 + (*p++ - L'0');
                }
            }
        }
        if (*p == L'h') {
            spec.length = Length::Short;
            if (p[1] == L'h') {
                spec.length = Length::Char;
                ++p;
            }
            ++p;
        } else if (*p == L'l') {
            spec.length = Length::Long;
            if (p[1] == L'l') {
                spec.length = Length::LongLong;
                ++p;
            }
            ++p;
        } else if (*p == L'z') {
            spec.length = Length::Size;
            ++p;
        } else if (p[0] == L'I' && p[1] == L'6' && p[2] == L'4') {
            spec.length = Length::Int64;
            p += 3;
        }
        switch (*p) {
            case L'%':
                sink.Put(L'%');
                break;
            case L'd':
            case L'i': {
                std::int64_t value = SignedArgument(spec.length, a);
                std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                                    : static_cast<std::uint64_t>(value);
                EmitInteger(sink, spec, magnitude, value < 0, 10, false);
                break;
            }
            case L'u':
                EmitInteger(sink, spec, UnsignedArgument(spec.length, a), false, 10, false);
                break;
            case L'x':
            case L'X':
                EmitInteger(sink, spec, UnsignedArgument(spec.length, a), false, 16, *p == L'X');
                break;
            case L'c': {
                wchar_t body[1] = {static_cast<wchar_t>(va_arg(a.list, int))};
                Emit(sink, spec, L"", body, 1, false);
                break;
            }
            case L's':
                if (spec.length == Length::Short) {
                    const char* bytes = va_arg(a.list, const char*);
                    wchar_t* text = ToWide(bytes, -1, kStoredCodePage);
                    EmitText(sink, spec, text);
                    delete[] text;
                } else {
                    EmitText(sink, spec, va_arg(a.list, const wchar_t*));
                }
                break;
            default:
                return false;  // unknown conversion, or the format ended after '%'
        }
    }
    return true;
}

// Formats into a bounded buffer; *cut tells a text that did not fit from a bad format.
int FormatBounded(wchar_t* destination, int size, const wchar_t* format, va_list args, bool* cut) {
    *cut = false;
    if (destination == nullptr || size <= 0) return -1;
    Sink sink(destination, size);
    Arguments a;
    va_copy(a.list, args);
    bool ok = Format(sink, format, a);
    va_end(a.list);
    int result = sink.Finish();
    *cut = ok && sink.Cut();
    return ok ? result : -1;
}

}  // namespace

int FormatTextV(wchar_t* destination, int size, const wchar_t* format, va_list args) {
    bool cut;
    return FormatBounded(destination, size, format, args, &cut);
}

int FormatText(wchar_t* destination, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = FormatTextV(destination, INT_MAX, format, args);
    va_end(args);
    return result;
}

int FormatTextN(wchar_t* destination, int size, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int result = FormatTextV(destination, size, format, args);
    va_end(args);
    return result;
}

CString FormatStringV(const wchar_t* format, va_list args) {
    CString result;
    wchar_t small[512];
    bool cut;
    int n = FormatBounded(small, 512, format, args, &cut);
    if (n >= 0 || !cut) {
        result.Assign(small, n >= 0 ? n : -1);
        return result;
    }
    // Longer texts: grow the buffer until the whole text fits.
    for (int size = 4096; size <= (1 << 24); size *= 4) {
        wchar_t* buffer = new (std::nothrow) wchar_t[static_cast<size_t>(size)];
        if (buffer == nullptr) break;
        n = FormatBounded(buffer, size, format, args, &cut);
        if (n >= 0 || !cut) result.Assign(buffer, n >= 0 ? n : -1);
        delete[] buffer;
        if (n >= 0 || !cut) return result;
    }
    result.Assign(small);
    return result;
}

CString FormatString(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    CString result = FormatStringV(format, args);
    va_end(args);
    return result;
}

CString FormatClock(double seconds) {
    const long long whole = seconds > 0 ? static_cast<long long>(seconds) : 0;
    const long long hours = whole / 3600;
    const int minutes = static_cast<int>(whole / 60 % 60);
    const int rest = static_cast<int>(whole % 60);
    if (hours > 0) return FormatString(L"%lld:%02d:%02d", hours, minutes, rest);
    return FormatString(L"%d:%02d", minutes, rest);
}

CString FormatTenths(double value, bool sign) {
    const long long tenths = std::llround(value * 10.0);
    const long long magnitude = tenths < 0 ? -tenths : tenths;
    const wchar_t* prefix = tenths < 0 ? L"-" : sign ? L"+" : L"";
    return FormatString(L"%s%lld.%lld", prefix, magnitude / 10, magnitude % 10);
}
