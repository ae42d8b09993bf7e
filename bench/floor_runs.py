#!/usr/bin/env python3
"""The mapbake executable end to end against the floor of the machine.

For each case, mapbake and the two floors (bench/io_floor: the source read
into fresh memory, a target-sized buffer filled and written through a
temporary file and a rename; once with 4 KiB pages, once with 2 MiB pages)
run interleaved, one run of each in turn, RUNS times; every run creates its
target afresh. Prints one line per case with the medians, the ratios to
both floors and mapbake's peak resident set (file pages included).

  floor_runs.py BIN EXE WORK SIZES RUNS OUT     (SIZES: e.g. "64M 256M")
"""
import os
import re
import statistics
import subprocess
import sys

bin_dir, exe, work, sizes, runs, out_path = sys.argv[1:7]
runs = int(runs)
time_command = os.path.join(bin_dir, "time_command")
floor = os.path.join(bin_dir, "io_floor")


def timed(args, target):
    """One run of args with target removed first: (wall ms, peak KiB)."""
    text = subprocess.run([time_command, "-r", target, "1", *args], check=True, capture_output=True,
                          text=True).stdout
    fields = dict(re.findall(r"(\w+)=([-0-9.]+)", text))
    return float(fields["median_ms"]), int(fields["peak_kib"])


def make(kind, size, path, compression="@"):
    if not os.path.exists(path):
        subprocess.run([os.path.join(bin_dir, "make_input_map"), kind, size, path, "20251207", compression],
                       check=True, capture_output=True)


lines = []
for size in sizes.split():
    text, binary, runtime = (os.path.join(work, f"{size}.{n}") for n in ("text", "binary", "runtime.iom"))
    make("text", size, text)
    make("binary", size, binary)
    subprocess.run([exe, text, runtime], check=True, capture_output=True)
    target = os.path.join(work, "target.out")
    cases = [
        ("binary-to-binary", binary, [binary, target]),
        ("text-to-binary", text, [text, target]),
        ("binary-to-text", binary, ["-text", binary, target]),
        ("text-to-text", text, ["-text", text, target]),
        ("decode", runtime, ["--decode", runtime, target]),
        ("compress-F", text, ["--compress=F", text, target]),
        ("compress-B", text, ["--compress=B", text, target]),
        ("check", text, ["--check", text]),
    ]
    for name, source, args in cases:
        subprocess.run([exe, *args], capture_output=True)  # warms the page cache; gives the target size
        target_bytes = os.path.getsize(target) if os.path.exists(target) else 0
        mine, plain, huge, peaks = [], [], [], []
        for _ in range(runs):
            ms, peak = timed([exe, *args], target)
            mine.append(ms)
            peaks.append(peak)
            plain.append(timed([floor, source, target, str(target_bytes)], target)[0])
            huge.append(timed([floor, "--huge", source, target, str(target_bytes)], target)[0])
        m, p, h = (statistics.median(v) for v in (mine, plain, huge))
        lines.append(f"{name}-{size} source_bytes={os.path.getsize(source)} target_bytes={target_bytes} "
                     f"median_ms={m:.1f} floor_ms={p:.1f} huge_floor_ms={h:.1f} ratio={m / p:.3f} "
                     f"huge_ratio={m / h:.3f} peak_kib={max(peaks)}")
        print(lines[-1], flush=True)
        if os.path.exists(target):
            os.remove(target)
    for path in (text, binary, runtime):
        os.remove(path)
with open(out_path, "w") as f:
    f.write("\n".join(lines) + "\n")
