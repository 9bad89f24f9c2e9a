#include "engine/job/block_reader.h"

#include <new>

BlockReader::BlockReader(CFile& file, std::uint64_t total, std::uint32_t blockBytes, bool readAhead)
    : m_file(file), m_left(total), m_blockBytes(blockBytes), m_oneBlock(total < blockBytes) {
    if (m_oneBlock) {
        m_blocks[0].reset(new (std::nothrow) std::uint8_t[total > 0 ? total : 1]);
        return;
    }
    for (auto& block : m_blocks) {
        block.reset(new (std::nothrow) std::uint8_t[blockBytes]);
    }
    if (!Ready() || !readAhead) return;
    try {
        m_thread = std::thread(&BlockReader::Loop, this);
    } catch (...) {
        return;  // no thread: blocks are read when they are asked for
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_wanted = 0;
    m_changed.notify_all();
}

BlockReader::~BlockReader() {
    if (m_thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_stop = true;
            m_changed.notify_all();
        }
        m_thread.join();
    }
}

std::uint32_t BlockReader::ReadBlock(int which) {
    const std::uint32_t ask =
        m_left < m_blockBytes ? static_cast<std::uint32_t>(m_left) : m_blockBytes;
    const std::uint32_t got = ask == 0 ? 0 : m_file.Read(m_blocks[which].get(), ask);
    m_left -= got;
    if (got < ask) m_left = 0;  // a short read ends the data
    return got;
}

void BlockReader::Loop() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (true) {
        m_changed.wait(lock, [this] { return m_wanted >= 0 || m_stop; });
        if (m_stop) return;
        const int which = m_wanted;
        m_wanted = -1;
        lock.unlock();
        const std::uint32_t got = ReadBlock(which);
        lock.lock();
        m_sizes[which] = got;
        m_filled[which] = true;
        m_changed.notify_all();
    }
}

const std::uint8_t* BlockReader::Next(std::uint32_t* bytes) {
    *bytes = 0;
    if (!Ready() || m_ended) return nullptr;
    const int which = m_next;
    if (!m_oneBlock) m_next = 1 - m_next;
    if (!m_thread.joinable()) {
        *bytes = ReadBlock(which);
    } else {
        std::unique_lock<std::mutex> lock(m_lock);
        m_changed.wait(lock, [&] { return m_filled[which]; });
        m_filled[which] = false;
        *bytes = m_sizes[which];
        // While the caller converts this block, the thread reads the next one.
        m_wanted = m_next;
        m_changed.notify_all();
    }
    if (*bytes < m_blockBytes) m_ended = true;
    return m_blocks[which].get();
}
