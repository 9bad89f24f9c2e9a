// The standard quality's sinc resampler for 16-bit mono or interleaved stereo streams: its
// state and the kernels that run on it (engine/standard/sinc_resampler.h makes the resampler
// the conversion job drives).
//
// Each output sample is the sum of 50 input samples (25 on each side of the output instant)
// weighted by sin(pi x)/(pi x). A 65-tap Hann-windowed sinc low-pass filter, cut off at the lower
// of the two Nyquist frequencies, filters the input before the interpolation when the frequency
// goes down, and the interpolated output after it when the frequency goes up. The state carries
// over from one call to the next, so successive chunks of a file form one stream; a reset
// starts the next file.
//
// The arithmetic is arranged for speed without changing what comes out: output n stands at
// input time n x ratio exactly as in the plain formulation, the same samples are produced at the
// same moments, and the values agree to the last bit except, rarely, by one where a sum lies
// within rounding noise of an integer step. The ways to get there:
// - sin((f + j) pi) = (-1)^j sin(f pi): the 50 weights of an output share one sine; for rates
//   with a short period (the ratio p/q in lowest terms with q <= kMaxWeightPhases), the weights
//   of each of the q + 1 phases are tabulated with their slopes, and an output's weights are the
//   table's plus its tiny offset from the phase (a first-order correction);
// - the weights made for a phase are kept with the offset they were made for, and used again
//   while the next outputs of that phase have the same offset; where they are, AVX-512 finds
//   the instants, phases and offsets of eight outputs at once, the running clock taken as a
//   constant step within a binade and checked against the one-at-a-time steps;
// - when the ratio is a whole number, every output instant falls on an input, whose weight is 1
//   while the others are 0: the output is that input, and the pre-filter runs at those inputs
//   only; at any ratio, an output whose instant falls exactly on an input (offset 0, as every
//   q-th output does at p / q wherever n x ratio comes out exact) is that input, since its
//   weights would be 1 there and +-0 elsewhere;
// - the rings are kept twice over, so every window is contiguous and the sums run as SIMD dot
//   products (SSE2, AVX2 or AVX-512, chosen at run time); the low-pass filter runs over several
//   neighbouring samples at once, each vector lane one sample with its sum in the same order.
#pragma once

#include <cstdint>
#include <memory>

constexpr int kResamplerRingSize = 1024;  // power of two: indices wrap with & (size - 1)
constexpr int kResamplerFilterTaps = 65;
constexpr int kResamplerHalfWidth = 25;  // input samples on each side of an output instant
// Output capacity of one kernel call, in 16-bit values.
constexpr int kResamplerOutputCapacity = 204800;
// Longest phase period that gets weight tables (larger ones compute weights per output).
constexpr int kMaxWeightPhases = 4096;
// Longest phase period whose phases keep their last weights in the state.
constexpr int kCachedPhases = 1024;
// Padded window lengths of the vectorised sums.
constexpr int kSincSpan = 64;    // 50 weights and zeros
constexpr int kFilterSpan = 64;  // taps 65 .. 2 as vectors (tap 1 apart, taps 0 and 64 are 0)

// The weights of one ratio's output phases (made by ResamplerReset).
struct WeightTables;

struct alignas(64) ResamplerState {
    ResamplerState() = default;
    ResamplerState(const ResamplerState&) = delete;
    ResamplerState& operator=(const ResamplerState&) = delete;
    ~ResamplerState();

    double ratio = 1.0;  // source frequency / target frequency
    std::int32_t targetChannels = 0;
    double coefficients[kResamplerFilterTaps] = {};
    // The taps for the vector part of the filter sums, in reverse order and shifted by one:
    // filter[i] = coefficients[65 - i] (0 for i = 0). Tap 1 is applied on its own to the
    // second-newest value, and tap 0 (on the newest) is 0 like tap 64: the window's ends.
    alignas(64) double filter[kFilterSpan] = {};
    double position = 0.0;        // input time of the next output sample, modulo the ring size
    std::int64_t outCount = 0;    // output frames produced since the reset
    std::int32_t outIndex = 0;    // ring index of the next output frame
    std::int32_t writeIndex = 0;  // ring index of the next input frame
    std::int64_t inCount = 0;     // input frames consumed since the reset
    // Rings, each stored twice over (index i and i + 1024): interpolation input (after the
    // pre-filter), raw filter input, and output history before scaling; left or mono, right.
    alignas(64) double x[2 * kResamplerRingSize] = {};
    alignas(64) double xr[2 * kResamplerRingSize] = {};
    alignas(64) double a[2 * kResamplerRingSize] = {};
    alignas(64) double ar[2 * kResamplerRingSize] = {};
    alignas(64) double y[2 * kResamplerRingSize] = {};
    alignas(64) double yr[2 * kResamplerRingSize] = {};
    // Weight tables for the phases k / phases, k = 0 .. phases (0: no tables): phase k is in
    // row phaseRow[k], which holds kSincSpan weights, then kSincSpan slopes; phaseStart[k] is
    // k / phases. The rows are stored in the order successive outputs visit their phases.
    // The tables are shared by every state at the same ratio; `tables` keeps them alive.
    std::int32_t phases = 0;
    const double* weights = nullptr;
    const double* phaseStart = nullptr;
    const std::int32_t* phaseRow = nullptr;
    std::shared_ptr<const WeightTables> tables;
    std::int64_t tableSource = 0, tableTarget = 0;  // the rates the tables were made for
    // The weights last made for each phase (when phases <= kCachedPhases): an output whose
    // offset from its phase has the same bits as that phase's last one takes them as they are.
    // Offsets change only when the rounding of n x ratio moves, far less often than a phase comes
    // round. Phase k's 50 weights (kSincSpan apart) are at cachedWeights + k x kSincSpan.
    std::int32_t cachedRows = 0;
    double* cachedOffsets = nullptr;
    double* cachedWeights = nullptr;
    std::unique_ptr<double[]> cacheMemory;
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
