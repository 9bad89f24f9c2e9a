// What the conversion job needs of a resampler, one interface per sample type: the standard
// quality works on 16-bit samples, the high quality on floats. A reset starts a stream (one
// file) at a pair of rates, mono or interleaved stereo; the calls after it continue that
// stream, so successive chunks of a file form one stream.
#pragma once

#include <cstdint>

// The phase of the high quality's filter: linear (symmetric impulse, ringing on both sides of a
// transient) or minimum (all its ringing after the transient).
enum class FilterPhase { Linear = 0, Minimum = 1 };

// 16-bit samples.
class Pcm16Resampler {
  public:
    virtual ~Pcm16Resampler() = default;
    // Both frequencies positive, in Hz; channels 2 means interleaved stereo, anything else mono.
    virtual void Reset(int sourceFrequency, int targetFrequency, int channels) = 0;
    // Consumes count values (an incomplete last stereo frame is ignored), writes at most
    // capacity values to dst and returns how many; outputs beyond the capacity are dropped.
    virtual int Process(const std::int16_t* src, int count, std::int16_t* dst, int capacity) = 0;
};

// Float samples with full scale 1.0 (a 16-bit sample s is s / 32768.0f).
class FloatResampler {
  public:
    virtual ~FloatResampler() = default;
    // As Pcm16Resampler::Reset.
    virtual void Reset(int sourceFrequency, int targetFrequency, int channels) = 0;
    // Consumes all count values, writes at most capacity values and returns how many; outputs
    // that did not fit are kept and come with the next call, which may have count 0.
    virtual int Process(const float* src, int count, float* dst, int capacity) = 0;
    // After the last input, the outputs still owed (the filter's delay), up to the length the
    // source's duration gives. Called until it returns 0.
    virtual int Drain(float* dst, int capacity) = 0;
};
