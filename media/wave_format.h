// The sample format of a WAV file's "fmt " chunk, and decoding of its samples to 16-bit PCM or to
// floats.
#pragma once

#include <cstdint>

enum class SampleEncoding : std::uint8_t {
    Pcm,    // integers: unsigned in 1-byte containers, signed and left-justified in larger ones
    Float,  // IEEE 754, 32 or 64 bits
    ALaw,   // G.711 A-law
    MuLaw,  // G.711 mu-law
};

// Why a file is not accepted as WAV.
enum class WaveError : std::uint8_t {
    None,
    CannotOpen,
    NotRiffWave,
    TooManyChunks,
    FormatTooShort,
    BadChannels,
    BadSamplingFrequency,
    BadAverageBytes,
    BadBlockAlign,
    BadBitsPerSample,
    UnsupportedEncoding,
    DataBeforeFormat,
    NoFormat,
    NoData,
    BadDs64,  // an RF64 or BW64 file without a whole "ds64" chunk first
};

// English text for an error, for messages.
const wchar_t* WaveErrorText(WaveError error);

struct SampleFormat {
    std::uint16_t formatTag = 0;  // as stored (0xFFFE for the extensible form)
    SampleEncoding encoding = SampleEncoding::Pcm;
    std::uint16_t channels = 0;
    std::uint32_t samplesPerSecond = 0;
    std::uint32_t averageBytesPerSecond = 0;
    std::uint16_t blockAlign = 0;
    std::uint16_t bitsPerSample = 0;
    std::uint16_t validBits = 0;       // the bits that carry the sample (extensible form)
    std::uint16_t containerBytes = 0;  // block align / channels
    std::uint32_t channelMask = 0;     // speaker positions (extensible form), 0 when not given
};

// Parses the body of a "fmt " chunk (size bytes available). Checks the channel count (1 to
// 64), the sampling frequency (1 to 2^31 - 1), block align (a whole container per channel),
// the bits (they fit the container) and the encoding.
WaveError ParseFormatChunk(const std::uint8_t* body, std::uint32_t size, SampleFormat* format);

// True when the raw sample data already is signed 16-bit PCM in this machine's byte order, so
// that it needs no decoding.
bool IsNativePcm16(const SampleFormat& format);

// Decodes frames of raw sample data to interleaved signed 16-bit samples (frames x channels
// values). Wider samples keep their top 16 bits; floats are scaled by 32768, rounded down and
// saturated, with NaN read as 0.
void DecodeFrames(const SampleFormat& format, const std::uint8_t* raw, std::uint32_t frames,
                  std::int16_t* samples);

// Decodes frames of raw sample data to interleaved floats with full scale 1.0 (a 16-bit sample s
// is s / 32768), keeping what a float holds of every source: 24-bit samples whole, wider ones to
// 24 significant bits. Floats are taken as they are, also past full scale, limited to
// +-kFloatSourceLimit (infinities too), with NaN read as 0.
constexpr double kFloatSourceLimit = 65536.0;  // about +96 dBFS
void DecodeFramesToFloat(const SampleFormat& format, const std::uint8_t* raw, std::uint32_t frames,
                         float* samples);
