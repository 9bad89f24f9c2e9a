#!/usr/bin/env python3
"""Times ratemill-cli against SoX (default quality) and FFmpeg (default resampler) as whole
processes, on inputs made with SoX: six single-file jobs and a batch of eight files with --jobs 1
and --jobs 2. Prints Markdown tables: per job, median seconds of each program, how many times
faster ratemill-cli is, its peak resident memory; job (a)'s conversion over files of several
lengths; then how far the outputs agree with the literal resampler's (ratemill-cli-reference).
Times realtime is always the audio's length over the whole process's time, start-up included.
Then, per job, the high quality (16 bits with its default dither, and --bits 24) against SoX
(sox -b 16 ... rate, and sox -b 24 ... rate -v) and how many times faster it is.

  bench/bench.py BUILD_DIR [--runs N] [--high-only]     (run by bench/bench.sh)
"""
import argparse
import array
import os
import platform
import shutil
import statistics
import subprocess
import sys
import time

SECONDS = 60


def sh(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def cpu_name():
    """The processor's model name with its family and model numbers (which tell generations of
    one name apart), from /proc/cpuinfo where there is one."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                key, _, value = line.partition(":")
                fields.setdefault(key.strip(), value.strip())
    except OSError:
        return "processor unknown"
    return (f"{fields.get('model name', 'processor unknown')} "
            f"(family {fields.get('cpu family', '?')}, model {fields.get('model', '?')})")


def make_inputs(folder):
    """60 s music-like stereo at 44.1 and 96 kHz, speech-like 48 kHz (mono and stereo), 8 kHz
    mono, a batch of eight 30 s files, and 0.1 s, 10 s and 10 min music for the lengths table."""
    os.makedirs(folder, exist_ok=True)
    made = {}

    def make(name, *effects):
        path = os.path.join(folder, name)
        if not os.path.exists(path):
            sh("sox", "-n", *effects[0], path, "synth", *effects[1:])
        made[name] = path
        return path

    music = ["-r", "44100", "-c", "2", "-b", "16"]
    # Music: a sweeping tone mixed with pink noise, with a tremolo.
    tune = ["sine", "220-880", "pinknoise", "mix", "tremolo", "5", "40", "gain", "-6"]
    make("music.wav", music, str(SECONDS), *tune)
    make("music96k.wav", ["-r", "96000", "-c", "2", "-b", "16"], str(SECONDS), *tune)
    # Speech: brown noise with a syllable-rate envelope.
    speech = ["brownnoise", "tremolo", "4", "90", "gain", "-3"]
    make("speech-mono.wav", ["-r", "48000", "-c", "1", "-b", "16"], str(SECONDS), *speech)
    make("speech-stereo.wav", ["-r", "48000", "-c", "2", "-b", "16"], str(SECONDS), *speech)
    make("phone.wav", ["-r", "8000", "-c", "1", "-b", "16"], str(SECONDS), "pinknoise",
         "tremolo", "3", "70", "gain", "-3")
    for i in range(8):
        make(f"batch{i}.wav", music, "30", *tune)
    make("blip.wav", music, "0.1", *tune)
    make("short10s.wav", music, "10", *tune)
    make("long10min.wav", music, "600", *tune)
    return made


def benchmark_jobs(inputs):
    """The jobs: a name, the sources, the target rate and channels, and the seconds of audio."""
    batch = [inputs[f"batch{i}.wav"] for i in range(8)]
    return [
        ("(a) 44.1 kHz stereo -> 48 kHz stereo", [inputs["music.wav"]], 48000, 2, SECONDS),
        ("(b) 48 kHz stereo -> 16 kHz mono", [inputs["speech-stereo.wav"]], 16000, 1, SECONDS),
        ("(c) 48 kHz mono -> 16 kHz mono", [inputs["speech-mono.wav"]], 16000, 1, SECONDS),
        ("(d) 8 kHz mono -> 48 kHz mono", [inputs["phone.wav"]], 48000, 1, SECONDS),
        ("(e) 8 kHz mono -> 96 kHz stereo", [inputs["phone.wav"]], 96000, 2, SECONDS),
        ("(f) 96 kHz stereo -> 44.1 kHz stereo", [inputs["music96k.wav"]], 44100, 2, SECONDS),
        ("(g) 8 x 30 s 44.1 kHz stereo -> 48 kHz stereo", batch, 48000, 2, 8 * 30),
    ]


def run(command, outdir):
    """Runs a command (or a list of commands one after the other); returns the seconds."""
    commands = command if isinstance(command[0], list) else [command]
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    # Every run starts with nothing waiting to be written to the disk: the system writes the
    # previous run's files back on its own threads, and on a busy machine that work would slow
    # whichever run came next, most of all one that keeps every core busy.
    os.sync()
    null = os.open(os.devnull, os.O_WRONLY)
    start = time.perf_counter()
    for c in commands:
        # posix_spawn starts the program without copying this interpreter first.
        pid = os.posix_spawnp(c[0], c, os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, null, 1),
                                            (os.POSIX_SPAWN_DUP2, null, 2)])
        _, status, _ = os.wait4(pid, 0)
        if status != 0:
            raise RuntimeError(f"{c} failed with {status}")
    elapsed = time.perf_counter() - start
    os.close(null)
    return elapsed


def peak_memory(command, outdir):
    """The largest peak resident memory (KiB) of the command's processes, from GNU time."""
    commands = command if isinstance(command[0], list) else [command]
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
    report = os.path.join(outdir, ".peak")
    peak = 0
    for c in commands:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report, *c], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(report) as f:
            peak = max(peak, int(f.read().split()[-1]))
    return peak


def compare_outputs(ours_dir, reference_dir):
    """Compares the samples of same-named outputs of two folders: returns (our samples,
    reference samples, differing samples, largest difference)."""
    ours_total = reference_total = differing = largest = 0
    for name in sorted(os.listdir(reference_dir)):
        if not name.endswith(".wav"):
            continue
        with open(os.path.join(ours_dir, name), "rb") as f:
            a = f.read()[56:]
        with open(os.path.join(reference_dir, name), "rb") as f:
            b = f.read()[56:]
        ours_total += len(a) // 2
        reference_total += len(b) // 2
        block = 8192
        for at in range(0, min(len(a), len(b)), block):
            if a[at:at + block] == b[at:at + block]:
                continue
            x = array.array("h", a[at:at + block])
            y = array.array("h", b[at:at + block])
            for p, q in zip(x, y):
                if p != q:
                    differing += 1
                    largest = max(largest, abs(p - q))
    return ours_total, reference_total, differing, largest


def measure(command, outdir, runs):
    seconds = statistics.median(run(command, outdir) for _ in range(runs))
    return seconds, peak_memory(command, outdir)


def high_table(jobs, cli, out, runs):
    """The high quality against SoX on every job: 16 bits with the default dither against SoX's
    default quality, 24 bits against its very high quality, all four taking turns; the batch
    converted one file after the other by all."""
    print(f"\nThe high quality against SoX, median of {runs} runs, the programs taking turns:\n")
    print("| job | -Q high | sox -b 16 ... rate | vs SoX | -Q high --bits 24 "
          "| sox -b 24 ... rate -v | vs SoX -v |")
    print("|---|---:|---:|---:|---:|---:|---:|")
    for job, files, rate, channels, _ in jobs:
        def sox(bits, *quality):
            return [["sox", f, "-b", str(bits), "-c", str(channels),
                     os.path.join(out, os.path.basename(f)), "rate", *quality, str(rate)]
                    for f in files]

        ours = [cli, "-q", "-j", "1", "-Q", "high", "-r", str(rate), "-c", str(channels), "-o",
                out]
        commands = {"high": ours + files, "sox": sox(16), "high24": ours + ["--bits", "24"] + files,
                    "sox24": sox(24, "-v")}
        times = {name: [] for name in commands}
        for _ in range(runs):
            for name, command in commands.items():
                times[name].append(run(command, out))
        m = {name: statistics.median(t) for name, t in times.items()}
        print(f"| {job} | {m['high']:.3f} | {m['sox']:.3f} | {m['sox'] / m['high']:.2f} | "
              f"{m['high24']:.3f} | {m['sox24']:.3f} | {m['sox24'] / m['high24']:.2f} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--high-only", action="store_true",
                        help="only the high quality's table against SoX")
    args = parser.parse_args()

    cli = os.path.join(args.build, "cli", "ratemill-cli")
    reference = os.path.join(args.build, "bench", "ratemill-cli-reference")
    work = os.path.join(args.build, "bench-data")
    inputs = make_inputs(os.path.join(work, "input"))
    out = os.path.join(work, "output")

    def ours(program, files, rate, channels, jobs=1):
        return [program, "-q", "-j", str(jobs), "-r", str(rate), "-c", str(channels), "-o", out,
                *files]

    def sox(files, rate, channels):
        return [["sox", f, "-r", str(rate), "-c", str(channels),
                 os.path.join(out, os.path.basename(f))] for f in files]

    def ffmpeg(files, rate, channels):
        return [["ffmpeg", "-nostdin", "-v", "error", "-i", f, "-ar", str(rate), "-ac",
                 str(channels), os.path.join(out, os.path.basename(f))] for f in files]

    jobs = benchmark_jobs(inputs)

    cores = os.cpu_count() or 1
    print(f"Machine: {platform.processor() or platform.machine()}, {cores} cores, {cpu_name()}, "
          f"{platform.system()} {platform.release()}")
    version = subprocess.run([cli, "--version"], capture_output=True, text=True).stdout.strip()
    sox_version = subprocess.run(["sox", "--version"], capture_output=True,
                                 text=True).stdout.strip()
    ffmpeg_version = subprocess.run(["ffmpeg", "-version"], capture_output=True,
                                    text=True).stdout.split("\n")[0]
    print(f"{version}; {sox_version}; {ffmpeg_version}")
    if args.high_only:
        high_table(jobs, cli, out, args.runs)
        shutil.rmtree(out, ignore_errors=True)
        return 0
    print(f"bench/bench.sh --runs {args.runs}: median of {args.runs} runs, the programs taking "
          f"turns; ratemill-cli converts the batch's files one after the other (--jobs 1) or two "
          f"at a time (--jobs 2), SoX and FFmpeg one after the other\n")
    print("| job | ratemill-cli | sox | ffmpeg | x realtime | vs SoX | vs FFmpeg | peak memory |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")

    def row(job, seconds, peak, audio, sox_seconds, ffmpeg_seconds):
        print(f"| {job} | {seconds:.3f} | {sox_seconds:.3f} | {ffmpeg_seconds:.3f} | "
              f"{audio / seconds:.0f} | {sox_seconds / seconds:.2f} | "
              f"{ffmpeg_seconds / seconds:.2f} | {peak / 1024:.1f} MiB |")

    reference_out = os.path.join(work, "reference-output")
    agreement = []
    for job, files, rate, channels, audio in jobs:
        run(ours(reference, files, rate, channels), out)
        shutil.rmtree(reference_out, ignore_errors=True)
        os.rename(out, reference_out)
        # The programs take turns, run after run, so that a slow moment of a shared machine
        # falls on all of them alike.
        commands = {"sox": sox(files, rate, channels), "ffmpeg": ffmpeg(files, rate, channels),
                    "one": ours(cli, files, rate, channels)}
        if len(files) > 1:
            commands["two"] = ours(cli, files, rate, channels, jobs=2)
        times = {name: [] for name in commands}
        for _ in range(args.runs):
            for name, command in commands.items():
                times[name].append(run(command, out))
        median = {name: statistics.median(t) for name, t in times.items()}
        one_peak = peak_memory(commands["one"], out)
        agreement.append((job, *compare_outputs(out, reference_out)))
        sox_s, ffmpeg_s, one_s = median["sox"], median["ffmpeg"], median["one"]
        if len(files) > 1:
            two_s, two_peak = median["two"], peak_memory(commands["two"], out)
            row(job + ", --jobs 1", one_s, one_peak, audio, sox_s, ffmpeg_s)
            row(job + ", --jobs 2", two_s, two_peak, audio, sox_s, ffmpeg_s)
            print(f"| {job}: --jobs 2 vs --jobs 1 | {one_s / two_s:.2f}x | | | | | | |")
        else:
            row(job, one_s, one_peak, audio, sox_s, ffmpeg_s)

    # Job (a)'s conversion over shorter and longer files, timed the same way: the program's
    # start-up, which the 0.1 s file shows nearly alone, weighs less the longer the file.
    print("\nratemill-cli --jobs 1, 44.1 kHz stereo -> 48 kHz stereo, by the length of the file:\n")
    print("| file | seconds | x realtime | peak memory |")
    print("|---|---:|---:|---:|")
    for name, length in (("blip.wav", 0.1), ("short10s.wav", 10), ("music.wav", SECONDS),
                         ("long10min.wav", 600)):
        seconds, peak = measure(ours(cli, [inputs[name]], 48000, 2), out, args.runs)
        label = f"{length:g} s" if length < 60 else f"{length // 60:g} min"
        if name == "music.wav":
            label += ", job (a)"
        print(f"| {label} | {seconds:.3f} | {length / seconds:.0f} | {peak / 1024:.1f} MiB |")
    high_table(jobs, cli, out, args.runs)
    print("\nOutput against the literal resampler's:\n")
    print("| job | samples | literal resampler's samples | identical | largest difference |")
    print("|---|---:|---:|---:|---:|")
    for job, count, reference_count, differing, largest in agreement:
        same = 100.0 * (count - differing) / count if count else 100.0
        print(f"| {job} | {count} | {reference_count} | {same:.5f} % | {largest} |")
    shutil.rmtree(out, ignore_errors=True)
    shutil.rmtree(reference_out, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
