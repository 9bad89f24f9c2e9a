#include "engine/job/channels.h"

namespace {

constexpr double kHalfPower = 0.7071067811865476;  // square root of one half: -3 dB

std::int16_t Saturate(long value) {
    if (value > 32767) return 32767;
    if (value < -32768) return -32768;
    return static_cast<std::int16_t>(value);
}

// Speaker positions of the channel mask, by bit.
enum Speaker {
    kFrontLeft,
    kFrontRight,
    kFrontCenter,
    kLowFrequency,
    kBackLeft,
    kBackRight,
    kFrontLeftOfCenter,
    kFrontRightOfCenter,
    kBackCenter,
    kSideLeft,
    kSideRight,
    kTopCenter,
    kTopFrontLeft,
    kTopFrontCenter,
    kTopFrontRight,
    kTopBackLeft,
    kTopBackCenter,
    kTopBackRight,
    kSpeakerCount,
    kNoPosition = kSpeakerCount,
};

void Gains(int speaker, double* left, double* right) {
    switch (speaker) {
        case kFrontLeft:
        case kFrontLeftOfCenter:
            *left = 1.0;
            *right = 0.0;
            break;
        case kFrontRight:
        case kFrontRightOfCenter:
            *left = 0.0;
            *right = 1.0;
            break;
        case kLowFrequency:
            *left = *right = 0.0;
            break;
        case kBackLeft:
        case kSideLeft:
        case kTopFrontLeft:
        case kTopBackLeft:
            *left = kHalfPower;
            *right = 0.0;
            break;
        case kBackRight:
        case kSideRight:
        case kTopFrontRight:
        case kTopBackRight:
            *left = 0.0;
            *right = kHalfPower;
            break;
        default:  // centre channels and channels without a position
            *left = *right = kHalfPower;
            break;
    }
}

// Positions of files that carry no channel mask, by channel count.
int DefaultSpeaker(int channels, int index) {
    static const int k3[] = {kFrontLeft, kFrontRight, kFrontCenter};
    static const int k4[] = {kFrontLeft, kFrontRight, kBackLeft, kBackRight};
    static const int k5[] = {kFrontLeft, kFrontRight, kFrontCenter, kBackLeft, kBackRight};
    static const int k6[] = {kFrontLeft,    kFrontRight, kFrontCenter,
                             kLowFrequency, kBackLeft,   kBackRight};
    static const int k7[] = {kFrontLeft,  kFrontRight, kFrontCenter, kLowFrequency,
                             kBackCenter, kSideLeft,   kSideRight};
    static const int k8[] = {kFrontLeft, kFrontRight, kFrontCenter, kLowFrequency,
                             kBackLeft,  kBackRight,  kSideLeft,    kSideRight};
    switch (channels) {
        case 3:
            return k3[index];
        case 4:
            return k4[index];
        case 5:
            return k5[index];
        case 6:
            return k6[index];
        case 7:
            return k7[index];
        case 8:
            return k8[index];
        default:
            return index < kSpeakerCount ? index : kNoPosition;
    }
}

}  // namespace

void StereoToMono(const std::int16_t* src, int frames, std::int16_t* dst) {
    for (int i = 0; i < frames; ++i) {
        // Each product lies within +-23170, so int holds it and the sum; truncating to int
        // rather than long lets the loop run as vectors.
        const int left = static_cast<int>(src[2 * i] * kHalfPower);
        const int right = static_cast<int>(src[2 * i + 1] * kHalfPower);
        const int sum = left + right;
        dst[i] = static_cast<std::int16_t>(sum > 32767 ? 32767 : (sum < -32768 ? -32768 : sum));
    }
}

void StereoToMonoAverage(const float* src, int frames, float* dst) {
    for (int i = 0; i < frames; ++i) dst[i] = 0.5f * (src[2 * i] + src[2 * i + 1]);
}

DownmixMatrix MakeDownmix(int channels, std::uint32_t channelMask) {
    DownmixMatrix m;
    if (channels < 1) channels = 1;
    if (channels > 64) channels = 64;
    m.channels = channels;
    int bit = 0;
    for (int c = 0; c < channels; ++c) {
        int speaker;
        if (channelMask != 0) {
            while (bit < 32 && (channelMask & (1u << bit)) == 0) ++bit;
            speaker = bit < kSpeakerCount ? bit : kNoPosition;
            if (bit < 32) ++bit;
        } else {
            speaker = DefaultSpeaker(channels, c);
        }
        Gains(speaker, &m.left[c], &m.right[c]);
    }
    double sumLeft = 0.0, sumRight = 0.0;
    for (int c = 0; c < channels; ++c) {
        sumLeft += m.left[c];
        sumRight += m.right[c];
    }
    for (int c = 0; c < channels; ++c) {
        if (sumLeft > 1.0) m.left[c] /= sumLeft;
        if (sumRight > 1.0) m.right[c] /= sumRight;
    }
    return m;
}

void DownmixToStereo(const DownmixMatrix& matrix, const std::int16_t* src, int frames,
                     std::int16_t* dst) {
    const int n = matrix.channels;
    for (int i = 0; i < frames; ++i) {
        const std::int16_t* frame = src + static_cast<long>(i) * n;
        double left = 0.0, right = 0.0;
        for (int c = 0; c < n; ++c) {
            left += matrix.left[c] * frame[c];
            right += matrix.right[c] * frame[c];
        }
        dst[2 * i] = Saturate(static_cast<long>(left));
        dst[2 * i + 1] = Saturate(static_cast<long>(right));
    }
}

void DownmixToStereo(const DownmixMatrix& matrix, const float* src, int frames, float* dst) {
    const int n = matrix.channels;
    for (int i = 0; i < frames; ++i) {
        const float* frame = src + static_cast<long>(i) * n;
        double left = 0.0, right = 0.0;
        for (int c = 0; c < n; ++c) {
            left += matrix.left[c] * frame[c];
            right += matrix.right[c] * frame[c];
        }
        dst[2 * i] = static_cast<float>(left);
        dst[2 * i + 1] = static_cast<float>(right);
    }
}
