// UTF-8 to and from wide text (UTF-16 where wchar_t has 16 bits, UTF-32 otherwise), with the
// same conventions as the platform's code-page calls: out null asks for the length. Invalid
// input becomes U+FFFD, one per maximal invalid sequence, where wchar_t has 16 bits; where it
// has 32 (POSIX) each invalid byte b becomes U+DC00 + b and is written back as that byte, so
// that any bytes survive the trip to wide text and back.
#pragma once

namespace platform {

int Utf8ToWide(const char* bytes, int byteCount, wchar_t* out, int outCount);
int Utf8FromWide(const wchar_t* text, int count, char* out, int outCount);

}  // namespace platform
