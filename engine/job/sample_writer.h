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

#include "media/wave_file.h"

// What happens to floats (full scale 1.0) on their way into an output: a gain, the peak and the
// clipped samples counted, and for integer samples dither and rounding to the nearest step
// (ties to even), limited to the range. Values come as one stream of interleaved channels;
// each channel has its own dither generator, seeded from its number alone, so that the same
// stream always gives the same samples. Dither is left out where a value is exactly 0, so that
// digital silence stays digital silence.
class FloatQuantizer {
  public:
    enum class Noise { None, Tpdf, Shaped };
    // bytesPerSample 2 or 3 (integers) or 4 (floats, which get no dither).
    FloatQuantizer(int bytesPerSample, Noise noise, int channels);

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
        std::uint64_t random = 0;
        double error[kShapingTaps] = {};  // the last rounding errors, newest first
    };
    double NextTpdf(Channel& channel);
    // Convert without noise shaping (no dither or TPDF), in stretches of kFlatStretch values.
    static constexpr int kFlatStretch = 256;
    void ConvertFlat(const float* values, int count, int copies, std::int32_t* dst);
    void Dither(const float* x, int n, double* dither);

    const int m_bytes;
    const Noise m_noise;
    const int m_channels;
    double m_gain = 1.0;
    double m_peak = 0.0;
    std::uint64_t m_clipped = 0;
    int m_next = 0;  // the channel of the next value
    Channel m_state[2];
};

class SampleWriter {
  public:
    // Blocks of blockValues samples of bytesPerSample bytes each (2, 3 or 4); without a thread
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
    // Appends count floats (full scale 1.0) as the quantizer makes them, `copies` times over (2:
    // a mono stream to both sides of a stereo output). Without a quantizer each is rounded to
    // the nearest step and saturated, with no gain or dither. False once a write has failed.
    bool WriteFloat(const float* values, int count, int copies,
                    FloatQuantizer* quantizer = nullptr);
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
    std::unique_ptr<std::int32_t[]> m_steps;  // WriteFloat's converted values

    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_changed;
    const std::int16_t* m_pending = nullptr;  // the block handed over, until written
    int m_pendingValues = 0;
    bool m_stop = false;
    bool m_failed = false;
    bool m_finished = false;
};
