#include "engine/high/hq_resampler.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "engine/high/hq_filter.h"
#include "engine/high/hq_kernel.h"

namespace {

// A queue of samples: appended at the back, consumed from the front.
template <typename T>
class Fifo {
  public:
    void Clear() { m_head = m_tail = 0; }
    std::int64_t Size() const { return static_cast<std::int64_t>(m_tail - m_head); }
    const T* Data() const { return m_data.get() + m_head; }
    // Room for n more values at the back, for the caller to fill.
    T* Grow(std::int64_t n) {
        const std::size_t size = m_tail - m_head, need = size + static_cast<std::size_t>(n);
        if (m_tail + static_cast<std::size_t>(n) > m_capacity) {
            if (need > m_capacity / 2) {
                // Twice what is needed, so that moving the values to the front stays rare.
                std::unique_ptr<T[]> larger(new T[2 * need]);
                if (size > 0) std::memcpy(larger.get(), Data(), sizeof(T) * size);
                m_data = std::move(larger);
                m_capacity = 2 * need;
            } else if (size > 0) {
                std::memmove(m_data.get(), Data(), sizeof(T) * size);
            }
            m_head = 0;
            m_tail = size;
        }
        T* room = m_data.get() + m_tail;
        m_tail += static_cast<std::size_t>(n);
        return room;
    }
    void GrowZeros(std::int64_t n) {
        T* room = Grow(n);
        std::fill(room, room + n, T(0));
    }
    void Drop(std::int64_t n) {
        m_head += static_cast<std::size_t>(n);
        if (m_head >= m_tail) Clear();
    }

  private:
    std::unique_ptr<T[]> m_data;
    std::size_t m_capacity = 0, m_head = 0, m_tail = 0;
};

// The steep low-pass by FFT (overlap-save): up, on the source with a zero after each sample;
// down, keeping every other output. Stereo runs as one complex signal (left real, right
// imaginary); mono puts two successive blocks in one.
template <typename T>
class SteepStage {
  public:
    void Reset(bool up, int channels, FilterPhase phase) {
        m_up = up;
        m_channels = channels;
        m_spectrum = &HqSteep<T>(phase);
        const int history = m_spectrum->taps - 1;
        m_block = kHqFftSize - history;  // outputs per block at twice the lower rate
        // A block's first output stands `history` inputs after its window's start, and the
        // filter's peak `delay` samples after its start (both even): zeros before the first input
        // put the first output's peak on it.
        const int zeros = history - m_spectrum->delay;
        for (int c = 0; c < channels; ++c) {
            in[c].Clear();
            in[c].GrowZeros(up ? zeros / 2 : zeros);
        }
        m_re.assign(kHqFftSize, T(0));
        m_im.assign(kHqFftSize, T(0));
        m_re2.assign(kHqFftSize, T(0));
        m_im2.assign(kHqFftSize, T(0));
    }
    // Input values a block needs per channel.
    std::int64_t Needed() const {
        const int window = m_up ? kHqFftSize / 2 : kHqFftSize;
        return m_channels == 2 ? window : window + Advance();
    }
    // Runs one block if the input holds enough; appends its outputs to out.
    bool Block(const HqKernelOps<T>& kernel, Fifo<T>* out) {
        if (in[0].Size() < Needed()) return false;
        const HqSteepSpectrum<T>& s = *m_spectrum;
        const int half = kHqFftSize / 2;
        const int window = m_up ? half : kHqFftSize;
        const T* second = m_channels == 2 ? in[1].Data() : in[0].Data() + Advance();
        std::memcpy(m_re.data(), in[0].Data(), sizeof(T) * static_cast<std::size_t>(window));
        std::memcpy(m_im.data(), second, sizeof(T) * static_cast<std::size_t>(window));
        const T* re;
        const T* im;
        int outputs, first;
        if (m_up) {
            kernel.forward(m_re.data(), m_im.data(), half, s.halfTwiddles.data());
            kernel.spreadMultiply(m_re.data(), m_im.data(), s.upEvenR.data(), s.upEvenI.data(),
                                  s.upOddR.data(), s.upOddI.data(), m_re2.data(), m_im2.data(),
                                  half);
            kernel.inverse(m_re2.data(), m_im2.data(), kHqFftSize, s.twiddles.data());
            first = s.taps - 1;
            outputs = m_block;
        } else {
            kernel.forward(m_re.data(), m_im.data(), kHqFftSize, s.twiddles.data());
            kernel.foldMultiply(m_re.data(), m_im.data(), s.downEvenR.data(), s.downEvenI.data(),
                                s.downOddR.data(), s.downOddI.data(), m_re2.data(), m_im2.data(),
                                half);
            kernel.inverse(m_re2.data(), m_im2.data(), half, s.halfTwiddles.data());
            first = (s.taps - 1) / 2;
            outputs = m_block / 2;
        }
        re = m_re2.data() + first;
        im = m_im2.data() + first;
        const std::size_t bytes = sizeof(T) * static_cast<std::size_t>(outputs);
        if (m_channels == 2) {
            std::memcpy(out[0].Grow(outputs), re, bytes);
            std::memcpy(out[1].Grow(outputs), im, bytes);
        } else {
            T* o = out[0].Grow(2 * outputs);
            std::memcpy(o, re, bytes);
            std::memcpy(o + outputs, im, bytes);
        }
        for (int c = 0; c < m_channels; ++c)
            in[c].Drop(m_channels == 2 ? Advance() : 2 * Advance());
        return true;
    }

    Fifo<T> in[2];

  private:
    // Input values between successive blocks.
    std::int64_t Advance() const { return m_up ? m_block / 2 : m_block; }

    bool m_up = true;
    int m_channels = 1;
    int m_block = 0;
    const HqSteepSpectrum<T>* m_spectrum = nullptr;
    std::vector<T> m_re, m_im, m_re2, m_im2;
};

// Polyphase interpolation between two rates with the weights of HqPolyTable.
template <typename T>
class PolyStage {
  public:
    void Reset(std::shared_ptr<const HqPolyTable<T>> table, int channels) {
        m_table = std::move(table);
        m_channels = channels;
        m_index = m_phase = 0;
        const HqPolyDesign& d = m_table->design;
        // Output 0's window starts taps / 2 - 1 inputs before input 0.
        for (int c = 0; c < channels; ++c) {
            in[c].Clear();
            in[c].GrowZeros(d.taps / 2 - 1);
        }
    }
    // Appends at most limit outputs to out (as many as the input allows); returns how many.
    std::int64_t Run(const HqKernelOps<T>& kernel, Fifo<T>* out, std::int64_t limit) {
        const HqPolyDesign& d = m_table->design;
        const std::int64_t room = in[0].Size() - d.paddedTaps - m_index;
        if (room < 0 || limit <= 0) return 0;
        // Output n's window starts at index + floor((phase + n step) / phases).
        std::int64_t count = ((room + 1) * d.phases - m_phase + d.step - 1) / d.step;
        count = std::min(count, limit);
        if (count <= 0) return 0;
        HqPolyRunOf<T> run{};
        for (int c = 0; c < m_channels; ++c) {
            run.in[c] = in[c].Data();
            run.out[c] = out[c].Grow(count);
        }
        run.channels = m_channels;
        run.taps = d.paddedTaps;
        run.count = static_cast<int>(count);
        run.index = m_index;
        run.phase = m_phase;
        run.step = d.step;
        run.phases = d.phases;
        run.weights = m_table->weights.data();
        run.slopes = d.exact ? nullptr : m_table->slopes.data();
        run.rows = d.rows;
        kernel.poly(run);
        m_phase = run.phase;
        const std::int64_t used = std::min(run.index, in[0].Size());
        for (int c = 0; c < m_channels; ++c) in[c].Drop(used);
        m_index = run.index - used;
        return count;
    }

    Fifo<T> in[2];

  private:
    std::shared_ptr<const HqPolyTable<T>> m_table;
    int m_channels = 1;
    std::int64_t m_index = 0, m_phase = 0;
};

// The stages in float or double; the samples come in and go out as floats.
template <typename T>
class HighQualityResampler : public FloatResampler {
  public:
    HighQualityResampler(const HqKernel& kernel, FilterPhase phase)
        : m_kernel(kernel.Ops<T>()), m_phase(phase) {}

    void Reset(int sourceFrequency, int targetFrequency, int targetChannels) override {
        m_source = sourceFrequency;
        m_target = targetFrequency;
        m_channels = targetChannels == 2 ? 2 : 1;
        m_inFrames = m_given = 0;
        for (Fifo<T>& f : m_final) f.Clear();
        m_up = m_source < m_target;
        m_hasPoly = false;
        if (m_source == m_target) return;
        m_steep.Reset(m_up, m_channels, m_phase);
        const std::int64_t low = std::min(m_source, m_target);
        const std::int64_t polyIn = m_up ? 2 * low : m_source;
        const std::int64_t polyOut = m_up ? m_target : 2 * low;
        m_hasPoly = polyIn != polyOut;
        if (m_hasPoly) m_poly.Reset(HqFindPolyTable<T>(polyIn, polyOut, low), m_channels);
    }
    int Process(const float* src, int count, float* dst, int capacity) override {
        const int frames = count > 0 && src != nullptr ? count / m_channels : 0;
        m_inFrames += frames;
        Fifo<T>* first = Input();
        if (frames == 0) {
            // Nothing new: only what earlier calls left.
        } else if (m_channels == 2) {
            T* left = first[0].Grow(frames);
            T* right = first[1].Grow(frames);
            for (int i = 0; i < frames; ++i) {
                left[i] = src[2 * i];
                right[i] = src[2 * i + 1];
            }
        } else {
            T* mono = first[0].Grow(frames);
            for (int i = 0; i < frames; ++i) mono[i] = src[i];
        }
        return Give(dst, capacity, std::numeric_limits<std::int64_t>::max());
    }

    int Drain(float* dst, int capacity) override {
        const std::int64_t total = (m_inFrames * m_target + m_source - 1) / m_source;
        const std::int64_t want =
            std::min<std::int64_t>(std::max(capacity, 0) / m_channels, total - m_given);
        if (want <= 0) return 0;
        // Zeros after the end of the source bring out the outputs the filters still hold.
        for (;;) {
            Pull(want);
            if (m_final[0].Size() >= want) break;
            Fifo<T>* first = Input();
            for (int c = 0; c < m_channels; ++c) first[c].GrowZeros(kDrainStep);
        }
        return Give(dst, capacity, total);
    }

  private:
    static constexpr std::int64_t kDrainStep = 4096;

    // Where the source's samples go.
    Fifo<T>* Input() {
        if (m_source == m_target) return m_final;
        return m_up || !m_hasPoly ? m_steep.in : m_poly.in;
    }

    // Runs the stages until `want` outputs wait or the input is used up.
    void Pull(std::int64_t want) {
        if (m_source == m_target) return;
        while (m_final[0].Size() < want) {
            if (m_up) {
                if (m_hasPoly) {
                    if (m_poly.Run(m_kernel, m_final, want - m_final[0].Size()) > 0) continue;
                    if (!m_steep.Block(m_kernel, m_poly.in)) break;
                } else if (!m_steep.Block(m_kernel, m_final)) {
                    break;
                }
            } else {
                if (m_steep.Block(m_kernel, m_final)) continue;
                if (!m_hasPoly) break;
                const std::int64_t need = m_steep.Needed() - m_steep.in[0].Size();
                if (m_poly.Run(m_kernel, m_steep.in, need) == 0) break;
            }
        }
    }

    // Interleaves up to capacity values of the outputs below `limit` frames into dst.
    int Give(float* dst, int capacity, std::int64_t limit) {
        std::int64_t frames =
            std::min<std::int64_t>(std::max(capacity, 0) / m_channels, limit - m_given);
        Pull(frames);
        frames = std::max<std::int64_t>(0, std::min(frames, m_final[0].Size()));
        if (frames == 0) return 0;
        if (m_channels == 2) {
            const T* left = m_final[0].Data();
            const T* right = m_final[1].Data();
            for (std::int64_t i = 0; i < frames; ++i) {
                dst[2 * i] = static_cast<float>(left[i]);
                dst[2 * i + 1] = static_cast<float>(right[i]);
            }
        } else {
            const T* mono = m_final[0].Data();
            for (std::int64_t i = 0; i < frames; ++i) dst[i] = static_cast<float>(mono[i]);
        }
        for (int c = 0; c < m_channels; ++c) m_final[c].Drop(frames);
        m_given += frames;
        return static_cast<int>(frames * m_channels);
    }

    const HqKernelOps<T>& m_kernel;
    FilterPhase m_phase;
    std::int64_t m_source = 1, m_target = 1;
    int m_channels = 1;
    bool m_up = true, m_hasPoly = false;
    std::int64_t m_inFrames = 0, m_given = 0;
    SteepStage<T> m_steep;
    PolyStage<T> m_poly;
    Fifo<T> m_final[2];
};

}  // namespace

const HqKernel& HqBestKernel() {
    static const HqKernel& best =
        WidestSupportedKernel({&kHqKernelAvx512, &kHqKernelAvx2, &kHqKernelSse2});
    return best;
}

std::unique_ptr<FloatResampler> MakeHighQualityResampler(const HqKernel& kernel,
                                                         const HqOptions& options) {
    if (options.precise) {
        return std::unique_ptr<FloatResampler>(
            new HighQualityResampler<double>(kernel, options.phase));
    }
    return std::unique_ptr<FloatResampler>(new HighQualityResampler<float>(kernel, options.phase));
}

std::unique_ptr<FloatResampler> MakeHighQualityResampler(const HqOptions& options) {
    return MakeHighQualityResampler(HqBestKernel(), options);
}
