#include "engine/job/sample_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

SampleWriter::SampleWriter(CWaveFile& output, int blockValues, bool oneBlock, int bytesPerSample,
                           bool writeBehind)
    : m_output(output), m_blockValues(blockValues), m_oneBlock(oneBlock), m_bytes(bytesPerSample) {
    const std::size_t units = (static_cast<std::size_t>(blockValues) * bytesPerSample + 1) / 2;
    for (int i = 0; i < (oneBlock ? 1 : 2); ++i) {
        m_blocks[i].reset(new (std::nothrow) std::int16_t[units]);
    }
    if (!Ready() || oneBlock || !writeBehind) return;
    try {
        m_thread = std::thread(&SampleWriter::Loop, this);
    } catch (...) {
        // No thread: blocks are written where they are handed over.
    }
}

SampleWriter::~SampleWriter() {
    Finish();
}

bool SampleWriter::WriteBlock(const std::int16_t* samples, int values) {
    return values == 0 || m_output.WriteSamples(samples, static_cast<std::uint32_t>(values) *
                                                             static_cast<std::uint32_t>(m_bytes));
}

void SampleWriter::Loop() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_changed.wait(lock, [this] { return m_pending != nullptr || m_stop; });
        if (m_pending == nullptr) return;
        const std::int16_t* block = m_pending;
        const int values = m_pendingValues;
        lock.unlock();
        const bool ok = WriteBlock(block, values);
        lock.lock();
        if (!ok) m_failed = true;
        m_pending = nullptr;
        m_changed.notify_all();
    }
}

bool SampleWriter::Flush() {
    if (!m_thread.joinable()) {
        if (!m_failed && !WriteBlock(m_blocks[m_current].get(), m_fill)) m_failed = true;
        m_fill = 0;
        return !m_failed;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_pending == nullptr; });
    if (m_failed) return false;
    m_pending = m_blocks[m_current].get();
    m_pendingValues = m_fill;
    m_changed.notify_all();
    m_current = 1 - m_current;
    m_fill = 0;
    return true;
}

std::int16_t* SampleWriter::Reserve(int values) {
    if (m_bytes != 2 || (m_fill + values > m_blockValues && !Flush())) return nullptr;
    return m_blocks[m_current].get() + m_fill;
}

namespace {

// Adding 1.5 x 2^52 to a double of smaller magnitude leaves no bits for a fraction, so the sum
// is rounded to an integer (ties to even); subtracting it again gives that integer exactly.
constexpr double kRounding = 6755399441055744.0;

// Values converted per pass of WriteFloat, at most.
constexpr int kStepsPerPass = 4096;

// The error filter of the shaped dither, newest error first: the 5-tap weighting of Lipshitz,
// Vanderkooy and Wannamaker for 44.1 kHz, which moves the noise out of the ear's most sensitive
// band (2 to 5 kHz) to above 15 kHz; at 48 kHz the same curve lies 9 % higher.
constexpr double kShaping[5] = {2.033, -2.165, 1.959, -1.590, 0.6149};

// A rounding error larger than this (a value limited to the range) is fed back as this much, so
// that a clipped stretch cannot make the shaping filter swing.
constexpr double kLargestFedBack = 1.5;

// Two uniform values from one step of xorshift64*, their difference: triangular on (-1, 1).
inline double Triangular(std::uint64_t& random) {
    std::uint64_t x = random;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    random = x;
    const std::uint64_t r = x * 2685821657736338717ull;
    constexpr double kScale = 1.0 / 4294967296.0;
    return (static_cast<double>(r >> 32) - static_cast<double>(r & 0xFFFFFFFFu)) * kScale;
}

// The largest magnitude of count values, NaN passed over. The bits of a float without its sign
// order as its magnitude does, and as integers their largest is found in vectors.
float LargestMagnitude(const float* values, int count) {
    constexpr std::int32_t kInfinity = 0x7F800000;
    std::int32_t largest = 0;
    for (int i = 0; i < count; ++i) {
        std::int32_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        bits &= 0x7FFFFFFF;
        bits = bits > kInfinity ? 0 : bits;  // NaN
        largest = bits > largest ? bits : largest;
    }
    float peak;
    std::memcpy(&peak, &largest, sizeof peak);
    return peak;
}

// The low kBytes bytes of a value, least significant first.
template <int kBytes>
inline void PutLittleEndian(std::uint8_t* room, std::int32_t value) {
    const auto v = static_cast<std::uint32_t>(value);
    for (int b = 0; b < kBytes; ++b) room[b] = static_cast<std::uint8_t>(v >> 8 * b);
}

}  // namespace

FloatQuantizer::FloatQuantizer(int bytesPerSample, Noise noise, int channels)
    : m_bytes(bytesPerSample),
      m_noise(bytesPerSample == 4 ? Noise::None : noise),
      m_channels(channels == 2 ? 2 : 1) {
    Restart();
}

void FloatQuantizer::Restart() {
    m_peak = 0.0;
    m_clipped = 0;
    m_next = 0;
    for (int c = 0; c < 2; ++c) {
        m_state[c] = Channel();
        // Any fixed odd value will do; each channel gets its own.
        m_state[c].random = 0x9E3779B97F4A7C15ull * static_cast<std::uint64_t>(2 * c + 1);
    }
}

// One value of the channel's TPDF dither.
double FloatQuantizer::NextTpdf(Channel& channel) {
    return Triangular(channel.random);
}

void FloatQuantizer::Measure(const float* values, int count) {
    const double peak = static_cast<double>(LargestMagnitude(values, count)) * m_gain;
    if (peak > m_peak) m_peak = peak;
}

void FloatQuantizer::Convert(const float* values, int count, int copies, std::int32_t* dst) {
    if (m_bytes == 4) {
        Measure(values, count);
        for (int i = 0; i < count; ++i) {
            const float v = m_gain == 1.0
                                ? values[i]
                                : static_cast<float>(static_cast<double>(values[i]) * m_gain);
            std::memcpy(&dst[i], &v, 4);
        }
        return;
    }
    if (m_noise != Noise::Shaped) {
        ConvertFlat(values, count, copies, dst);
        return;
    }
    Measure(values, count);
    const double full = m_bytes == 2 ? 32768.0 : 8388608.0;
    const double scale = full * m_gain;
    const double highest = full - 1.0, lowest = -full;
    std::uint64_t clipped = 0;
    for (int i = 0; i < count; ++i) {
        Channel& channel = m_state[m_next];
        m_next = m_next + 1 == m_channels ? 0 : m_next + 1;
        if (values[i] == 0.0f) {
            // Silence is written as silence; the shaping filter's memory runs out with it.
            dst[i] = 0;
            for (int k = kShapingTaps - 1; k > 0; --k) channel.error[k] = channel.error[k - 1];
            channel.error[0] = 0.0;
            continue;
        }
        double wanted = static_cast<double>(values[i]) * scale;
        for (int k = 0; k < kShapingTaps; ++k) wanted -= kShaping[k] * channel.error[k];
        const double v = wanted + NextTpdf(channel);
        double q;
        // What rounds past the range is limited to it (NaN to the lowest value).
        if (v >= highest + 0.5) {
            q = highest;
            ++clipped;
        } else if (!(v >= lowest - 0.5)) {
            q = lowest;
            ++clipped;
        } else {
            q = (v + kRounding) - kRounding;
        }
        dst[i] = static_cast<std::int32_t>(q);
        double error = q - wanted;
        if (error > kLargestFedBack) error = kLargestFedBack;
        if (error < -kLargestFedBack) error = -kLargestFedBack;
        for (int k = kShapingTaps - 1; k > 0; --k) channel.error[k] = channel.error[k - 1];
        channel.error[0] = error;
    }
    m_clipped += clipped * static_cast<std::uint64_t>(copies);
}

// Without shaping no value depends on the ones before it but for the dither generators'
// states. The dither of a stretch is made first, in a loop of nothing else (each generator's
// steps depend on one another); the rest then runs as vectors, with no branches: the same
// values as the shaped loop's steps give without its error feedback.
void FloatQuantizer::ConvertFlat(const float* values, int count, int copies, std::int32_t* dst) {
    const double full = m_bytes == 2 ? 32768.0 : 8388608.0;
    const double scale = full * m_gain;
    const double top = full - 0.5, bottom = -full - 0.5;
    const double highest = full - 1.0, lowest = -full;
    double dither[kFlatStretch];
    std::uint64_t clipped = 0;
    float peak = 0.0f;
    for (int start = 0; start < count; start += kFlatStretch) {
        const int n = count - start < kFlatStretch ? count - start : kFlatStretch;
        const float* x = values + start;
        std::int32_t* out = dst + start;
        if (m_noise == Noise::Tpdf) {
            Dither(x, n, dither);
        } else {
            for (int i = 0; i < n; ++i) dither[i] = 0.0;
            m_next = (m_next + n) % m_channels;
        }
        peak = std::max(peak, LargestMagnitude(x, n));
        int limited = 0;
        for (int i = 0; i < n; ++i) {
            // Adding no dither (+0.0) leaves the value as it is; silence gets none and stays 0.
            const double v = static_cast<double>(x[i]) * scale + dither[i];
            const bool up = v >= top;
            const bool down = !(v >= bottom);  // NaN too
            double q = (v + kRounding) - kRounding;
            q = up ? highest : q;
            q = down ? lowest : q;
            limited += up || down ? 1 : 0;
            out[i] = static_cast<std::int32_t>(q);
        }
        clipped += static_cast<std::uint64_t>(limited);
    }
    const double measured = static_cast<double>(peak) * m_gain;
    if (measured > m_peak) m_peak = measured;
    m_clipped += clipped * static_cast<std::uint64_t>(copies);
}

// The TPDF dither of n values into dither[] (0 where a value is 0: silence takes none and
// leaves the generator as it is), the channels' generators kept in registers.
void FloatQuantizer::Dither(const float* x, int n, double* dither) {
    int i = 0;
    if (m_channels == 1) {
        std::uint64_t r = m_state[0].random;
        for (; i < n; ++i) dither[i] = x[i] != 0.0f ? Triangular(r) : 0.0;
        m_state[0].random = r;
        return;
    }
    std::uint64_t r0 = m_state[0].random, r1 = m_state[1].random;
    if (m_next == 1 && i < n) {
        dither[i] = x[i] != 0.0f ? Triangular(r1) : 0.0;
        ++i;
    }
    for (; i + 1 < n; i += 2) {
        dither[i] = x[i] != 0.0f ? Triangular(r0) : 0.0;
        dither[i + 1] = x[i + 1] != 0.0f ? Triangular(r1) : 0.0;
    }
    m_next = 0;
    if (i < n) {
        dither[i] = x[i] != 0.0f ? Triangular(r0) : 0.0;
        m_next = 1;
    }
    m_state[0].random = r0;
    m_state[1].random = r1;
}

bool SampleWriter::WriteFloat(const float* values, int count, int copies,
                              FloatQuantizer* quantizer) {
    if (!m_steps) {
        m_steps.reset(new (std::nothrow) std::int32_t[kStepsPerPass]);
        if (!m_steps) return false;
    }
    FloatQuantizer plain(m_bytes, FloatQuantizer::Noise::None, 1);
    FloatQuantizer& q = quantizer != nullptr ? *quantizer : plain;
    while (count > 0) {
        int n = (m_blockValues - m_fill) / copies;
        if (n == 0) {
            if (!Flush()) return false;
            continue;
        }
        if (n > count) n = count;
        if (n > kStepsPerPass) n = kStepsPerPass;
        const std::int32_t* steps = m_steps.get();
        q.Convert(values, n, copies, m_steps.get());
        std::int16_t* block = m_blocks[m_current].get();
        if (m_bytes == 2) {
            // One loop per copy count, each simple enough to run as vectors.
            std::int16_t* room = block + m_fill;
            if (copies == 1) {
                for (int i = 0; i < n; ++i) room[i] = static_cast<std::int16_t>(steps[i]);
            } else {
                for (int i = 0; i < n; ++i) {
                    room[2 * i] = room[2 * i + 1] = static_cast<std::int16_t>(steps[i]);
                }
            }
        } else {
            // Three or four bytes a sample, little-endian; one loop per size and copy count.
            auto* room =
                reinterpret_cast<std::uint8_t*>(block) + m_bytes * static_cast<long>(m_fill);
            if (m_bytes == 3 && copies == 1) {
                for (int i = 0; i < n; ++i) PutLittleEndian<3>(room + 3 * i, steps[i]);
            } else if (m_bytes == 3) {
                for (int i = 0; i < n; ++i) {
                    PutLittleEndian<3>(room + 6 * i, steps[i]);
                    PutLittleEndian<3>(room + 6 * i + 3, steps[i]);
                }
            } else if (copies == 1) {
                for (int i = 0; i < n; ++i) PutLittleEndian<4>(room + 4 * i, steps[i]);
            } else {
                for (int i = 0; i < n; ++i) {
                    PutLittleEndian<4>(room + 8 * i, steps[i]);
                    PutLittleEndian<4>(room + 8 * i + 4, steps[i]);
                }
            }
        }
        m_fill += n * copies;
        values += n;
        count -= n;
    }
    return true;
}

bool SampleWriter::Finish() {
    if (m_finished) return !m_failed;
    m_finished = true;
    if (!Ready()) return false;
    bool ok = m_fill == 0 || Flush();
    if (m_thread.joinable()) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return m_pending == nullptr; });
            m_stop = true;
            m_changed.notify_all();
        }
        m_thread.join();
    }
    return ok && !m_failed;
}
