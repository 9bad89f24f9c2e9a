// Reads a source's sample data in blocks on a thread of its own, one block ahead of the caller,
// so that reading overlaps with converting.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "media/file.h"

class BlockReader {
  public:
    // Reads `total` bytes from the file's current position in blocks of blockBytes. Without a
    // thread (readAhead false, or none could be started) each block is read when it is asked
    // for. Data shorter than one block is read into one buffer of its own size, on the caller's
    // thread: there is nothing to read ahead, and a batch of small files then allocates little
    // and starts no threads.
    BlockReader(CFile& file, std::uint64_t total, std::uint32_t blockBytes, bool readAhead = true);
    BlockReader(const BlockReader&) = delete;
    BlockReader& operator=(const BlockReader&) = delete;
    ~BlockReader();

    // False when the buffers could not be allocated.
    bool Ready() const { return m_blocks[0] && (m_oneBlock || m_blocks[1]); }
    // The next block and its size (valid until the next call); 0 bytes at the end of the data
    // or when a read failed or came up short.
    const std::uint8_t* Next(std::uint32_t* bytes);

  private:
    void Loop();
    std::uint32_t ReadBlock(int which);

    CFile& m_file;
    std::uint64_t m_left;  // bytes not yet asked of the file
    const std::uint32_t m_blockBytes;
    const bool m_oneBlock;  // all the data fits one block: one buffer, no thread
    std::unique_ptr<std::uint8_t[]> m_blocks[2];
    std::uint32_t m_sizes[2] = {0, 0};
    int m_next = 0;        // the block the caller gets next
    bool m_ended = false;  // a read came up short: nothing follows

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_filled[2] = {false, false};
    int m_wanted = -1;  // the block the thread is asked to fill
    bool m_stop = false;
};
