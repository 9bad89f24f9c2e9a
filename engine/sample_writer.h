// Appends 16-bit samples to an output WAV file on a thread of its own, so that writing one block
// overlaps with converting the next. Blocks alternate between two buffers.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "media/wave_file.h"

class SampleWriter {
  public:
    // Blocks of blockValues samples; without a thread (none could be started) every block is
    // written on the caller's thread. With oneBlock (the whole output is expected to fit one
    // block) there is one buffer and no thread: it is written when full and at the end.
    SampleWriter(CWaveFile& output, int blockValues, bool oneBlock);
    SampleWriter(const SampleWriter&) = delete;
    SampleWriter& operator=(const SampleWriter&) = delete;
    ~SampleWriter();

    // False when the buffers could not be allocated.
    bool Ready() const { return m_blocks[0] && (m_oneBlock || m_blocks[1]); }
    // Room for `values` more samples (at most the block size), handing the current block over
    // first when it is too full. Null once a write has failed.
    std::int16_t* Reserve(int values);
    // The samples just put into the reserved room.
    void Commit(int values) { m_fill += values; }
    // Writes what is left and waits for it; false when any write failed.
    bool Finish();

  private:
    void Loop();
    // Hands the current block over (waiting for the one before to be written).
    bool Flush();
    bool WriteBlock(const std::int16_t* samples, int values);

    CWaveFile& m_output;
    const int m_blockValues;
    const bool m_oneBlock;
    std::unique_ptr<std::int16_t[]> m_blocks[2];
    int m_current = 0;  // the block being filled
    int m_fill = 0;

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    const std::int16_t* m_pending = nullptr;  // the block handed over, until written
    int m_pendingValues = 0;
    bool m_stop = false;
    bool m_failed = false;
    bool m_finished = false;
};
