// Channel layout conversions of interleaved samples, 16-bit or float, applied before resampling.
#pragma once

#include <cstdint>

// Stereo to mono: each of L and R is multiplied by the square root of one half and truncated
// toward zero separately; the sum is saturated. Takes 2 x frames values, writes frames values.
void StereoToMono(const std::int16_t* src, int frames, std::int16_t* dst);
// Stereo to mono for floats: the average of the two sides, which cannot clip.
void StereoToMonoAverage(const float* src, int frames, float* dst);

// Gains of a down-mix of a multichannel source to stereo.
struct DownmixMatrix {
    int channels = 0;
    double left[64] = {};
    double right[64] = {};
};

// Builds the down-mix for a source of 3 to 64 channels. Speaker positions come from the
// channel mask when it has them (the k-th channel takes the k-th set bit), otherwise from the
// usual layout for the channel count (3.0, quad, 5.0, 5.1, 6.1, 7.1). Front left and right go to
// their side at full level; the centre channels to both sides at -3 dB; back, side and top
// channels to their side at -3 dB; the low-frequency channel is left out; a channel without a
// position goes to both sides at -3 dB. Each side's gains are then scaled so that they add up to
// at most 1, so the mix cannot clip.
DownmixMatrix MakeDownmix(int channels, std::uint32_t channelMask);

// Mixes frames of the source's channels down to interleaved stereo (2 x frames values).
void DownmixToStereo(const DownmixMatrix& matrix, const std::int16_t* src, int frames,
                     std::int16_t* dst);
// The same mix-down for floats.
void DownmixToStereo(const DownmixMatrix& matrix, const float* src, int frames, float* dst);
