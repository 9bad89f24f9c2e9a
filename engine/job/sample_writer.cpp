#include "engine/job/sample_writer.h"

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

// x x full (the sample's full-scale step count, 2^15 or 2^23) rounded and limited to the
// sample's range; NaN becomes the lowest value.
std::int32_t Quantize(float x, double full) {
    double v = static_cast<double>(x) * full;
    v = v > -full ? v : -full;
    v = v < full - 1.0 ? v : full - 1.0;
    return static_cast<std::int32_t>((v + kRounding) - kRounding);
}

}  // namespace

bool SampleWriter::WriteFloat(const float* values, int count, int copies) {
    while (count > 0) {
        int n = (m_blockValues - m_fill) / copies;
        if (n == 0) {
            if (!Flush()) return false;
            continue;
        }
        if (n > count) n = count;
        std::int16_t* block = m_blocks[m_current].get();
        if (m_bytes == 2) {
            // One loop per copy count, each simple enough to run as vectors.
            std::int16_t* room = block + m_fill;
            if (copies == 1) {
                for (int i = 0; i < n; ++i) {
                    room[i] = static_cast<std::int16_t>(Quantize(values[i], 32768.0));
                }
            } else {
                for (int i = 0; i < n; ++i) {
                    const auto q = static_cast<std::int16_t>(Quantize(values[i], 32768.0));
                    room[2 * i] = q;
                    room[2 * i + 1] = q;
                }
            }
        } else {
            // Three bytes a sample, little-endian.
            auto* room = reinterpret_cast<std::uint8_t*>(block) + 3 * static_cast<long>(m_fill);
            for (int i = 0; i < n; ++i) {
                const auto q = static_cast<std::uint32_t>(Quantize(values[i], 8388608.0));
                for (int c = 0; c < copies; ++c) {
                    *room++ = static_cast<std::uint8_t>(q);
                    *room++ = static_cast<std::uint8_t>(q >> 8);
                    *room++ = static_cast<std::uint8_t>(q >> 16);
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
