#include "engine/hq_resampler.h"

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// Linear interpolation between neighbouring inputs (a stand-in until the filter is designed):
// output n stands at input time n x ratio, and the output lasts as long as the source.
class LinearResampler : public Resampler {
  public:
    void Reset(int sourceFrequency, int targetFrequency, int targetChannels) override {
        m_source = sourceFrequency;
        m_target = targetFrequency;
        m_channels = targetChannels == 2 ? 2 : 1;
        m_in.clear();
        m_pending.clear();
        m_inFrames = 0;
        m_outFrames = 0;
        m_base = 0;
    }
    SampleForm Form() const override { return SampleForm::Float; }
    int Process(const std::int16_t*, int, std::int16_t*, int) override { return 0; }
    double Ratio() const override {
        return m_target > 0 ? static_cast<double>(m_source) / static_cast<double>(m_target) : 1.0;
    }
    int ProcessFloat(const float* src, int count, float* dst, int capacity) override {
        m_in.insert(m_in.end(), src, src + count - count % m_channels);
        m_inFrames += count / m_channels;
        Produce(false);
        return Give(dst, capacity);
    }
    int Drain(float* dst, int capacity) override {
        Produce(true);
        return Give(dst, capacity);
    }

  private:
    float Input(std::int64_t frame, int c) const {
        if (frame >= m_inFrames) frame = m_inFrames - 1;
        if (frame < 0) return 0.0f;
        return m_in[static_cast<std::size_t>((frame - m_base) * m_channels + c)];
    }
    void Produce(bool end) {
        const std::int64_t total = (m_inFrames * m_target + m_source - 1) / m_source;
        while (m_outFrames < total) {
            const std::int64_t num = m_outFrames * m_source;
            const std::int64_t i = num / m_target;
            if (!end && i + 1 >= m_inFrames) break;
            const double f = static_cast<double>(num % m_target) / static_cast<double>(m_target);
            for (int c = 0; c < m_channels; ++c) {
                m_pending.push_back(
                    static_cast<float>((1.0 - f) * Input(i, c) + f * Input(i + 1, c)));
            }
            ++m_outFrames;
        }
        // Keep the inputs from the next output's first one on.
        const std::int64_t keep = (m_outFrames * m_source) / m_target;
        if (keep > m_base + 1 && keep - 1 <= m_inFrames) {
            const std::int64_t drop = keep - 1 - m_base;
            m_in.erase(m_in.begin(), m_in.begin() + drop * m_channels);
            m_base += drop;
        }
    }
    int Give(float* dst, int capacity) {
        int n = static_cast<int>(m_pending.size()) < capacity ? static_cast<int>(m_pending.size())
                                                              : capacity;
        n -= n % m_channels;
        for (int i = 0; i < n; ++i) dst[i] = m_pending[static_cast<std::size_t>(i)];
        m_pending.erase(m_pending.begin(), m_pending.begin() + n);
        return n;
    }

    std::int64_t m_source = 1, m_target = 1;
    int m_channels = 1;
    std::vector<float> m_in, m_pending;
    std::int64_t m_inFrames = 0, m_outFrames = 0, m_base = 0;
};

}  // namespace

std::unique_ptr<Resampler> MakeHighQualityResampler() {
    return std::unique_ptr<Resampler>(new LinearResampler());
}
