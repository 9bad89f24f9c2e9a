#include "platform/utf8.h"

#include <cstdint>

namespace platform {

namespace {

constexpr std::uint32_t kReplacement = 0xFFFD;
constexpr bool kWide16 = sizeof(wchar_t) == 2;

// Where wchar_t has 32 bits, a byte that is not part of valid UTF-8 becomes the code point
// 0xDC00 + byte (U+DC80 to U+DCFF, lone surrogates that valid text never holds), and those code
// points become the byte again: any bytes survive a trip through wide text unchanged, so that a
// file name that is not valid UTF-8 still names the same file. With 16 bits such a code point
// could pair up with a neighbouring surrogate, so invalid input becomes U+FFFD there.
constexpr bool kEscapeBytes = !kWide16;
constexpr std::uint32_t kEscapeBase = 0xDC00;
constexpr std::uint32_t kEscapeFirst = 0xDC80;
constexpr std::uint32_t kEscapeLast = 0xDCFF;

// Decodes one code point at bytes[*i] into *cp and advances *i past it. False for an invalid
// sequence: *i is then past its maximal invalid part.
bool DecodeValid(const unsigned char* s, int n, int* i, std::uint32_t* cp) {
    unsigned c = s[*i];
    ++*i;
    *cp = c;
    if (c < 0x80) return true;
    int extra;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    if (c >= 0xC2 && c <= 0xDF) {
        extra = 1;
        *cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        extra = 2;
        *cp = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        extra = 3;
        *cp = c & 0x07;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return false;
    }
    for (int k = 0; k < extra; ++k) {
        if (*i >= n) return false;
        unsigned b = s[*i];
        if (b < lo || b > hi) return false;
        lo = 0x80;
        hi = 0xBF;
        *cp = (*cp << 6) | (b & 0x3F);
        ++*i;
    }
    return true;
}

// Decodes one code point at bytes[*i]; advances *i past it. An invalid sequence gives U+FFFD
// for the whole of it, or, where bytes are escaped, the escape of its first byte alone.
std::uint32_t DecodeOne(const unsigned char* s, int n, int* i) {
    const int start = *i;
    std::uint32_t cp;
    if (DecodeValid(s, n, i, &cp)) return cp;
    if (!kEscapeBytes) return kReplacement;
    *i = start + 1;
    return kEscapeBase + s[start];
}

// Reads one code point from wide text at text[*i]; lone surrogates become U+FFFD, except the
// escaped bytes.
std::uint32_t NextCodePoint(const wchar_t* text, int count, int* i) {
    std::uint32_t c = static_cast<std::uint32_t>(text[*i]);
    ++*i;
    if (kWide16) {
        c &= 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF && *i < count) {
            std::uint32_t d = static_cast<std::uint32_t>(text[*i]) & 0xFFFF;
            if (d >= 0xDC00 && d <= 0xDFFF) {
                ++*i;
                return 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
            }
        }
    }
    if (kEscapeBytes && c >= kEscapeFirst && c <= kEscapeLast) return c;
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return kReplacement;
    return c;
}

}  // namespace

int Utf8ToWide(const char* bytes, int byteCount, wchar_t* out, int outCount) {
    if (bytes == nullptr || byteCount <= 0) return 0;
    const unsigned char* s = reinterpret_cast<const unsigned char*>(bytes);
    int produced = 0;
    for (int i = 0; i < byteCount;) {
        std::uint32_t cp = DecodeOne(s, byteCount, &i);
        int units = (kWide16 && cp >= 0x10000) ? 2 : 1;
        if (out != nullptr) {
            if (produced + units > outCount) break;
            if (units == 2) {
                out[produced] = static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                out[produced + 1] = static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                out[produced] = static_cast<wchar_t>(cp);
            }
        }
        produced += units;
    }
    return produced;
}

int Utf8FromWide(const wchar_t* text, int count, char* out, int outCount) {
    if (text == nullptr || count <= 0) return 0;
    int produced = 0;
    for (int i = 0; i < count;) {
        std::uint32_t cp = NextCodePoint(text, count, &i);
        unsigned char buf[4];
        int n;
        if (cp < 0x80) {
            buf[0] = static_cast<unsigned char>(cp);
            n = 1;
        } else if (kEscapeBytes && cp >= kEscapeFirst && cp <= kEscapeLast) {
            buf[0] = static_cast<unsigned char>(cp - kEscapeBase);  // the byte it stands for
            n = 1;
        } else if (cp < 0x800) {
            buf[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            buf[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            buf[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            buf[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            buf[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            buf[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            buf[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (out != nullptr) {
            if (produced + n > outCount) break;
            for (int k = 0; k < n; ++k) out[produced + k] = static_cast<char>(buf[k]);
        }
        produced += n;
    }
    return produced;
}

}  // namespace platform
