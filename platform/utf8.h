// UTF-8 to and from wide text (UTF-16 where wchar_t has 16 bits, UTF-32 otherwise), with the
// same conventions as the platform's code-page calls: out null asks for the length; invalid
// input becomes U+FFFD, one per maximal invalid sequence.
#pragma once

namespace platform {

int Utf8ToWide(const char* bytes, int byteCount, wchar_t* out, int outCount);
int Utf8FromWide(const wchar_t* text, int count, char* out, int outCount);

}  // namespace platform
