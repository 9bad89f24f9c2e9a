// The sinc resampler written out literally: every weight from its own sine, every sum in the
// stated order, rings of 1024 values. The program uses the faster kernel in engine/; this one
// is the reference it is measured against, in the tests and in the benchmark.
//
// Each output sample is the sum of 50 input samples (25 on each side of the output instant)
// weighted by sin(pi x)/(pi x). A 65-tap Hann-windowed sinc low-pass filter, cut off at the lower
// of the two Nyquist frequencies, filters the input before the interpolation when the frequency
// goes down, and the interpolated output after it when the frequency goes up. The state carries
// over from one call to the next, so successive chunks of a file form one stream; a reset
// starts the next file.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/resampler.h"
#include "engine/standard/sinc_state.h"

namespace reference {

struct ResamplerState {
    double ratio = 1.0;  // source frequency / target frequency
    std::int32_t targetChannels = 0;
    double coefficients[kResamplerFilterTaps] = {};
    double position = 0.0;        // input time of the next output sample, modulo the ring size
    std::int64_t outCount = 0;    // output frames produced since the reset
    std::int32_t outIndex = 0;    // ring index of the next output frame
    std::int32_t writeIndex = 0;  // ring index of the next input frame
    std::int64_t inCount = 0;     // input frames consumed since the reset
    // Interpolation input (after the pre-filter), raw filter input, and output history before
    // scaling; left or mono, then right.
    double x[kResamplerRingSize] = {}, xr[kResamplerRingSize] = {};
    double a[kResamplerRingSize] = {}, ar[kResamplerRingSize] = {};
    double y[kResamplerRingSize] = {}, yr[kResamplerRingSize] = {};
};

// Clears the state and designs the filter; both frequencies are positive, in Hz.
void ResamplerReset(ResamplerState& state, int sourceFrequency, int targetFrequency,
                    int targetChannels);
// Consumes count 16-bit samples, writes at most capacity samples to dst and returns how many
// were written; samples beyond the capacity are dropped.
int ResampleMono(ResamplerState& state, const std::int16_t* src, int count, std::int16_t* dst,
                 int capacity = kResamplerOutputCapacity);
// count is the number of 16-bit values (interleaved left, right); an incomplete last frame is
// ignored. Returns the number of values written (twice the frames).
int ResampleStereo(ResamplerState& state, const std::int16_t* src, int count, std::int16_t* dst,
                   int capacity = kResamplerOutputCapacity);
// The filter output for a ring at an index: sum of coefficient[k] x ring[index - k].
double LowPassFilter(const ResamplerState& state, const double* ring, int index);

// The literal kernels behind the conversion job's resampler interface.
class ReferenceResampler : public Pcm16Resampler {
  public:
    ReferenceResampler() : m_state(new ResamplerState()) {}
    void Reset(int sourceFrequency, int targetFrequency, int targetChannels) override;
    int Process(const std::int16_t* src, int count, std::int16_t* dst, int capacity) override;
    const ResamplerState& State() const { return *m_state; }

  private:
    std::unique_ptr<ResamplerState> m_state;
};

std::unique_ptr<Pcm16Resampler> MakeReferenceResampler();

}  // namespace reference
