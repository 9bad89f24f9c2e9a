// The filters of the high-quality resampler, all Kaiser-windowed sincs designed here.
//
// The resampler works in two stages around a steep low-pass that runs at twice the lower of the
// two rates, where the lower Nyquist frequency is a quarter of its rate:
// - up:   the source with a zero after each sample (twice the source rate) through the steep
//         filter (by FFT), then a short polyphase stage to the target rate;
// - down: a short polyphase stage from the source to twice the target rate, then the steep
//         filter (by FFT), keeping every other output.
// The steep filter is flat to 0.95 of the lower Nyquist frequency and stops from 1.0 of it. Its
// passband comes back around its own rate, at 3 x the lower Nyquist frequency and up: the
// polyphase stage keeps the band below the lower Nyquist frequency and stops from 3 x it, so it
// is short. The stage is skipped when its two rates are equal.
//
// The stages in double precision (outputs finer than 16 bits) use a precise design of both
// filters, for a stopband of 165 dB instead of 145 dB: longer, with the same edges.
//
// The minimum-phase choice replaces the steep filter by its minimum-phase version (same
// magnitude, all its ringing after the peak), delayed by the fraction of a sample that puts its
// peak on a whole number of the stage's input samples; the delay compensated is that peak's.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/resampler.h"

// An FIR filter: its taps, and the rate (Hz) it runs at.
struct HqFilterTaps {
    double rate = 0.0;
    std::vector<double> taps;
};

// The steep filter in double precision and, when there is one, the polyphase stage's prototype
// on its fine grid (all its phases interleaved; the rate is the stage's input rate times the
// phases). Empty for equal rates (the samples pass through).
// Precise: the longer filters of the double-precision stages.
std::vector<HqFilterTaps> HqFilters(int sourceFrequency, int targetFrequency,
                                    FilterPhase phase = FilterPhase::Linear, bool precise = false);

// The steep filter's taps (an odd number, one less a multiple of 4), for any pair of rates, and
// the delay its outputs are taken with (where its peak stands): a whole even number of samples.
const std::vector<double>& HqSteepTaps(FilterPhase phase = FilterPhase::Linear,
                                       bool precise = false);
int HqSteepDelay(FilterPhase phase, bool precise = false);

// The polyphase stage from inRate to outRate, for a pair whose lower rate is lowRate.
struct HqPolyDesign {
    std::int64_t step = 1;    // outputs stand step / phases input samples apart,
    std::int64_t phases = 1;  // the ratio in lowest terms
    int taps = 0;             // inputs per output (even)
    int paddedTaps = 0;       // taps rounded up to a multiple of 8, of 4 if precise (zeros)
    std::int64_t rows = 0;    // tabulated offsets: phases (exact), else for interpolation
    bool exact = true;
    double cutoff = 0.0;  // cycles per input sample
    double beta = 0.0;    // the Kaiser window's shape
};
HqPolyDesign HqPlanPoly(std::int64_t inRate, std::int64_t outRate, std::int64_t lowRate,
                        bool precise = false);
// The weights of the output at `offset` (0 <= offset <= 1) input samples after input `taps`/2 - 1
// of its window, in double precision.
void HqPolyWeights(const HqPolyDesign& design, double offset, double* weights);

// Tables of a polyphase stage in float or double (the precise design), shared by the resamplers
// at the same rates.
template <typename T>
struct HqPolyTable {
    HqPolyDesign design;
    std::vector<T> weights;  // rows of paddedTaps
    std::vector<T> slopes;   // interpolated offsets: row k + 1 minus row k
};
template <typename T>
std::shared_ptr<const HqPolyTable<T>> HqFindPolyTable(std::int64_t inRate, std::int64_t outRate,
                                                      std::int64_t lowRate);

// The steep filter's spectrum for FFTs of kHqFftSize values, in the transforms' bit-reversed
// order, split in even and odd entries and scaled for each use, with the twiddles.
constexpr int kHqFftSize = 4096;
template <typename T>
struct HqSteepSpectrum {
    int taps = 0;
    int delay = 0;                          // HqSteepDelay
    std::vector<T> twiddles, halfTwiddles;  // for kHqFftSize and kHqFftSize / 2
    // Up: source with zeros through the filter, inverse unscaled. Down: every other output.
    std::vector<T> upEvenR, upEvenI, upOddR, upOddI;
    std::vector<T> downEvenR, downEvenI, downOddR, downOddI;
};
template <typename T>
const HqSteepSpectrum<T>& HqSteep(FilterPhase phase);
// The twiddle table of the FFTs in hq_kernel.h for a size.
template <typename T>
std::vector<T> HqFftTwiddles(int size);
