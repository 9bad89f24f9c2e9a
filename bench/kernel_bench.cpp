// The resampling kernels alone: one second of audio per iteration, fed in chunks of 2560 frames
// as the conversion job does, for the literal kernels and the program's in each instruction set,
// the high quality in single and double precision, and libsoxr (when built with it) at the high
// quality's figures: passband to 0.95, about 144 dB, linear phase, one thread.
#include <benchmark/benchmark.h>
#ifdef RATEMILL_BENCH_SOXR
#include <soxr.h>
#endif

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/high/hq_kernel.h"
#include "engine/high/hq_resampler.h"
#include "engine/standard/sinc_kernel.h"
#include "engine/standard/sinc_state.h"
#include "reference/reference_resampler.h"

namespace {

std::vector<std::int16_t> Signal(int frames, int channels) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> noise(-3000, 3000);
    std::vector<std::int16_t> v(static_cast<std::size_t>(frames) * channels);
    for (std::size_t i = 0; i < v.size(); ++i) {
        v[i] = static_cast<std::int16_t>(12000.0 * std::sin(0.01 * static_cast<double>(i)) +
                                         noise(random));
    }
    return v;
}

template <typename State, typename Reset, typename Process>
void Run(benchmark::State& bench, int from, int to, int channels, Reset reset, Process process) {
    const std::vector<std::int16_t> in = Signal(from, channels);
    std::vector<std::int16_t> out(kResamplerOutputCapacity);
    auto state = std::make_unique<State>();
    std::int64_t produced = 0;
    for (auto _ : bench) {
        reset(*state, from, to, channels);
        const std::size_t chunk = 2560u * static_cast<std::size_t>(channels);
        for (std::size_t start = 0; start < in.size(); start += chunk) {
            const int n = static_cast<int>(std::min(chunk, in.size() - start));
            produced += process(*state, in.data() + start, n, out.data());
        }
        benchmark::DoNotOptimize(out.data());
    }
    bench.SetItemsProcessed(produced / channels);  // output frames
    bench.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(bench.iterations()), benchmark::Counter::kIsRate);
}

void Literal(benchmark::State& bench, int from, int to, int channels) {
    Run<reference::ResamplerState>(
        bench, from, to, channels,
        [](reference::ResamplerState& s, int a, int b, int c) {
            reference::ResamplerReset(s, a, b, c);
        },
        [channels](reference::ResamplerState& s, const std::int16_t* in, int n, std::int16_t* out) {
            return channels == 2 ? reference::ResampleStereo(s, in, n, out)
                                 : reference::ResampleMono(s, in, n, out);
        });
}

void Fast(benchmark::State& bench, const SincKernel* kernel, int from, int to, int channels) {
    if (!KernelSupported(*kernel)) {
        bench.SkipWithError("instruction set not available");
        return;
    }
    Run<ResamplerState>(
        bench, from, to, channels,
        [](ResamplerState& s, int a, int b, int c) { ResamplerReset(s, a, b, c); },
        [kernel, channels](ResamplerState& s, const std::int16_t* in, int n, std::int16_t* out) {
            return channels == 2 ? kernel->stereo(s, in, n, out, kResamplerOutputCapacity)
                                 : kernel->mono(s, in, n, out, kResamplerOutputCapacity);
        });
}

// The high-quality resampler on float samples, drained at the end of each second.
void HighQuality(benchmark::State& bench, const HqKernel* kernel, bool precise, int from, int to,
                 int channels) {
    if (!KernelSupported(*kernel)) {
        bench.SkipWithError("instruction set not available");
        return;
    }
    const std::vector<std::int16_t> pcm = Signal(from, channels);
    std::vector<float> in(pcm.size()), out(1 << 20);
    for (std::size_t i = 0; i < pcm.size(); ++i) in[i] = pcm[i] / 32768.0f;
    auto resampler = MakeHighQualityResampler(*kernel, HqOptions{precise, FilterPhase::Linear});
    std::int64_t produced = 0;
    for (auto _ : bench) {
        resampler->Reset(from, to, channels);
        const std::size_t chunk = 2560u * static_cast<std::size_t>(channels);
        for (std::size_t start = 0; start < in.size(); start += chunk) {
            const int n = static_cast<int>(std::min(chunk, in.size() - start));
            produced +=
                resampler->Process(in.data() + start, n, out.data(), static_cast<int>(out.size()));
        }
        while (int n = resampler->Drain(out.data(), static_cast<int>(out.size()))) produced += n;
        benchmark::DoNotOptimize(out.data());
    }
    bench.SetItemsProcessed(produced / channels);  // output frames
    bench.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(bench.iterations()), benchmark::Counter::kIsRate);
}

#ifdef RATEMILL_BENCH_SOXR
// libsoxr on the same float samples: its very-high-quality recipe set to 23 bits (about 144 dB)
// and a passband to 0.95 of the lower Nyquist frequency, flushed at the end of each second.
void Soxr(benchmark::State& bench, int from, int to, int channels) {
    const std::vector<std::int16_t> pcm = Signal(from, channels);
    std::vector<float> in(pcm.size()), out(1 << 20);
    for (std::size_t i = 0; i < pcm.size(); ++i) in[i] = pcm[i] / 32768.0f;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, SOXR_LINEAR_PHASE);
    quality.precision = 23;
    quality.passband_end = 0.95;
    quality.stopband_begin = 1.0;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_t soxr =
        soxr_create(from, to, static_cast<unsigned>(channels), &error, &io, &quality, &runtime);
    if (error != nullptr) {
        bench.SkipWithError(error);
        return;
    }
    const std::size_t frames = out.size() / static_cast<std::size_t>(channels);
    std::int64_t produced = 0;
    for (auto _ : bench) {
        soxr_clear(soxr);
        const std::size_t chunk = 2560u;
        const std::size_t total = in.size() / static_cast<std::size_t>(channels);
        for (std::size_t start = 0; start <= total; start += chunk) {
            // The last call, past the end, has no input: it flushes.
            const std::size_t n = start < total ? std::min(chunk, total - start) : 0;
            std::size_t used = 0, made = 0;
            soxr_process(soxr, n > 0 ? in.data() + start * channels : nullptr, n, &used, out.data(),
                         frames, &made);
            produced += static_cast<std::int64_t>(made);
            if (n == 0) break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    soxr_delete(soxr);
    bench.SetItemsProcessed(produced);  // output frames
    bench.counters["x realtime"] =
        benchmark::Counter(static_cast<double>(bench.iterations()), benchmark::Counter::kIsRate);
}
#endif

struct Job {
    const char* name;
    int from, to, channels;
};

// The kernels of bench/bench.sh's jobs (a mono source going to stereo runs the mono kernel),
// equal rates, and a ratio whose phases are too many for tables.
const Job kJobs[] = {
    {"44100to48000/stereo", 44100, 48000, 2}, {"48000to16000/mono", 48000, 16000, 1},
    {"8000to48000/mono", 8000, 48000, 1},     {"8000to96000/mono", 8000, 96000, 1},
    {"96000to44100/stereo", 96000, 44100, 2}, {"44100to44100/stereo", 44100, 44100, 2},
    {"44100to44101/mono", 44100, 44101, 1}};

int Register() {
    for (const Job& job : kJobs) {
        benchmark::RegisterBenchmark((std::string("literal/") + job.name).c_str(), Literal,
                                     job.from, job.to, job.channels)
            ->Unit(benchmark::kMillisecond);
        for (const SincKernel* kernel : {&kSincKernelSse2, &kSincKernelAvx2, &kSincKernelAvx512}) {
            benchmark::RegisterBenchmark((std::string(kernel->name) + "/" + job.name).c_str(), Fast,
                                         kernel, job.from, job.to, job.channels)
                ->Unit(benchmark::kMillisecond);
        }
    }
    const Job highQualityJobs[] = {{"44100to48000/stereo", 44100, 48000, 2},
                                   {"48000to16000/mono", 48000, 16000, 1},
                                   {"96000to44100/stereo", 96000, 44100, 2},
                                   {"8000to48000/mono", 8000, 48000, 1},
                                   {"44100to44101/stereo", 44100, 44101, 2}};
    for (const Job& job : highQualityJobs) {
        for (const HqKernel* kernel : {&kHqKernelSse2, &kHqKernelAvx2, &kHqKernelAvx512}) {
            benchmark::RegisterBenchmark(
                (std::string("high/") + kernel->name + "/" + job.name).c_str(), HighQuality, kernel,
                false, job.from, job.to, job.channels)
                ->Unit(benchmark::kMillisecond);
        }
        // The stages of outputs finer than 16 bits, with the widest kernel.
        benchmark::RegisterBenchmark(
            (std::string("high-double/") + HqBestKernel().name + "/" + job.name).c_str(),
            HighQuality, &HqBestKernel(), true, job.from, job.to, job.channels)
            ->Unit(benchmark::kMillisecond);
#ifdef RATEMILL_BENCH_SOXR
        benchmark::RegisterBenchmark((std::string("soxr/") + job.name).c_str(), Soxr, job.from,
                                     job.to, job.channels)
            ->Unit(benchmark::kMillisecond);
#endif
    }
    return 0;
}

const int registered = Register();

}  // namespace

BENCHMARK_MAIN();
