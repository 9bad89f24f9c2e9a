// Appends samples to an output WAV file on a thread of its own, so that writing one block overlaps
// with converting the next. Blocks alternate between two buffers. The samples are 16-bit, put
// into the room Reserve gives, or floats that WriteFloat quantizes to 16 or 24 bits.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "media/wave_file.h"

class SampleWriter {
  public:
    // Blocks of blockValues samples of bytesPerSample bytes each (2 or 3); without a thread
    // (writeBehind false, or none could be started) every block is written on the caller's
    // thread. With oneBlock (the whole output is expected to fit one block) there is one buffer
    // and no thread: it is written when full and at the end.
    SampleWriter(CWaveFile& output, int blockValues, bool oneBlock, int bytesPerSample = 2,
                 bool writeBehind = true);
    SampleWriter(const SampleWriter&) = delete;
    SampleWriter& operator=(const SampleWriter&) = delete;
    ~SampleWriter();

    // False when the buffers could not be allocated.
    bool Ready() const { return m_blocks[0] && (m_oneBlock || m_blocks[1]); }
    // Room for `values` more 16-bit samples (at most the block size), handing the current block
    // over first when it is too full. Null once a write has failed, and for other sample sizes.
    std::int16_t* Reserve(int values);
    // The samples just put into the reserved room.
    void Commit(int values) { m_fill += values; }
    // Appends count floats (full scale 1.0), each rounded to the nearest step of the sample size
    // (ties to even) and saturated, `copies` times over (2: a mono stream to both sides of a
    // stereo output). False once a write has failed.
    bool WriteFloat(const float* values, int count, int copies);
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
    const int m_bytes;  // per sample
    // Held as 16-bit values; other sample sizes are stored into them byte by byte.
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
