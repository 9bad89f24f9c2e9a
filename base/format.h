// printf-style formatting into wide buffers, the same on every platform.
//
// "%s" takes a wide string (null prints as nothing), "%hs" a UTF-8 byte string, "%d" and "%i"
// a signed 32-bit integer, "%u", "%x", "%X" unsigned 32-bit; "l", "ll", "z" and "I64" widen
// the integer conversions; "%c" takes a wide character; flags "-", "0", "+", " ", width and
// precision (also as "*") work as in printf.
#pragma once

#include <cstdarg>

#include "base/cstring.h"

// Unbounded: the caller's buffer must hold the whole text. Returns the characters written
// (terminator not counted) or -1 on a bad format.
int FormatText(wchar_t* destination, const wchar_t* format, ...);

// Never writes past size characters (terminator included). Returns the characters written, or
// -1 when the text had to be cut (the buffer then holds the cut, terminated text) or the
// format is bad.
int FormatTextN(wchar_t* destination, int size, const wchar_t* format, ...);
int FormatTextV(wchar_t* destination, int size, const wchar_t* format, va_list args);

// Formats into a CString of any length.
CString FormatString(const wchar_t* format, ...);
CString FormatStringV(const wchar_t* format, va_list args);

// A number rounded to one decimal ("2.9", "-0.4"), with "+" before one above 0 when sign is
// true; what rounds to 0 is "0.0" ("+0.0" with sign), never "-0.0".
CString FormatTenths(double value, bool sign);

// A duration as a clock reading: "0:05", "2:18", "1:02:03" (whole seconds, rounded down).
CString FormatClock(double seconds);
