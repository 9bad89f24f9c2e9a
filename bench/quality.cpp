// ratemill-quality: makes the test sources of the quality benchmark and measures what a
// converter made of them, by least-squares sine fits (bench/quality.sh runs it).
//
//   ratemill-quality make FIN FOUT CHANNELS SOURCE.wav [--level DB] [--float]
//       writes the 60 s 24-bit (--float: 32-bit float) source for the job FIN -> FOUT, its tones
//       at -6 dBFS or the level given
//   ratemill-quality measure FIN FOUT CHANNELS OUTPUT.wav [--level DB] [--quantise BITS]
//       prints, tab-separated: THD+N (dB), worst alias or image (dBc), where it lies, level at
//       0.9 x the lower Nyquist (dB), delay (output samples), length error (frames), the energy
//       that comes before the impulse's rise (dB of its energy); --level as the source was made,
//       --quantise rounds the output to BITS first (a float output measured as the integer
//       output it stands for, without dither)
//   ratemill-quality signal tone|fade|mix RATE CHANNELS FILE [--level DB] [--float]
//       writes 10 s of 997 Hz at --level dBFS (tone), 997 Hz fading from -60 to -120 dBFS between
//       digital silences (fade) or a dense mix limited to 0 dBFS (mix), 24-bit or float
//   ratemill-quality tone FILE --level DB
//       prints the level of its 997 Hz tone (dBFS), that level's error (dB) and the highest of
//       its 2nd to 9th harmonics (dBFS, with its number)
//   ratemill-quality silence SOURCE OUTPUT
//       prints when each first falls into 100 ms of zeros after sounding (s, -1: never) and the
//       share of the output that is zero where the source is (%)
//   ratemill-quality peak FILE
//       prints how many samples stand at full scale and the peak (dBFS)
//   ratemill-quality sweep RATE FILE
//       writes 8 s of a 16-bit linear sweep from 0 Hz to RATE / 2 at -6 dBFS
//   ratemill-quality time RUNS OUTDIR COMMAND...
//       runs COMMAND RUNS times, emptying OUTDIR before each, and prints the median seconds
//   ratemill-quality self-check
//       measures made-up outputs with known faults; exit status 0 when the figures come out
//
// The source, the same on every channel, is a row of segments (times in seconds):
//   [0, 1)   silence with one sample of 0.5 near 0.5 s, at a source frame whose output time
//            is a whole output frame;
//   [1, 5)   997 Hz at -6 dBFS (THD+N): a prime, so that the samples of the outputs do not
//            repeat every few periods and the rounding error of a 16-bit output spreads as
//            noise;
//   [5, 7)   0.9 x the lower Nyquist frequency at -6 dBFS (level);
//   [7, 7+M) M tones of 1 s at -6 dBFS whose aliases (going down: tones from 1.02 x the target
//            Nyquist up to the source Nyquist) or images (going up: tones whose image at
//            FIN - f lies in the target band) are measured;
//   then a linear sweep at -6 dBFS up to the source Nyquist, to fill 60 s.
// Each tone segment is measured over its middle, 0.25 s in from either end, so that the
// converters' filters have settled.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
double sourceAmplitude =
    0.5;  // of the tones and the impulse: -6 dBFS unless --level says otherwise
constexpr double kSeconds = 60.0;
constexpr double kSettle = 0.25;  // seconds left out at either end of a segment
constexpr int kSpurTones = 12;

struct Tone {
    double start, length, frequency;
};

// The source's segments for one job, and what the measurements need to know of it.
struct Layout {
    int fin = 0, fout = 0;
    std::int64_t sourceFrames = 0;
    std::int64_t impulseFrame = 0;  // source frame of the impulse
    Tone thd{}, level{};
    std::vector<Tone> spurTones;
    double fillStart = 0.0;
};

double Fold(double frequency, double rate) {
    double f = std::fmod(std::fabs(frequency), rate);
    return f > rate / 2 ? rate - f : f;
}

// The spurious frequencies of a source tone f in the output: the source's images k x FIN +- f,
// folded by the output rate, without the tone itself and without those at 0 or the Nyquist
// frequency, where a sine cannot be told from a constant.
std::vector<double> SpurFrequencies(const Layout& layout, double f) {
    std::vector<double> result;
    double nyquist = layout.fout / 2.0;
    int images = std::max(2, 2 * layout.fout / layout.fin + 2);
    for (int k = 0; k <= images; ++k) {
        for (double s : {k * double(layout.fin) - f, k * double(layout.fin) + f}) {
            double spur = Fold(s, layout.fout);
            if (k == 0 && s < 0) continue;
            bool isTone = f < nyquist && std::fabs(spur - f) < 10.0;
            bool edge = spur < 0.01 * nyquist || spur > 0.99 * nyquist;
            bool seen = std::any_of(result.begin(), result.end(),
                                    [&](double r) { return std::fabs(r - spur) < 10.0; });
            if (!isTone && !edge && !seen) result.push_back(spur);
        }
    }
    return result;
}

Layout MakeLayout(int fin, int fout) {
    Layout layout;
    layout.fin = fin;
    layout.fout = fout;
    layout.sourceFrames = std::int64_t(std::llround(kSeconds * fin));
    // Near 0.5 s, at a multiple of FIN / gcd, so that the output time is a whole frame.
    std::int64_t step = fin / std::gcd(fin, fout);
    layout.impulseFrame = std::max<std::int64_t>(1, std::llround(0.5 * fin / double(step))) * step;
    double lowerNyquist = std::min(fin, fout) / 2.0;
    layout.thd = {1.0, 4.0, 997.0};
    layout.level = {5.0, 2.0, 0.9 * lowerNyquist};
    double low, high = (fout < fin ? 0.99 : 0.98) * fin / 2.0;
    if (fout < fin)
        low = 1.02 * fout / 2.0;
    else
        low = std::max(0.02 * fin / 2.0, fin - 0.99 * fout / 2.0);
    double start = 7.0;
    // Off the round numbers, so that the harmonics of a tone (which the rounding of a 16-bit
    // output makes) do not fall on the spurious frequencies measured.
    for (int i = 0; i < kSpurTones; ++i) {
        double f = std::round(low + (high - low) * i / (kSpurTones - 1)) + 0.37;
        if (SpurFrequencies(layout, f).empty()) continue;
        layout.spurTones.push_back({start, 1.0, f});
        start += 1.0;
    }
    layout.fillStart = start;
    return layout;
}

// The segments sampled at `rate`. Tones at or above `cutoff` are left out, and the impulse is
// the one the source's sample of 0.5 becomes when low-passed at `cutoff` (at the source rate
// with cutoff FIN / 2: the sample itself). delay shifts everything by that many samples;
// withFill adds the sweep.
std::vector<double> Render(const Layout& layout, int rate, double cutoff, double delay,
                           bool withFill) {
    auto frames = std::size_t(std::llround(double(layout.sourceFrames) * rate / layout.fin));
    std::vector<double> x(frames, 0.0);
    auto addTone = [&](const Tone& tone) {
        if (tone.frequency >= cutoff) return;
        auto first = std::size_t(std::llround(tone.start * rate + delay));
        auto last =
            std::min(frames, std::size_t(std::llround((tone.start + tone.length) * rate + delay)));
        for (std::size_t n = first; n < last; ++n) {
            double t = (double(n) - delay) / rate - tone.start;
            x[n] += sourceAmplitude * std::sin(2 * kPi * tone.frequency * t);
        }
    };
    addTone(layout.thd);
    addTone(layout.level);
    for (const Tone& tone : layout.spurTones) addTone(tone);
    if (withFill) {
        double length = kSeconds - layout.fillStart, top = layout.fin / 2.0;
        for (auto n = std::size_t(layout.fillStart * rate); n < frames; ++n) {
            double t = double(n) / rate - layout.fillStart;
            x[n] = sourceAmplitude * std::sin(kPi * top * t * t / length);
        }
    }
    // The impulse: 0.5 x (2 cutoff / FIN) sinc(2 cutoff (t - t0)), Hann-windowed over +-0.4 s.
    double at = double(layout.impulseFrame) / layout.fin;
    double gain = sourceAmplitude * 2 * cutoff / layout.fin;
    for (auto n = std::size_t(0.1 * rate); n < std::size_t(0.9 * rate) && n < frames; ++n) {
        double t = (double(n) - delay) / rate - at;
        double u = 2 * cutoff * t;
        double sinc = std::fabs(u) < 1e-12 ? 1.0 : std::sin(kPi * u) / (kPi * u);
        x[n] += gain * sinc * 0.5 * (1 + std::cos(kPi * t / 0.4));
    }
    return x;
}

// ---- WAV files ----

struct Audio {
    int rate = 0, bits = 0;
    bool isFloat = false;
    std::vector<std::vector<double>> channels;  // full scale 1.0
};

std::uint32_t Le(const unsigned char* p, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// Reads 16-, 24- or 32-bit integer or 32-bit float PCM, plain or extensible; other chunks are
// passed over.
bool ReadWav(const char* path, Audio& audio, std::string& error) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return error = "cannot open", false;
    std::vector<unsigned char> bytes;
    unsigned char buffer[65536];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(f);
    if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
        std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
        return error = "not a WAV file", false;
    int format = 0, channels = 0, bits = 0;
    for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const unsigned char* chunk = bytes.data() + at;
        std::size_t size = Le(chunk + 4, 4), body = at + 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && body + size <= bytes.size()) {
            format = int(Le(chunk + 8, 2));
            channels = int(Le(chunk + 10, 2));
            audio.rate = int(Le(chunk + 12, 4));
            bits = int(Le(chunk + 22, 2));
            if (format == 0xFFFE && size >= 40) format = int(Le(chunk + 32, 2));
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (channels < 1 || (format != 1 && format != 3) ||
                (format == 1 && bits != 16 && bits != 24 && bits != 32) ||
                (format == 3 && bits != 32))
                return error = "unsupported sample format", false;
            std::size_t frameBytes = std::size_t(channels) * (bits / 8);
            std::size_t frames = std::min<std::size_t>(size, bytes.size() - body) / frameBytes;
            audio.channels.assign(channels, std::vector<double>(frames));
            audio.bits = bits;
            audio.isFloat = format == 3;
            const unsigned char* p = bytes.data() + body;
            for (std::size_t n = 0; n < frames; ++n) {
                for (int c = 0; c < channels; ++c, p += bits / 8) {
                    std::uint32_t v = Le(p, bits / 8);
                    double s;
                    if (format == 3) {
                        float fv;
                        std::memcpy(&fv, &v, 4);
                        s = fv;
                    } else {
                        auto signedValue = std::int32_t(v << (32 - bits));  // sign in bit 31
                        s = signedValue / 2147483648.0;
                    }
                    audio.channels[c][n] = s;
                }
            }
            return true;
        }
        at = body + size + (size & 1);
    }
    return error = "no data chunk", false;
}

// Integer PCM of 16 or 24 bits, rounded without dither, or (bits 32) float; the same samples on
// every channel.
bool WriteWav(const char* path, const std::vector<double>& x, int channels, int rate, int bits) {
    int bytes = bits / 8;
    double scale = bits == 16 ? 32768.0 : 8388608.0;
    std::uint32_t dataBytes = std::uint32_t(x.size() * channels * bytes);
    std::vector<unsigned char> out;
    auto put = [&](std::uint32_t v, int size) {
        for (int i = 0; i < size; ++i) out.push_back((unsigned char)(v >> (8 * i)));
    };
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    put(36 + dataBytes, 4);
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(bits == 32 ? 3 : 1, 2);
    put(std::uint32_t(channels), 2);
    put(std::uint32_t(rate), 4);
    put(std::uint32_t(rate * channels * bytes), 4);
    put(std::uint32_t(channels * bytes), 2);
    put(std::uint32_t(bits), 2);
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    put(dataBytes, 4);
    for (double s : x) {
        std::uint32_t v;
        if (bits == 32) {
            float f = float(s);
            std::memcpy(&v, &f, 4);
        } else {
            v = std::uint32_t(std::int32_t(std::clamp(std::round(s * scale), -scale, scale - 1)));
        }
        for (int c = 0; c < channels; ++c) put(v, bytes);
    }
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
    return std::fclose(f) == 0 && ok;
}

// ---- Least-squares sine fits ----

// Fits y[n] ~ c + sum_k (a_k cos(w_k m) + b_k sin(w_k m)) + d x extra[n] over [begin, end),
// where m = n - middle and w_k = 2 pi f_k / rate (extra optional). Returns the coefficients
// c, a_0, b_0, a_1, b_1, ..., d, and the mean square residual in `residual`.
std::vector<double> Fit(const std::vector<double>& y, std::size_t begin, std::size_t end,
                        double rate, const std::vector<double>& frequencies, double& residual,
                        const std::vector<double>* extra = nullptr) {
    std::size_t k = 1 + 2 * frequencies.size() + (extra ? 1 : 0);
    double middle = 0.5 * double(begin + end);
    std::vector<double> g(k * k, 0.0), h(k, 0.0), row(k);
    auto fillRow = [&](std::size_t n) {
        double m = double(n) - middle;
        row[0] = 1.0;
        for (std::size_t i = 0; i < frequencies.size(); ++i) {
            double phase = 2 * kPi * frequencies[i] / rate * m;
            row[1 + 2 * i] = std::cos(phase);
            row[2 + 2 * i] = std::sin(phase);
        }
        if (extra) row[k - 1] = (*extra)[n - begin];
    };
    for (std::size_t n = begin; n < end; ++n) {
        fillRow(n);
        for (std::size_t i = 0; i < k; ++i) {
            h[i] += row[i] * y[n];
            for (std::size_t j = 0; j <= i; ++j) g[i * k + j] += row[i] * row[j];
        }
    }
    for (std::size_t i = 0; i < k; ++i)
        for (std::size_t j = i + 1; j < k; ++j) g[i * k + j] = g[j * k + i];
    // Gaussian elimination with partial pivoting.
    for (std::size_t col = 0; col < k; ++col) {
        std::size_t pivot = col;
        for (std::size_t r = col + 1; r < k; ++r)
            if (std::fabs(g[r * k + col]) > std::fabs(g[pivot * k + col])) pivot = r;
        for (std::size_t j = 0; j < k; ++j) std::swap(g[col * k + j], g[pivot * k + j]);
        std::swap(h[col], h[pivot]);
        for (std::size_t r = col + 1; r < k; ++r) {
            double factor = g[r * k + col] / g[col * k + col];
            for (std::size_t j = col; j < k; ++j) g[r * k + j] -= factor * g[col * k + j];
            h[r] -= factor * h[col];
        }
    }
    std::vector<double> coefficients(k);
    for (std::size_t i = k; i-- > 0;) {
        double s = h[i];
        for (std::size_t j = i + 1; j < k; ++j) s -= g[i * k + j] * coefficients[j];
        coefficients[i] = s / g[i * k + i];
    }
    double sum = 0.0;
    for (std::size_t n = begin; n < end; ++n) {
        fillRow(n);
        double model = std::inner_product(row.begin(), row.end(), coefficients.begin(), 0.0);
        sum += (y[n] - model) * (y[n] - model);
    }
    residual = sum / double(end - begin);
    return coefficients;
}

struct ToneFit {
    double amplitude, residual;
};

// One sine with an offset, its frequency refined by Gauss-Newton steps from `frequency`.
ToneFit FitTone(const std::vector<double>& y, std::size_t begin, std::size_t end, double rate,
                double frequency) {
    double residual = 0.0, middle = 0.5 * double(begin + end);
    std::vector<double> c = Fit(y, begin, end, rate, {frequency}, residual);
    std::vector<double> slope(end - begin);
    for (int step = 0; step < 6; ++step) {
        // d/dw of a cos(w m) + b sin(w m) is m (b cos(w m) - a sin(w m)).
        for (std::size_t n = begin; n < end; ++n) {
            double m = double(n) - middle, phase = 2 * kPi * frequency / rate * m;
            slope[n - begin] = m * (c[2] * std::cos(phase) - c[1] * std::sin(phase));
        }
        std::vector<double> d = Fit(y, begin, end, rate, {frequency}, residual, &slope);
        double change = d[3] * rate / (2 * kPi);
        if (!(std::fabs(change) < 1.0)) break;  // no tone to refine
        frequency += change;
        c = Fit(y, begin, end, rate, {frequency}, residual);
        if (std::fabs(change) < 1e-9) break;
    }
    return {std::hypot(c[1], c[2]), residual};
}

std::pair<std::size_t, std::size_t> Window(const Tone& tone, double rate, std::size_t frames) {
    auto begin = std::size_t((tone.start + kSettle) * rate);
    auto end = std::size_t((tone.start + tone.length - kSettle) * rate);
    return {std::min(begin, frames), std::min(end, frames)};
}

// The band-limited signal between the samples: a Hann-windowed sinc over 48 samples each side.
double Interpolate(const std::vector<double>& y, double t) {
    double sum = 0.0;
    auto first = std::int64_t(std::floor(t)) - 47;
    for (std::int64_t n = std::max<std::int64_t>(0, first);
         n < first + 96 && n < std::int64_t(y.size()); ++n) {
        double u = t - double(n);
        double sinc = std::fabs(u) < 1e-12 ? 1.0 : std::sin(kPi * u) / (kPi * u);
        sum += y[n] * sinc * 0.5 * (1 + std::cos(kPi * u / 48));
    }
    return sum;
}

struct Figures {
    double thdn = 0, spur = -HUGE_VAL, spurTone = 0, spurAt = 0, level = 0, delay = 0;
    double preEcho = -HUGE_VAL;  // dB of the impulse's energy
    std::int64_t lengthError = 0;
};

// The figures of one channel; false when the output is too short to hold the segments.
bool MeasureChannel(const Layout& layout, const std::vector<double>& y, Figures& r) {
    double rate = layout.fout;
    if (double(y.size()) < layout.fillStart * rate) return false;
    auto [b0, e0] = Window(layout.thd, rate, y.size());
    ToneFit thd = FitTone(y, b0, e0, rate, layout.thd.frequency);
    r.thdn = 10 * std::log10(thd.amplitude * thd.amplitude / 2 / thd.residual);
    auto [b1, e1] = Window(layout.level, rate, y.size());
    r.level = 20 * std::log10(FitTone(y, b1, e1, rate, layout.level.frequency).amplitude /
                              sourceAmplitude);
    for (const Tone& tone : layout.spurTones) {
        auto [b, e] = Window(tone, rate, y.size());
        for (double spur : SpurFrequencies(layout, tone.frequency)) {
            std::vector<double> frequencies{spur};
            if (tone.frequency < rate / 2) frequencies.push_back(tone.frequency);
            double residual = 0.0;
            std::vector<double> c = Fit(y, b, e, rate, frequencies, residual);
            double dbc = 20 * std::log10(std::hypot(c[1], c[2]) / sourceAmplitude);
            if (dbc > r.spur) r.spur = dbc, r.spurTone = tone.frequency, r.spurAt = spur;
        }
    }
    // The impulse: the largest magnitude within 0.4 s of its expected time, placed to a hundredth
    // of a sample on the band-limited signal the samples stand for, then refined by golden
    // sections.
    double expected = double(layout.impulseFrame) * rate / layout.fin;
    auto from = std::size_t(std::max(1.0, expected - 0.4 * rate));
    auto to = std::min(y.size() - 1, std::size_t(expected + 0.4 * rate));
    std::size_t peak = from;
    for (std::size_t n = from; n < to; ++n)
        if (std::fabs(y[n]) > std::fabs(y[peak])) peak = n;
    auto magnitude = [&](double t) { return std::fabs(Interpolate(y, t)); };
    double best = double(peak);
    for (double t = best - 1; t <= double(peak) + 1; t += 0.01)
        if (magnitude(t) > magnitude(best)) best = t;
    double a = best - 0.01, b = best + 0.01, golden = (std::sqrt(5.0) - 1) / 2;
    for (int i = 0; i < 40; ++i) {
        double c = b - golden * (b - a), d = a + golden * (b - a);
        if (magnitude(c) > magnitude(d))
            b = d;
        else
            a = c;
    }
    r.delay = 0.5 * (a + b) - expected;
    // What comes before the impulse's rise: more than 4 samples of the lower rate before its
    // peak (a minimum-phase response rises within about 3).
    double before = 4.0 * std::max(1.0, rate / std::min(layout.fin, layout.fout)), energy = 0.0,
           early = 0.0;
    for (std::size_t n = from; n < to; ++n) {
        energy += y[n] * y[n];
        if (double(n) < 0.5 * (a + b) - before) early += y[n] * y[n];
    }
    r.preEcho = 10 * std::log10(early / energy);
    std::int64_t expectedFrames = (layout.sourceFrames * layout.fout + layout.fin / 2) / layout.fin;
    r.lengthError = std::int64_t(y.size()) - expectedFrames;
    return true;
}

// The worst figures over the channels.
bool Measure(const Layout& layout, const Audio& audio, Figures& worst, std::string& error) {
    if (audio.rate != layout.fout) return error = "wrong sampling frequency", false;
    bool first = true;
    for (const auto& channel : audio.channels) {
        Figures f;
        if (!MeasureChannel(layout, channel, f)) return error = "output too short", false;
        if (first || f.thdn < worst.thdn) worst.thdn = f.thdn;
        if (first || f.spur > worst.spur)
            worst.spur = f.spur, worst.spurTone = f.spurTone, worst.spurAt = f.spurAt;
        if (first || std::fabs(f.level) > std::fabs(worst.level)) worst.level = f.level;
        if (first || std::fabs(f.delay) > std::fabs(worst.delay)) worst.delay = f.delay;
        if (first || f.preEcho > worst.preEcho) worst.preEcho = f.preEcho;
        worst.lengthError = f.lengthError;
        first = false;
    }
    return true;
}

// ---- Commands ----

int Make(int fin, int fout, int channels, const char* path, int bits) {
    Layout layout = MakeLayout(fin, fout);
    std::vector<double> x = Render(layout, fin, fin / 2.0, 0.0, true);
    if (!WriteWav(path, x, channels, fin, bits)) {
        std::fprintf(stderr, "ratemill-quality: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

// 8 s of a linear sweep from 0 Hz to the Nyquist frequency at -6 dBFS, 16-bit mono.
int Sweep(int rate, const char* path) {
    std::vector<double> x(std::size_t(8 * rate));
    for (std::size_t n = 0; n < x.size(); ++n) {
        double t = double(n) / rate;
        x[n] = sourceAmplitude * std::sin(kPi * rate / 2 * t * t / 8);
    }
    if (!WriteWav(path, x, 1, rate, 16)) {
        std::fprintf(stderr, "ratemill-quality: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

int MeasureFile(int fin, int fout, int channels, const char* path, int quantise) {
    Audio audio;
    std::string error;
    Figures f;
    if (ReadWav(path, audio, error) && int(audio.channels.size()) != channels)
        error = "wrong channel count";
    // Rounded to the nearest step of `quantise` bits, without dither (a float output measured
    // as the integer output it stands for).
    double step = quantise > 0 ? std::ldexp(1.0, 1 - quantise) : 0.0;
    for (auto& channel : audio.channels) {
        for (double& v : channel) {
            if (step > 0) v = std::clamp(std::round(v / step) * step, -1.0, 1.0 - step);
        }
    }
    if (error.empty()) Measure(MakeLayout(fin, fout), audio, f, error);
    if (!error.empty()) {
        std::fprintf(stderr, "ratemill-quality: %s: %s\n", path, error.c_str());
        return 1;
    }
    // A spur of -inf: the output is silent where the aliases or images would be. Adding 0.0
    // turns a -0 into 0, so that no "-0.00" is shown.
    double level = std::round(f.level * 1000) / 1000 + 0.0;
    double delay = std::round(f.delay * 100) / 100 + 0.0;
    std::printf("%.1f\t%.1f\t%.0f Hz -> %.0f Hz\t%+.3f\t%+.2f\t%+lld\t%.1f\n", f.thdn, f.spur,
                f.spurTone, f.spurAt, level, delay, static_cast<long long>(f.lengthError),
                f.preEcho);
    return 0;
}

// ---- The low-level, fade and clipping sources ----

constexpr double kToneFrequency = 997.0;

// The 10 s sources of the 16-bit tables (the same on every channel): "tone" is 997 Hz at `level`
// dBFS; "fade" is 0.5 s of digital silence, 997 Hz fading from -60 to -120 dBFS over 10 s, and
// 2 s of digital silence; "mix" is a dense signal limited to full scale: seventeen tones of
// scattered phases, their peaks cut at half their largest, then raised so that the cut peaks
// stand at 0 dBFS, as a mastering limiter leaves them.
std::vector<double> RenderSignal(const std::string& kind, int rate, double level) {
    std::vector<double> x;
    if (kind == "tone") {
        x.resize(std::size_t(10 * rate));
        double amplitude = std::pow(10.0, level / 20);
        for (std::size_t n = 0; n < x.size(); ++n)
            x[n] = amplitude * std::sin(2 * kPi * kToneFrequency * double(n) / rate);
    } else if (kind == "fade") {
        x.assign(std::size_t(12.5 * rate), 0.0);
        for (auto n = std::size_t(0.5 * rate); n < std::size_t(10.5 * rate); ++n) {
            double t = double(n) / rate - 0.5;
            x[n] = std::pow(10.0, (-60 - 6 * t) / 20) * std::sin(2 * kPi * kToneFrequency * t);
        }
    } else if (kind == "mix") {
        x.assign(std::size_t(10 * rate), 0.0);
        for (int k = 0; k < 17; ++k) {
            double f = 60.0 * std::pow(1.37, k) + 0.31, phase = 2.4 * k * k;
            if (f >= 0.45 * rate) break;
            for (std::size_t n = 0; n < x.size(); ++n)
                x[n] += std::sin(2 * kPi * f * double(n) / rate + phase) / (1 + 0.1 * k);
        }
        double peak = 0.0;
        for (double v : x) peak = std::max(peak, std::fabs(v));
        for (double& v : x) v = std::clamp(v, -0.5 * peak, 0.5 * peak) / (0.5 * peak);
    }
    return x;
}

int MakeSignal(const std::string& kind, int rate, int channels, const char* path, int bits,
               double level) {
    std::vector<double> x = RenderSignal(kind, rate, level);
    if (x.empty()) return 2;
    if (!WriteWav(path, x, channels, rate, bits)) {
        std::fprintf(stderr, "ratemill-quality: cannot write %s\n", path);
        return 1;
    }
    return 0;
}

struct LowTone {
    double level = 0, harmonic = -HUGE_VAL;  // dBFS
    int which = 0;                           // the harmonic's number, 2 to 9
};

// 997 Hz and its 2nd to 9th harmonics fitted together over the middle of a channel, 0.5 s in
// from either end: the level of the tone and the highest harmonic, in dBFS.
LowTone MeasureLowTone(const std::vector<double>& y, double rate) {
    LowTone r;
    auto begin = std::size_t(0.5 * rate), end = y.size() - std::min(y.size(), begin);
    std::vector<double> frequencies;
    for (int h = 1; h <= 9 && h * kToneFrequency < 0.49 * rate; ++h)
        frequencies.push_back(h * kToneFrequency);
    double residual = 0.0;
    std::vector<double> c = Fit(y, begin, std::max(begin, end), rate, frequencies, residual);
    r.level = 20 * std::log10(std::hypot(c[1], c[2]));
    for (std::size_t h = 1; h < frequencies.size(); ++h) {
        double db = 20 * std::log10(std::hypot(c[1 + 2 * h], c[2 + 2 * h]));
        if (db > r.harmonic) r.harmonic = db, r.which = int(h) + 1;
    }
    return r;
}

bool ReadOrSay(const char* path, Audio& audio) {
    std::string error;
    if (ReadWav(path, audio, error) && audio.rate > 0) return true;
    std::fprintf(stderr, "ratemill-quality: %s: %s\n", path, error.c_str());
    return false;
}

// Prints the level (dBFS), its error against `level` (dB) and the highest harmonic (dBFS, which)
// of the worst channel.
int ToneFile(const char* path, double level) {
    Audio audio;
    if (!ReadOrSay(path, audio)) return 1;
    LowTone worst;
    bool first = true;
    for (const auto& channel : audio.channels) {
        if (channel.size() < std::size_t(2 * audio.rate)) {
            std::fprintf(stderr, "ratemill-quality: %s: output too short\n", path);
            return 1;
        }
        LowTone t = MeasureLowTone(channel, audio.rate);
        if (first || std::fabs(t.level - level) > std::fabs(worst.level - level))
            worst.level = t.level;
        if (t.harmonic > worst.harmonic) worst.harmonic = t.harmonic, worst.which = t.which;
        first = false;
    }
    std::printf("%.2f\t%+.3f\t%.1f (%d)\n", worst.level, worst.level - level + 0.0, worst.harmonic,
                worst.which);
    return 0;
}

// The start (s) of the first stretch of at least 100 ms of zeros after the first sample that is
// not zero (of any channel), or -1 when there is none.
double FirstSilence(const Audio& audio) {
    std::size_t frames = audio.channels.empty() ? 0 : audio.channels[0].size(), run = 0;
    auto needed = std::size_t(0.1 * audio.rate);
    bool sounded = false;
    for (std::size_t n = 0; n < frames; ++n) {
        bool zero = std::all_of(audio.channels.begin(), audio.channels.end(),
                                [&](const std::vector<double>& c) { return c[n] == 0.0; });
        if (!zero) sounded = true, run = 0;
        if (zero && sounded && ++run == needed) return double(n + 1 - needed) / audio.rate;
    }
    return -1.0;
}

// Prints the first silence of the source and of the output (s, -1: none) and the share of the
// output's samples that are zero where the source holds 100 ms or more of zeros, 50 ms in from
// their ends (the filters' ringing).
int SilenceFiles(const char* sourcePath, const char* outputPath) {
    Audio source, output;
    if (!ReadOrSay(sourcePath, source) || !ReadOrSay(outputPath, output)) return 1;
    std::size_t zeros = 0, counted = 0, frames = source.channels[0].size(), run = 0;
    double margin = 0.05;
    auto stretch = [&](std::size_t from, std::size_t to) {  // source frames [from, to) are zero
        double begin = double(from) / source.rate + margin, end = double(to) / source.rate - margin;
        if (to - from < std::size_t(0.1 * source.rate) || end <= begin) return;
        for (auto m = std::size_t(begin * output.rate);
             m < std::size_t(end * output.rate) && m < output.channels[0].size(); ++m) {
            for (const auto& c : output.channels) zeros += c[m] == 0.0, ++counted;
        }
    };
    for (std::size_t n = 0; n <= frames; ++n) {
        bool zero = n < frames && std::all_of(source.channels.begin(), source.channels.end(),
                                              [&](const auto& c) { return c[n] == 0.0; });
        if (zero) {
            ++run;
        } else {
            if (run > 0) stretch(n - run, n);
            run = 0;
        }
    }
    std::printf("%.3f\t%.3f\t%.2f\n", FirstSilence(source), FirstSilence(output),
                counted ? 100.0 * double(zeros) / double(counted) : 0.0);
    return 0;
}

// Prints how many samples stand at full scale (an integer output's largest or smallest code, or
// a float's 1.0 and beyond) and the peak (dBFS).
int PeakFile(const char* path) {
    Audio audio;
    if (!ReadOrSay(path, audio)) return 1;
    double full = audio.isFloat ? 1.0 : 1.0 - std::ldexp(1.0, 1 - audio.bits), peak = 0.0;
    long long count = 0;
    for (const auto& channel : audio.channels) {
        for (double v : channel) {
            count += std::fabs(v) >= full;
            peak = std::max(peak, std::fabs(v));
        }
    }
    std::printf("%lld\t%+.2f\n", count, 20 * std::log10(peak));
    return 0;
}

int Time(int runs, const char* outdir, char** command) {
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        std::error_code ignored;
        std::filesystem::remove_all(outdir, ignored);
        std::filesystem::create_directories(outdir, ignored);
        auto start = std::chrono::steady_clock::now();
        pid_t pid = fork();
        if (pid == 0) {
            if (!std::freopen("/dev/null", "w", stdout) || !std::freopen("/dev/null", "w", stderr))
                _exit(127);
            execvp(command[0], command);
            _exit(127);
        }
        int status = 0;
        if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0)
            return 1;
        seconds.push_back(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(seconds.begin(), seconds.end());
    std::printf("%.3f\n", seconds[seconds.size() / 2]);
    return 0;
}

// Made-up outputs of a perfect 44.1 -> 48 kHz converter with known faults added: a second
// harmonic at -100 dB, a 0.1 dB loss at 0.9 x Nyquist, an image at -120 dBc, a shift of 3.25
// samples, one frame too many.
int SelfCheck() {
    Layout layout = MakeLayout(44100, 48000);
    double cutoff = 22050.0, shift = 3.25;
    Audio audio;
    audio.rate = 48000;
    std::vector<double> y = Render(layout, 48000, cutoff, shift, false);
    auto addTone = [&](const Tone& tone, double frequency, double amplitude) {
        for (auto n = std::size_t(tone.start * 48000);
             n < std::size_t((tone.start + tone.length) * 48000); ++n)
            y[n] += amplitude * std::sin(2 * kPi * frequency * double(n) / 48000 + 0.3);
    };
    addTone(layout.thd, 2000.0, sourceAmplitude * 1e-5);
    for (auto n = std::size_t(layout.level.start * 48000); n < 7 * 48000; ++n)
        y[n] *= std::pow(10, -0.1 / 20);
    const Tone& imaged = layout.spurTones.back();
    addTone(imaged, 44100 - imaged.frequency, sourceAmplitude * 1e-6);
    y.push_back(0.0);
    audio.channels = {y};
    Figures f;
    std::string error;
    bool ok = Measure(layout, audio, f, error) && std::fabs(f.thdn - 100) < 0.5 &&
              std::fabs(f.level + 0.1) < 0.005 && std::fabs(f.spur + 120) < 0.5 &&
              f.spurAt == 44100 - imaged.frequency && std::fabs(f.delay - shift) < 0.1 &&
              f.lengthError == 1;
    std::printf(
        "THD+N %.2f dB, level %+.4f dB, worst image %.2f dBc at %.0f Hz, delay %.3f, "
        "length error %+lld: %s\n",
        f.thdn, f.level, f.spur, f.spurAt, f.delay, static_cast<long long>(f.lengthError),
        ok ? "as made" : "WRONG");
    // A -90 dBFS tone 0.05 dB low with a 5th harmonic at -140 dBFS; and the fade rounded to 16
    // bits without dither, which falls silent where its amplitude drops below half a step
    // (-96.3 dBFS, 6.05 s into the fade), 4 s before the source does.
    std::vector<double> low = RenderSignal("tone", 48000, -90.05);
    for (std::size_t n = 0; n < low.size(); ++n)
        low[n] += 1e-7 * std::sin(2 * kPi * 5 * kToneFrequency * double(n) / 48000 + 1.0);
    LowTone tone = MeasureLowTone(low, 48000);
    Audio fade{48000, 16, false, {RenderSignal("fade", 48000, 0.0)}};
    double sourceSilence = FirstSilence(fade);
    for (double& v : fade.channels[0]) v = std::round(v * 32768) / 32768;
    double roundedSilence = FirstSilence(fade);
    bool lowOk = std::fabs(tone.level + 90.05) < 0.002 && tone.which == 5 &&
                 std::fabs(tone.harmonic + 140) < 0.1 && std::fabs(sourceSilence - 10.5) < 1e-3 &&
                 roundedSilence > 6.45 && roundedSilence < 6.65;
    std::printf(
        "-90 dBFS tone at %.3f dBFS, harmonic %d at %.2f dBFS; fade silent from %.3f s, "
        "rounded to 16 bits from %.3f s: %s\n",
        tone.level, tone.which, tone.harmonic, sourceSilence, roundedSilence,
        lowOk ? "as made" : "WRONG");
    return ok && lowOk ? 0 : 1;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: ratemill-quality make FIN FOUT CHANNELS FILE [--level DB] [--float]\n"
                 "       ratemill-quality measure FIN FOUT CHANNELS FILE [--level DB] "
                 "[--quantise BITS]\n"
                 "       ratemill-quality signal tone|fade|mix RATE CHANNELS FILE [--level DB] "
                 "[--float]\n"
                 "       ratemill-quality tone FILE --level DB\n"
                 "       ratemill-quality silence SOURCE OUTPUT\n"
                 "       ratemill-quality peak FILE\n"
                 "       ratemill-quality sweep RATE FILE\n"
                 "       ratemill-quality time RUNS OUTDIR COMMAND...\n"
                 "       ratemill-quality self-check\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "self-check" && argc == 2) return SelfCheck();
    if (command == "sweep" && argc == 4 && std::atoi(argv[2]) >= 1000)
        return Sweep(std::atoi(argv[2]), argv[3]);
    if (command == "signal" && argc >= 6 && std::atoi(argv[3]) >= 1000 && std::atoi(argv[4]) >= 1 &&
        std::atoi(argv[4]) <= 2) {
        int bits = 24;
        double level = 0.0;
        for (int i = 6; i < argc; ++i) {
            if (std::strcmp(argv[i], "--float") == 0)
                bits = 32;
            else if (std::strcmp(argv[i], "--level") == 0 && i + 1 < argc)
                level = std::atof(argv[++i]);
            else
                return Usage();
        }
        int status =
            MakeSignal(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), argv[5], bits, level);
        return status == 2 ? Usage() : status;
    }
    if (command == "tone" && argc == 5 && std::strcmp(argv[3], "--level") == 0)
        return ToneFile(argv[2], std::atof(argv[4]));
    if (command == "silence" && argc == 4) return SilenceFiles(argv[2], argv[3]);
    if (command == "peak" && argc == 3) return PeakFile(argv[2]);
    if (command == "time" && argc > 4 && std::atoi(argv[2]) > 0)
        return Time(std::atoi(argv[2]), argv[3], argv + 4);
    if ((command == "make" || command == "measure") && argc >= 6) {
        int fin = std::atoi(argv[2]), fout = std::atoi(argv[3]), channels = std::atoi(argv[4]);
        if (fin < 1000 || fout < 1000 || channels < 1 || channels > 2) return Usage();
        int bits = 24, quantise = 0;
        for (int i = 6; i < argc; ++i) {
            std::string option = argv[i];
            if (option == "--level" && i + 1 < argc) {
                sourceAmplitude = std::pow(10.0, std::atof(argv[++i]) / 20);
            } else if (option == "--float" && command == "make") {
                bits = 32;
            } else if (option == "--quantise" && i + 1 < argc && command == "measure") {
                quantise = std::atoi(argv[++i]);
                if (quantise < 8 || quantise > 32) return Usage();
            } else {
                return Usage();
            }
        }
        return command == "make" ? Make(fin, fout, channels, argv[5], bits)
                                 : MeasureFile(fin, fout, channels, argv[5], quantise);
    }
    return Usage();
}
