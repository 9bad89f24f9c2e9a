#include "engine/standard/sinc_resampler.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <numeric>
#include <utility>

#include "engine/common/recent_cache.h"
#include "engine/common/simd_choice.h"
#include "engine/standard/sinc_kernel.h"
#include "engine/standard/sinc_state.h"

struct WeightTables {
    int phases = 0;
    std::int64_t step = 0;
    std::unique_ptr<double[]> weights;
    std::unique_ptr<double[]> starts;
    std::unique_ptr<std::int32_t[]> rowOf;
};

namespace {

constexpr int kMask = kResamplerRingSize - 1;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPiOver32 = 0.09817477042468103;

const SincKernel& Kernel() {
    static const SincKernel& kernel =
        WidestSupportedKernel({&kSincKernelAvx512, &kSincKernelAvx2, &kSincKernelSse2});
    return kernel;
}

// Weights and slopes of every phase k / phases of the output instant between two inputs, in
// the form the kernels use between phases: w(f) = (-1)^j sin(f pi) / u with u = (f + j) pi,
// which is exactly 0 away from the centre when f is 0 (equal rates pass samples through).
// Successive outputs advance by `step` phases (the ratio is step / phases in lowest terms), so
// row j holds phase j x step mod phases: the rows are read one after the other.
// Null when there is not enough memory.
std::shared_ptr<const WeightTables> BuildWeightTables(int phases, std::int64_t step) {
    const std::size_t rows = static_cast<std::size_t>(phases) + 1;
    std::shared_ptr<WeightTables> tables;
    try {
        tables = std::make_shared<WeightTables>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    tables->phases = phases;
    tables->step = step;
    tables->weights.reset(new (std::nothrow) double[rows * 2 * kSincSpan]);
    tables->starts.reset(new (std::nothrow) double[rows]);
    tables->rowOf.reset(new (std::nothrow) std::int32_t[rows]);
    if (!tables->weights || !tables->starts || !tables->rowOf) return nullptr;
    double* const weights = tables->weights.get();
    double* const starts = tables->starts.get();
    std::int32_t* const rowOf = tables->rowOf.get();
    for (std::size_t j = 0; j < rows; ++j) {
        const std::size_t k =
            j == rows - 1
                ? rows - 1
                : static_cast<std::size_t>((static_cast<std::int64_t>(j) * step) % phases);
        rowOf[k] = static_cast<std::int32_t>(j);
    }
    for (std::size_t k = 0; k < rows; ++k) {
        const double f = static_cast<double>(k) / phases;
        const double sine = std::sin(f * kPi);
        const double cosine = std::cos(f * kPi);
        starts[k] = f;
        double* row = weights + static_cast<std::size_t>(rowOf[k]) * 2 * kSincSpan;
        for (int m = 0; m < kSincSpan; ++m) {
            const int j = kResamplerHalfWidth - m;
            const double u = (f + j) * kPi;
            const double sign = (j & 1) != 0 ? -1.0 : 1.0;
            double w = 0.0, slope = 0.0;
            if (m < 2 * kResamplerHalfWidth) {
                if (u == 0.0) {
                    w = 1.0;  // the centre of the window; flat there
                } else {
                    w = sign * sine / u;
                    slope = sign * (cosine - sine / u) * kPi / u;
                }
            }
            row[m] = w;
            row[kSincSpan + m] = slope;
        }
    }
    return tables;
}

std::shared_ptr<const WeightTables> FindWeightTables(int phases, std::int64_t step) {
    static RecentCache<std::array<std::int64_t, 2>, WeightTables> recent;
    return recent.Find({phases, step}, [&] { return BuildWeightTables(phases, step); });
}

}  // namespace

ResamplerState::~ResamplerState() = default;

void ResamplerReset(ResamplerState& s, int sourceFrequency, int targetFrequency,
                    int targetChannels) {
    s.targetChannels = targetChannels;
    s.position = 0.0;
    s.outCount = s.inCount = 0;
    s.outIndex = s.writeIndex = 0;
    for (double* ring : {s.x, s.xr, s.a, s.ar, s.y, s.yr}) {
        std::memset(ring, 0, sizeof(double) * 2 * kResamplerRingSize);
    }
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
    for (int i = 0; i < kFilterSpan; ++i) {
        s.filter[i] = i == 0 ? 0.0 : s.coefficients[kResamplerFilterTaps - i];
    }

    // The output instants repeat their position between inputs every `phases` outputs.
    if (s.tableSource != sourceFrequency || s.tableTarget != targetFrequency) {
        s.tables.reset();
        s.weights = s.phaseStart = nullptr;
        s.phaseRow = nullptr;
        s.phases = 0;
        s.tableSource = sourceFrequency;
        s.tableTarget = targetFrequency;
        const std::int64_t divisor = std::gcd(sourceFrequency, targetFrequency);
        const std::int64_t phases = targetFrequency / divisor;
        if (phases <= kMaxWeightPhases) {
            s.tables = FindWeightTables(static_cast<int>(phases), sourceFrequency / divisor);
        }
        if (s.tables) {
            s.weights = s.tables->weights.get();
            s.phaseStart = s.tables->starts.get();
            s.phaseRow = s.tables->rowOf.get();
            s.phases = s.tables->phases;
        }
        // The weights kept per phase belong to the tables: none is kept yet. Without memory for
        // them every output makes its weights.
        s.cacheMemory.reset();
        s.cachedOffsets = nullptr;
        s.cachedWeights = nullptr;
        s.cachedRows = 0;
        if (s.phases > 0 && s.phases <= kCachedPhases) {
            const std::size_t rows = static_cast<std::size_t>(s.phases) + 1;
            // The weights, 64-byte aligned, then the offsets.
            s.cacheMemory.reset(new (std::nothrow) double[rows * (kSincSpan + 1) + 8]);
            if (s.cacheMemory) {
                const auto address = reinterpret_cast<std::uintptr_t>(s.cacheMemory.get());
                s.cachedWeights = s.cacheMemory.get() + ((64 - address % 64) % 64) / 8;
                s.cachedOffsets = s.cachedWeights + rows * kSincSpan;
                // No offset is a NaN: every row is made at its first use.
                for (std::size_t r = 0; r < rows; ++r) {
                    s.cachedOffsets[r] = std::numeric_limits<double>::quiet_NaN();
                }
                s.cachedRows = static_cast<std::int32_t>(rows);
            }
        }
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
    return Kernel().mono(s, src, count, dst, capacity);
}

int ResampleStereo(ResamplerState& s, const std::int16_t* src, int count, std::int16_t* dst,
                   int capacity) {
    return Kernel().stereo(s, src, count, dst, capacity);
}

const char* ResamplerInstructionSet() {
    return Kernel().name;
}

namespace {

class SincResampler : public Pcm16Resampler {
  public:
    explicit SincResampler(std::unique_ptr<ResamplerState> state) : m_state(std::move(state)) {}
    void Reset(int sourceFrequency, int targetFrequency, int channels) override {
        ResamplerReset(*m_state, sourceFrequency, targetFrequency, channels);
    }
    int Process(const std::int16_t* src, int count, std::int16_t* dst, int capacity) override {
        return m_state->targetChannels == 2 ? ResampleStereo(*m_state, src, count, dst, capacity)
                                            : ResampleMono(*m_state, src, count, dst, capacity);
    }

  private:
    std::unique_ptr<ResamplerState> m_state;
};

}  // namespace

std::unique_ptr<Pcm16Resampler> MakeSincResampler() {
    std::unique_ptr<ResamplerState> state(new (std::nothrow) ResamplerState());
    if (!state) return nullptr;
    return std::unique_ptr<Pcm16Resampler>(new (std::nothrow) SincResampler(std::move(state)));
}
