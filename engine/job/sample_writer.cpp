#include "engine/job/sample_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

SampleWriter::SampleWriter(CWaveFile& output, int blockValues, bool oneBlock, int bytesPerSample,
                           bool writeBehind)
    : m_output(output),
      m_blockValues(blockValues),
      m_oneBlock(oneBlock),
      m_bytes(bytesPerSample),
      m_plain(bytesPerSample, FloatQuantizer::Noise::None, 1) {
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

bool SampleWriter::WriteBlock(int block, int values) {
    if (values == 0) return true;
    if (m_floats[block]) {
        // Converted here, on the writing thread when there is one, in the order of the stream.
        Convert(m_floats[block].get(), values / m_copies, m_blocks[block].get());
    }
    return m_output.WriteSamples(m_blocks[block].get(), static_cast<std::uint32_t>(values) *
                                                            static_cast<std::uint32_t>(m_bytes));
}

void SampleWriter::Loop() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_changed.wait(lock, [this] { return m_pending >= 0 || m_stop; });
        if (m_pending < 0) return;
        const int block = m_pending;
        const int values = m_pendingValues;
        lock.unlock();
        const bool ok = WriteBlock(block, values);
        lock.lock();
        if (!ok) m_failed = true;
        m_pending = -1;
        m_changed.notify_all();
    }
}

bool SampleWriter::Flush() {
    if (!m_thread.joinable()) {
        if (!m_failed && !WriteBlock(m_current, m_fill)) m_failed = true;
        m_fill = 0;
        return !m_failed;
    }
    std::unique_lock<std::mutex> lock(m_lock);
    m_changed.wait(lock, [this] { return m_pending < 0; });
    if (m_failed) return false;
    m_pending = m_current;
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

// The dither's keys count frames modulo 2^31 (two keys a frame); the salt of a channel changes
// with the frame's higher bits, so that no key comes back within a file.
constexpr int kFramesPerSaltBits = 31;

// A channel's salt for frames from `epoch` x 2^31 on (splitmix64's mixing of both): even, so
// that the two keys of a frame stay next to each other.
std::uint32_t Salt(int channel, std::uint64_t epoch) {
    std::uint64_t z = (2 * epoch + static_cast<std::uint64_t>(channel) + 1) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<std::uint32_t>(z) & ~1u;
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

// 24-bit samples, least significant byte first: four of them as three 32-bit words where the
// processor stores words that way, else byte by byte.
void Put24(std::uint8_t* room, const std::int32_t* steps, int n) {
    int i = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    for (; i + 4 <= n; i += 4) {
        const auto a = static_cast<std::uint32_t>(steps[i]);
        const auto b = static_cast<std::uint32_t>(steps[i + 1]);
        const auto c = static_cast<std::uint32_t>(steps[i + 2]);
        const auto d = static_cast<std::uint32_t>(steps[i + 3]);
        const std::uint32_t words[3] = {(a & 0xFFFFFFu) | b << 24, (b >> 8 & 0xFFFFu) | c << 16,
                                        (c >> 16 & 0xFFu) | d << 8};
        std::memcpy(room + 3 * i, words, sizeof words);
    }
#endif
    for (; i < n; ++i) PutLittleEndian<3>(room + 3 * i, steps[i]);
}

}  // namespace

FloatQuantizer::FloatQuantizer(int bytesPerSample, Noise noise, int channels,
                               const HqKernel& kernel)
    : m_bytes(bytesPerSample),
      m_noise(bytesPerSample == 4 ? Noise::None : noise),
      m_channels(channels == 2 ? 2 : 1),
      m_kernel(kernel) {
    Restart();
}

void FloatQuantizer::Restart() {
    m_peak = 0.0;
    m_clipped = 0;
    m_position = 0;
    for (Channel& channel : m_state) channel = Channel();
}

void FloatQuantizer::Measure(const float* values, int count) {
    const double peak = static_cast<double>(LargestMagnitude(values, count)) * m_gain;
    if (peak > m_peak) m_peak = peak;
}

// A run over at most count values from the next one on, none of them past a change of the
// salts.
HqQuantizeRun FloatQuantizer::Run(const float* values, int count) const {
    HqQuantizeRun run{};
    const std::uint64_t channels = static_cast<std::uint64_t>(m_channels);
    const std::uint64_t epoch = m_position / channels >> kFramesPerSaltBits;
    const std::uint64_t end = ((epoch + 1) << kFramesPerSaltBits) * channels;
    run.in = values;
    run.count = static_cast<int>(
        std::min<std::uint64_t>(static_cast<std::uint64_t>(count), end - m_position));
    run.channels = m_channels;
    run.index = static_cast<std::uint32_t>(m_position);
    for (int c = 0; c < 2; ++c) run.salts[c] = Salt(c, epoch);
    run.dither = m_noise == Noise::Tpdf;
    run.full = FullScale();
    run.scale = run.full * m_gain;
    return run;
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
    const double full = FullScale();
    const double scale = full * m_gain;
    const double highest = full - 1.0, lowest = -full;
    std::uint64_t clipped = 0;
    double dither[kFlatStretch];
    for (int start = 0; start < count;) {
        HqQuantizeRun run = Run(values + start, std::min(count - start, kFlatStretch));
        m_kernel.tpdf(run, dither);
        for (int i = 0; i < run.count; ++i) {
            Channel& channel =
                m_state[m_channels == 2 ? (m_position + static_cast<std::uint64_t>(i)) % 2 : 0];
            const double x = static_cast<double>(run.in[i]);
            std::int32_t& out = dst[start + i];
            if (x == 0.0) {
                // Silence is written as silence; the shaping filter's memory runs out with it.
                out = 0;
                for (int k = kShapingTaps - 1; k > 0; --k) channel.error[k] = channel.error[k - 1];
                channel.error[0] = 0.0;
                continue;
            }
            double wanted = x * scale;
            for (int k = 0; k < kShapingTaps; ++k) wanted -= kShaping[k] * channel.error[k];
            const double v = wanted + dither[i];
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
            out = static_cast<std::int32_t>(q);
            double error = q - wanted;
            if (error > kLargestFedBack) error = kLargestFedBack;
            if (error < -kLargestFedBack) error = -kLargestFedBack;
            for (int k = kShapingTaps - 1; k > 0; --k) channel.error[k] = channel.error[k - 1];
            channel.error[0] = error;
        }
        m_position += static_cast<std::uint64_t>(run.count);
        start += run.count;
    }
    m_clipped += clipped * static_cast<std::uint64_t>(copies);
}

// Without shaping no value depends on the ones before it: the kernel converts each stretch as
// vectors, with no branches, the same values as the shaped loop's steps give without its error
// feedback.
void FloatQuantizer::ConvertFlat(const float* values, int count, int copies, std::int32_t* dst) {
    std::uint64_t clipped = 0;
    float peak = 0.0f;
    for (int start = 0; start < count;) {
        HqQuantizeRun run = Run(values + start, std::min(count - start, kFlatStretch));
        m_kernel.quantize(run, dst + start);
        clipped += static_cast<std::uint64_t>(run.limited);
        peak = std::max(peak, run.peak);
        m_position += static_cast<std::uint64_t>(run.count);
        start += run.count;
    }
    const double measured = static_cast<double>(peak) * m_gain;
    if (measured > m_peak) m_peak = measured;
    m_clipped += clipped * static_cast<std::uint64_t>(copies);
}

bool SampleWriter::WriteFloat(const float* values, int count, int copies,
                              FloatQuantizer* quantizer) {
    if (m_quantizer == nullptr) {
        // The floats are kept as they come and converted when their block is written.
        m_copies = copies == 2 ? 2 : 1;
        m_quantizer = quantizer != nullptr ? quantizer : &m_plain;
        const std::size_t room = static_cast<std::size_t>(m_blockValues / m_copies);
        m_steps.reset(new (std::nothrow) std::int32_t[kStepsPerPass]);
        m_noRoom = !m_steps;
        for (int i = 0; i < (m_oneBlock ? 1 : 2); ++i) {
            m_floats[i].reset(new (std::nothrow) float[room]);
            if (!m_floats[i]) m_noRoom = true;
        }
    }
    if (m_noRoom) return false;
    while (count > 0) {
        int n = (m_blockValues - m_fill) / m_copies;
        if (n == 0) {
            if (!Flush()) return false;
            continue;
        }
        if (n > count) n = count;
        std::memcpy(m_floats[m_current].get() + m_fill / m_copies, values,
                    sizeof(float) * static_cast<std::size_t>(n));
        m_fill += n * m_copies;
        values += n;
        count -= n;
    }
    return true;
}

void SampleWriter::Convert(const float* values, int count, std::int16_t* block) {
    FloatQuantizer& q = *m_quantizer;
    const int copies = m_copies;
    std::int32_t* const steps = m_steps.get();
    auto* bytes = reinterpret_cast<std::uint8_t*>(block);
    while (count > 0) {
        const int n = count < kStepsPerPass ? count : kStepsPerPass;
        q.Convert(values, n, copies, steps);
        if (m_bytes == 2) {
            // One loop per copy count, each simple enough to run as vectors.
            std::int16_t* room = reinterpret_cast<std::int16_t*>(bytes);
            if (copies == 1) {
                for (int i = 0; i < n; ++i) room[i] = static_cast<std::int16_t>(steps[i]);
            } else {
                for (int i = 0; i < n; ++i) {
                    room[2 * i] = room[2 * i + 1] = static_cast<std::int16_t>(steps[i]);
                }
            }
        } else if (m_bytes == 3 && copies == 1) {
            // Three or four bytes a sample, little-endian; one loop per size and copy count.
            Put24(bytes, steps, n);
        } else if (m_bytes == 3) {
            for (int i = 0; i < n; ++i) {
                PutLittleEndian<3>(bytes + 6 * i, steps[i]);
                PutLittleEndian<3>(bytes + 6 * i + 3, steps[i]);
            }
        } else if (copies == 1) {
            for (int i = 0; i < n; ++i) PutLittleEndian<4>(bytes + 4 * i, steps[i]);
        } else {
            for (int i = 0; i < n; ++i) {
                PutLittleEndian<4>(bytes + 8 * i, steps[i]);
                PutLittleEndian<4>(bytes + 8 * i + 4, steps[i]);
            }
        }
        bytes += static_cast<std::size_t>(n) * static_cast<std::size_t>(copies * m_bytes);
        values += n;
        count -= n;
    }
}

bool SampleWriter::Finish() {
    if (m_finished) return !m_failed && !m_noRoom;
    m_finished = true;
    if (!Ready() || m_noRoom) return false;
    bool ok = m_fill == 0 || Flush();
    if (m_thread.joinable()) {
        {
            std::unique_lock<std::mutex> lock(m_lock);
            m_changed.wait(lock, [this] { return m_pending < 0; });
            m_stop = true;
            m_changed.notify_all();
        }
        m_thread.join();
    }
    return ok && !m_failed;
}
