#include "engine/sample_writer.h"

#include <new>

SampleWriter::SampleWriter(CWaveFile& output, int blockValues, bool oneBlock)
    : m_output(output), m_blockValues(blockValues), m_oneBlock(oneBlock) {
    for (int i = 0; i < (oneBlock ? 1 : 2); ++i) {
        m_blocks[i].reset(new (std::nothrow) std::int16_t[static_cast<std::size_t>(blockValues)]);
    }
    if (!Ready() || oneBlock) return;
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
    return values == 0 || m_output.WriteSamples(samples, static_cast<std::uint32_t>(values) * 2);
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
    if (m_fill + values > m_blockValues && !Flush()) return nullptr;
    return m_blocks[m_current].get() + m_fill;
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
