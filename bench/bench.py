#!/usr/bin/env python3
"""Times ratemill-cli against the literal resampler (ratemill-cli-reference) and SoX, as whole
processes, on inputs made with SoX. Prints Markdown tables: per job, median seconds, times
realtime, ratio to SoX, ratio to the literal resampler, peak resident memory; the same conversion
over files of several lengths; then how far the outputs agree with the literal resampler's.
Times realtime is always the audio's length over the whole process's time, start-up included.

  bench/bench.py BUILD_DIR [--runs N] [--reference-runs N]     (run by bench/bench.sh)
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


def make_inputs(folder):
    """60 s music-like stereo 44.1 kHz, speech-like 48 kHz (mono, and stereo for job b),
    8 kHz mono, a batch of eight 30 s files, and 0.1 s, 10 s and 10 min music for the
    lengths table."""
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


def run(command, outdir):
    """Runs a command (or a list of commands one after the other); returns the seconds."""
    commands = command if isinstance(command[0], list) else [command]
    shutil.rmtree(outdir, ignore_errors=True)
    os.makedirs(outdir)
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


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--reference-runs", type=int, default=3)
    args = parser.parse_args()

    cli = os.path.join(args.build, "cli", "ratemill-cli")
    reference = os.path.join(args.build, "bench", "ratemill-cli-reference")
    work = os.path.join(args.build, "bench-data")
    inputs = make_inputs(os.path.join(work, "input"))
    out = os.path.join(work, "output")
    sox_out = os.path.join(out, "sox.wav")

    def ours(program, files, rate, channels, jobs=1):
        return [program, "-q", "-j", str(jobs), "-r", str(rate), "-c", str(channels), "-o", out,
                *files]

    def sox(files, rate, channels):
        return [["sox", f, "-r", str(rate), "-c", str(channels),
                 os.path.join(out, os.path.basename(f))] for f in files]

    batch = [inputs[f"batch{i}.wav"] for i in range(8)]
    jobs = [
        ("(a) 44.1 kHz stereo -> 48 kHz stereo", [inputs["music.wav"]], 48000, 2, SECONDS),
        ("(b) 48 kHz stereo -> 16 kHz mono", [inputs["speech-stereo.wav"]], 16000, 1, SECONDS),
        ("(c) 8 kHz mono -> 96 kHz stereo", [inputs["phone.wav"]], 96000, 2, SECONDS),
        ("(d) 8 x 30 s 44.1 kHz stereo -> 48 kHz stereo", batch, 48000, 2, 8 * 30),
    ]

    cores = os.cpu_count() or 1
    print(f"Machine: {platform.processor() or platform.machine()}, {cores} cores, "
          f"{platform.system()} {platform.release()}")
    version = subprocess.run([cli, "--version"], capture_output=True, text=True).stdout.strip()
    sox_version = subprocess.run(["sox", "--version"], capture_output=True,
                                 text=True).stdout.strip()
    print(f"{version}; {sox_version}")
    print(f"bench/bench.sh --runs {args.runs} --reference-runs {args.reference_runs}: median of "
          f"{args.runs} runs ({args.reference_runs} for the literal resampler)\n")
    print("| job | program | seconds | x realtime | vs SoX | vs literal resampler | peak memory |")
    print("|---|---|---:|---:|---:|---:|---:|")

    def row(job, name, seconds, peak, audio, sox_seconds, reference_seconds):
        print(f"| {job} | {name} | {seconds:.3f} | {audio / seconds:.0f} | "
              f"{sox_seconds / seconds:.2f} | {reference_seconds / seconds:.1f} | "
              f"{peak / 1024:.1f} MiB |")

    reference_out = os.path.join(work, "reference-output")
    agreement = []
    for job, files, rate, channels, audio in jobs:
        sox_s, sox_peak = measure(sox(files, rate, channels), out, args.runs)
        ref_s, ref_peak = measure(ours(reference, files, rate, channels), out,
                                  args.reference_runs)
        shutil.rmtree(reference_out, ignore_errors=True)
        os.rename(out, reference_out)
        one_s, one_peak = measure(ours(cli, files, rate, channels), out, args.runs)
        agreement.append((job, *compare_outputs(out, reference_out)))
        row(job, "ratemill-cli --jobs 1", one_s, one_peak, audio, sox_s, ref_s)
        if len(files) > 1:
            two_s, two_peak = measure(ours(cli, files, rate, channels, jobs=2), out, args.runs)
            row(job, "ratemill-cli --jobs 2", two_s, two_peak, audio, sox_s, ref_s)
            print(f"| {job} | --jobs 2 vs --jobs 1 | {one_s / two_s:.2f}x | | | | |")
        row(job, "literal resampler", ref_s, ref_peak, audio, sox_s, ref_s)
        row(job, "sox", sox_s, sox_peak, audio, sox_s, ref_s)

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
