#include "media/wave_format.h"

#include <cmath>
#include <cstring>

namespace {

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagALaw = 6;
constexpr std::uint16_t kTagMuLaw = 7;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr unsigned kMaxChannels = 64;

// 16-bit samples are stored little-endian: on such a host they are copied as they are.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
constexpr bool kLittleEndianHost = true;
#else
constexpr bool kLittleEndianHost = false;
#endif

// The last 14 bytes of every standard sub-format GUID (xxxxxxxx-0000-0010-8000-00AA00389B71);
// the first two bytes carry the format tag, the next two are zero.
constexpr std::uint8_t kGuidTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

// 16-bit samples to floats, in a loop the compiler turns into vector code (the common source
// format, decoded on the conversion's own thread): the buffers never overlap, and each sample
// is read whole (the processors this is built for are little-endian, as the file is).
void Decode16(const std::uint8_t* __restrict raw, std::uint32_t count, float* __restrict samples) {
    // (A 64-bit index: 2 i in 32 bits could wrap, which keeps the compiler from vectorising.)
    for (std::size_t i = 0; i < count; ++i) {
        std::int16_t v;
        std::memcpy(&v, raw + 2 * i, sizeof v);
        samples[i] = static_cast<float>(v) * (1.0f / 32768.0f);
    }
}

std::uint32_t U32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Float sample i of a block of 4-byte (float) or 8-byte (double) little-endian values.
double FloatSample(const std::uint8_t* raw, std::uint32_t i, unsigned size) {
    if (size == 4) {
        const std::uint32_t bits = U32(raw + 4 * i);
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
    }
    const std::uint64_t bits =
        U32(raw + 8 * i) | (static_cast<std::uint64_t>(U32(raw + 8 * i + 4)) << 32);
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

std::int16_t Saturate(double value) {
    if (!(value == value)) return 0;  // NaN
    if (value >= 32767.0) return 32767;
    if (value <= -32768.0) return -32768;
    return static_cast<std::int16_t>(std::floor(value));
}

// G.711 expansions to 16-bit linear values.
std::int16_t ALawToLinear(std::uint8_t code) {
    code ^= 0x55;
    int magnitude = (code & 0x0F) << 4;
    int segment = (code & 0x70) >> 4;
    if (segment == 0) {
        magnitude += 8;
    } else {
        magnitude = (magnitude + 0x108) << (segment - 1);
    }
    return static_cast<std::int16_t>((code & 0x80) ? magnitude : -magnitude);
}

std::int16_t MuLawToLinear(std::uint8_t code) {
    code = static_cast<std::uint8_t>(~code);
    int magnitude = (((code & 0x0F) << 3) + 0x84) << ((code & 0x70) >> 4);
    return static_cast<std::int16_t>((code & 0x80) ? (0x84 - magnitude) : (magnitude - 0x84));
}

}  // namespace

const wchar_t* WaveErrorText(WaveError error) {
    switch (error) {
        case WaveError::None:
            return L"no error";
        case WaveError::CannotOpen:
            return L"the file cannot be opened";
        case WaveError::NotRiffWave:
            return L"not a RIFF/WAVE (or RF64) file";
        case WaveError::TooManyChunks:
            return L"too many chunks before the sample data";
        case WaveError::FormatTooShort:
            return L"the \"fmt \" chunk is shorter than 16 bytes";
        case WaveError::BadChannels:
            return L"the channel count is 0 or above 64";
        case WaveError::BadSamplingFrequency:
            return L"the sampling frequency is 0 or out of range";
        case WaveError::BadAverageBytes:
            return L"the average bytes per second is 0";
        case WaveError::BadBlockAlign:
            return L"the block align does not hold a whole sample per channel";
        case WaveError::BadBitsPerSample:
            return L"the bits per sample do not fit the sample size";
        case WaveError::UnsupportedEncoding:
            return L"the sample encoding is not supported";
        case WaveError::DataBeforeFormat:
            return L"the \"data\" chunk comes before the \"fmt \" chunk";
        case WaveError::NoFormat:
            return L"no \"fmt \" chunk";
        case WaveError::NoData:
            return L"no \"data\" chunk";
        case WaveError::BadDs64:
            return L"an RF64 file without a whole \"ds64\" chunk first";
    }
    return L"unknown error";
}

WaveError ParseFormatChunk(const std::uint8_t* body, std::uint32_t size, SampleFormat* format) {
    SampleFormat f;
    if (size < 16) return WaveError::FormatTooShort;
    f.formatTag = U16(body);
    f.channels = U16(body + 2);
    f.samplesPerSecond = U32(body + 4);
    f.averageBytesPerSecond = U32(body + 8);
    f.blockAlign = U16(body + 12);
    f.bitsPerSample = U16(body + 14);
    f.validBits = f.bitsPerSample;

    if (f.channels == 0 || f.channels > kMaxChannels) return WaveError::BadChannels;
    if (f.samplesPerSecond == 0 || f.samplesPerSecond > 0x7FFFFFFF) {
        return WaveError::BadSamplingFrequency;
    }
    if (f.averageBytesPerSecond == 0) return WaveError::BadAverageBytes;
    if (f.blockAlign == 0 || f.blockAlign % f.channels != 0) return WaveError::BadBlockAlign;
    f.containerBytes = static_cast<std::uint16_t>(f.blockAlign / f.channels);
    if (f.bitsPerSample == 0 || f.bitsPerSample > 8u * f.containerBytes) {
        return WaveError::BadBitsPerSample;
    }

    std::uint16_t tag = f.formatTag;
    if (tag == kTagExtensible) {
        // cbSize (2), valid bits (2), channel mask (4), sub-format GUID (16).
        if (size < 40 || U16(body + 16) < 22) return WaveError::UnsupportedEncoding;
        if (std::memcmp(body + 26, kGuidTail, sizeof kGuidTail) != 0) {
            return WaveError::UnsupportedEncoding;
        }
        std::uint16_t valid = U16(body + 18);
        if (valid > f.bitsPerSample) return WaveError::BadBitsPerSample;
        if (valid != 0) f.validBits = valid;
        f.channelMask = U32(body + 20);
        tag = U16(body + 24);
    }
    switch (tag) {
        case kTagPcm:
            f.encoding = SampleEncoding::Pcm;
            if (f.containerBytes > 4 && f.containerBytes != 8) return WaveError::BadBitsPerSample;
            break;
        case kTagFloat:
            f.encoding = SampleEncoding::Float;
            if (!((f.containerBytes == 4 && f.bitsPerSample == 32) ||
                  (f.containerBytes == 8 && f.bitsPerSample == 64))) {
                return WaveError::BadBitsPerSample;
            }
            break;
        case kTagALaw:
        case kTagMuLaw:
            f.encoding = tag == kTagALaw ? SampleEncoding::ALaw : SampleEncoding::MuLaw;
            if (f.containerBytes != 1 || f.bitsPerSample != 8) return WaveError::BadBitsPerSample;
            break;
        default:
            return WaveError::UnsupportedEncoding;
    }
    *format = f;
    return WaveError::None;
}

bool IsNativePcm16(const SampleFormat& format) {
    return kLittleEndianHost && format.encoding == SampleEncoding::Pcm &&
           format.containerBytes == 2;
}

void DecodeFrames(const SampleFormat& format, const std::uint8_t* raw, std::uint32_t frames,
                  std::int16_t* samples) {
    const std::uint32_t count = frames * format.channels;
    const unsigned size = format.containerBytes;
    switch (format.encoding) {
        case SampleEncoding::Pcm:
            if (size == 1) {
                for (std::uint32_t i = 0; i < count; ++i) {
                    samples[i] = static_cast<std::int16_t>((raw[i] - 128) * 256);
                }
            } else if (size == 2 && kLittleEndianHost) {
                std::memcpy(samples, raw, static_cast<std::size_t>(count) * 2);
            } else {
                // Signed, left-justified: the top two bytes of each container are the sample.
                const std::uint8_t* top = raw + size - 2;
                for (std::uint32_t i = 0; i < count; ++i, top += size) {
                    samples[i] = static_cast<std::int16_t>(U16(top));
                }
            }
            break;
        case SampleEncoding::Float:
            for (std::uint32_t i = 0; i < count; ++i) {
                const double value = FloatSample(raw, i, size);
                samples[i] = Saturate(value * 32768.0);
            }
            break;
        case SampleEncoding::ALaw:
            for (std::uint32_t i = 0; i < count; ++i) samples[i] = ALawToLinear(raw[i]);
            break;
        case SampleEncoding::MuLaw:
            for (std::uint32_t i = 0; i < count; ++i) samples[i] = MuLawToLinear(raw[i]);
            break;
    }
}

void DecodeFramesToFloat(const SampleFormat& format, const std::uint8_t* raw, std::uint32_t frames,
                         float* samples) {
    const std::uint32_t count = frames * format.channels;
    const unsigned size = format.containerBytes;
    constexpr float k16 = 1.0f / 32768.0f;
    constexpr float k32 = 1.0f / 2147483648.0f;
    switch (format.encoding) {
        case SampleEncoding::Pcm:
            if (size == 1) {
                for (std::uint32_t i = 0; i < count; ++i)
                    samples[i] = (raw[i] - 128) * (1.0f / 128);
            } else if (size == 2) {
                Decode16(raw, count, samples);
            } else if (size == 3) {
                for (std::uint32_t i = 0; i < count; ++i, raw += 3) {
                    const std::uint32_t v = (static_cast<std::uint32_t>(raw[0]) << 8) |
                                            (static_cast<std::uint32_t>(raw[1]) << 16) |
                                            (static_cast<std::uint32_t>(raw[2]) << 24);
                    samples[i] = static_cast<float>(static_cast<std::int32_t>(v)) * k32;
                }
            } else {
                // Signed, left-justified: the top four bytes of each container.
                const std::uint8_t* top = raw + size - 4;
                for (std::uint32_t i = 0; i < count; ++i, top += size) {
                    samples[i] = static_cast<float>(static_cast<std::int32_t>(U32(top))) * k32;
                }
            }
            break;
        case SampleEncoding::Float:
            for (std::uint32_t i = 0; i < count; ++i) {
                // Values past full scale are kept; only what would overflow the filters'
                // sums (infinities, huge values) is limited.
                double value = FloatSample(raw, i, size);
                if (!(value == value)) value = 0.0;
                samples[i] = static_cast<float>(value > kFloatSourceLimit    ? kFloatSourceLimit
                                                : value < -kFloatSourceLimit ? -kFloatSourceLimit
                                                                             : value);
            }
            break;
        case SampleEncoding::ALaw:
            for (std::uint32_t i = 0; i < count; ++i) samples[i] = ALawToLinear(raw[i]) * k16;
            break;
        case SampleEncoding::MuLaw:
            for (std::uint32_t i = 0; i < count; ++i) samples[i] = MuLawToLinear(raw[i]) * k16;
            break;
    }
}
