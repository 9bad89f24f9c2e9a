#include "reference/reference_resampler.h"

#include <cmath>
#include <cstring>

namespace reference {

namespace {

constexpr int kMask = kResamplerRingSize - 1;
constexpr double kInputScale = 0.000030517578125;  // 1 / 32768
constexpr double kOutputScale = 32767.0;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPiOver32 = 0.09817477042468103;

std::int16_t ToSample(double value) {
    double scaled = value * kOutputScale;
    if (scaled >= 32767.0) return 32767;
    if (scaled <= -32768.0) return -32768;
    return static_cast<std::int16_t>(scaled);  // truncation toward zero
}

// The 50 sinc weights for output instant t, shared by both channels.
void SincWeights(double t, std::int64_t c, double* w) {
    for (int k = 0; k < 2 * kResamplerHalfWidth; ++k) {
        std::int64_t l = c - kResamplerHalfWidth + k;
        double u = (t - static_cast<double>(l)) * kPi;
        w[k] = u == 0.0 ? 1.0 : std::sin(u) / u;
    }
}

// The interpolated value at instant c from ring x. Until 25 inputs were consumed, the window
// does not reach before the first sample of the stream.
double Interpolate(const ResamplerState& s, const double* ring, std::int64_t c, const double* w) {
    double sum = 0.0;
    for (int k = 0; k < 2 * kResamplerHalfWidth; ++k) {
        std::int64_t l = c - kResamplerHalfWidth + k;
        if (s.inCount >= kResamplerHalfWidth || l >= 0) {
            sum = sum + w[k] * ring[l & kMask];
        }
    }
    return sum;
}

void Advance(ResamplerState& s) {
    s.position = s.position + s.ratio;
    if (s.position >= static_cast<double>(kResamplerRingSize)) {
        s.position = s.position - static_cast<double>(kResamplerRingSize);
    }
    s.outIndex = (s.outIndex + 1) & kMask;
}

bool OutputDue(const ResamplerState& s) {
    return static_cast<int>(s.position) == ((s.writeIndex - kResamplerHalfWidth) & kMask);
}

}  // namespace

void ResamplerReset(ResamplerState& s, int sourceFrequency, int targetFrequency,
                    int targetChannels) {
    std::memset(static_cast<void*>(&s), 0, sizeof s);
    s.targetChannels = targetChannels;
    s.ratio = static_cast<double>(sourceFrequency) / static_cast<double>(targetFrequency);

    // Cut-off as a fraction of the rate the filter runs at: the source rate when the frequency
    // goes down (pre-filter), the target rate otherwise (post-filter).
    double h;
    if (s.ratio > 1.0) {
        h = static_cast<double>(targetFrequency >> 1) / static_cast<double>(sourceFrequency);
    } else {
        h = static_cast<double>(sourceFrequency >> 1) / static_cast<double>(targetFrequency);
    }
    // Hann window times the ideal low-pass 2h sinc(2h i); the end taps are 0, the centre 2h.
    for (int i = -32; i <= 32; ++i) {
        double sinc = 1.0;
        if (i != 0) {
            double m = h * kTwoPi * i;
            sinc = std::sin(m) / m;
        }
        s.coefficients[i + 32] = (1.0 - std::cos((i + 32) * kPiOver32)) * (0.5 * 2.0 * h * sinc);
    }
}

double LowPassFilter(const ResamplerState& s, const double* ring, int index) {
    double y = 0.0;
    for (int k = 0; k < kResamplerFilterTaps; ++k) {
        y = y + s.coefficients[k] * ring[(index - k) & kMask];
    }
    return y;
}

int ResampleMono(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst,
                 int capacity) {
    if (count <= 0) return 0;
    int written = 0;
    double w[2 * kResamplerHalfWidth];
    for (int n = 0; n < count; ++n) {
        const double x = src[n] * kInputScale;
        s.x[s.writeIndex] = x;
        s.a[s.writeIndex] = x;
        if (s.ratio > 1.0) s.x[s.writeIndex] = LowPassFilter(s, s.a, s.writeIndex);

        while (OutputDue(s)) {
            const double t = static_cast<double>(s.outCount) * s.ratio;
            const std::int64_t c = static_cast<std::int64_t>(t);
            SincWeights(t, c, w);
            const double sum = Interpolate(s, s.x, c, w);
            s.y[s.outIndex] = sum;
            const double v = s.ratio < 1.0 ? LowPassFilter(s, s.y, s.outIndex) : sum;
            if (written < capacity) {
                dst[written++] = ToSample(v);
                ++s.outCount;
            }
            Advance(s);
        }
        s.writeIndex = (s.writeIndex + 1) & kMask;
        ++s.inCount;
    }
    return written;
}

int ResampleStereo(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst,
                   int capacity) {
    if (count <= 0) return 0;
    int written = 0;
    double w[2 * kResamplerHalfWidth];
    const int frames = count / 2;
    for (int n = 0; n < frames; ++n) {
        const double xl = src[2 * n] * kInputScale;
        const double xr = src[2 * n + 1] * kInputScale;
        s.x[s.writeIndex] = s.a[s.writeIndex] = xl;
        s.xr[s.writeIndex] = s.ar[s.writeIndex] = xr;
        if (s.ratio > 1.0) {
            s.x[s.writeIndex] = LowPassFilter(s, s.a, s.writeIndex);
            s.xr[s.writeIndex] = LowPassFilter(s, s.ar, s.writeIndex);
        }

        while (OutputDue(s)) {
            const double t = static_cast<double>(s.outCount) * s.ratio;
            const std::int64_t c = static_cast<std::int64_t>(t);
            SincWeights(t, c, w);
            const double sumL = Interpolate(s, s.x, c, w);
            const double sumR = Interpolate(s, s.xr, c, w);
            s.y[s.outIndex] = sumL;
            s.yr[s.outIndex] = sumR;
            double vl = sumL, vr = sumR;
            if (s.ratio < 1.0) {
                vl = LowPassFilter(s, s.y, s.outIndex);
                vr = LowPassFilter(s, s.yr, s.outIndex);
            }
            if (written <= capacity - 2) {
                dst[written++] = ToSample(vl);
                dst[written++] = ToSample(vr);
                ++s.outCount;
            }
            Advance(s);
        }
        s.writeIndex = (s.writeIndex + 1) & kMask;
        ++s.inCount;
    }
    return written;
}

void ReferenceResampler::Reset(int sourceFrequency, int targetFrequency, int targetChannels) {
    ResamplerReset(*m_state, sourceFrequency, targetFrequency, targetChannels);
}

int ReferenceResampler::Process(const std::int16_t* src, int count, std::int16_t* dst,
                                int capacity) {
    return m_state->targetChannels == 2 ? ResampleStereo(*m_state, src, count, dst, capacity)
                                        : ResampleMono(*m_state, src, count, dst, capacity);
}

std::unique_ptr<Pcm16Resampler> MakeReferenceResampler() {
    return std::unique_ptr<Pcm16Resampler>(new ReferenceResampler());
}

}  // namespace reference
