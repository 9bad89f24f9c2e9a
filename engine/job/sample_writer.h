// Appends samples to an output WAV file on a thread of its own, so that writing one block overlaps
// with converting the next. Blocks alternate between two buffers. The samples are 16-bit, put
// into the room Reserve gives, or floats that WriteFloat turns into the output's samples (16 or
// 24 bits, or 32-bit floats) through a FloatQuantizer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/high/hq_kernel.h"
#include "media/wave_file.h"

// What happens to floats (full scale 1.0) on their way into an output: a gain, the peak and the
// clipped samples counted, and for integer samples dither and rounding to the nearest step
// (ties to even), limited to the range. Values come as one stream of interleaved channels; the
// dither of a value depends on its channel and frame alone (see HqQuantizeRun), so that the same
// stream always gives the same samples, in any pieces and on any instruction set. Dither is
// left out where a value is exactly 0, so that digital silence stays digital silence.
class FloatQuantizer {
  public:
    enum class Noise { None, Tpdf, Shaped };
    // bytesPerSample 2 or 3 (integers) or 4 (floats, which get no dither).
    FloatQuantizer(int bytesPerSample, Noise noise, int channels,
                   const HqKernel& kernel = HqBestKernel());

    // The linear gain applied to every value (1: none; exactly the values as they come).
    void SetGain(double gain) { m_gain = gain; }
    double Gain() const { return m_gain; }
    // Only measures the peak of count values times the gain.
    void Measure(const float* values, int count);
    // Converts count values into integer steps (2 and 3 bytes) or floats (4 bytes: dst holds
    // their bits), counting those limited to the range `copies` times.
    void Convert(const float* values, int count, int copies, std::int32_t* dst);
    // The counts and the dither's state start again (a file's second pass).
    void Restart();

    // The largest magnitude measured or converted, times the gain (1.0: full scale).
    double Peak() const { return m_peak; }
    std::uint64_t Clipped() const { return m_clipped; }

  private:
    static constexpr int kShapingTaps = 5;
    struct Channel {
        double error[kShapingTaps] = {};  // the last rounding errors, newest first
    };
    // Values are converted in stretches of kFlatStretch at most.
    static constexpr int kFlatStretch = 256;
    HqQuantizeRun Run(const float* values, int count) const;
    // Steps from 0 to full scale in an integer output.
    double FullScale() const { return m_bytes == 2 ? 32768.0 : 8388608.0; }
    // Convert without noise shaping (no dither or TPDF).
    void ConvertFlat(const float* values, int count, int copies, std::int32_t* dst);

    const int m_bytes;
    const Noise m_noise;
    const int m_channels;
    double m_gain = 1.0;
    double m_peak = 0.0;
    std::uint64_t m_clipped = 0;
    const HqKernel& m_kernel;
    std::uint64_t m_position = 0;  // values converted since the start
    Channel m_state[2];
};

class SampleWriter {
  public:
    // Blocks of blockValues samples of bytesPerSample bytes each (2, 3 or 4); without a thread
    // (writeBehind false, or none could be started) every block is written on the caller's
    // thread. With oneBlock (the whole output is expected to fit one block) there is one buffer
    // and no thread: it is written when full and at the end. Floats are turned into samples
    // where their block is written, so that with a thread the conversion runs beside the
    // caller's work.
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
    // Appends count floats (full scale 1.0) as the quantizer makes them, `copies` times over (2:
    // a mono stream to both sides of a stereo output). Without a quantizer each is rounded to
    // the nearest step and saturated, with no gain or dither. The quantizer and the copies are
    // those of the first call; the quantizer is used until Finish, on the writing thread, and
    // its counts are complete once Finish returns. False once a write has failed.
    bool WriteFloat(const float* values, int count, int copies,
                    FloatQuantizer* quantizer = nullptr);
    // Writes what is left and waits for it; false when any write failed.
    bool Finish();

  private:
    void Loop();
    // Hands the current block over (waiting for the one before to be written).
    bool Flush();
    bool WriteBlock(int block, int values);
    // count floats of a block into its samples.
    void Convert(const float* values, int count, std::int16_t* block);

    CWaveFile& m_output;
    const int m_blockValues;
    const bool m_oneBlock;
    const int m_bytes;  // per sample
    // Held as 16-bit values; other sample sizes are stored into them byte by byte.
    std::unique_ptr<std::int16_t[]> m_blocks[2];
    int m_current = 0;  // the block being filled
    int m_fill = 0;     // its samples (floats times copies)
    // WriteFloat's floats, per block, and what turns them into samples.
    std::unique_ptr<float[]> m_floats[2];
    std::unique_ptr<std::int32_t[]> m_steps;
    FloatQuantizer m_plain;
    FloatQuantizer* m_quantizer = nullptr;  // set by the first WriteFloat
    int m_copies = 1;
    bool m_noRoom = false;  // the floats' buffers could not be allocated

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    int m_pending = -1;  // the block handed over, until written
    int m_pendingValues = 0;
    bool m_stop = false;
    bool m_failed = false;
    bool m_finished = false;
};
