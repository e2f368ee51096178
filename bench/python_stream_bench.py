"""Frames per second through the Python package (numpy arrays over the
library's buffers, no copy) beside two C loops, at 2048x2048 Mono8 (4 MiB)
and at 64x64, 8 library buffers, emulated cameras at full speed:

- C burst: zar_usb_bench's BM_StreamPathCost, DSWaitForBuffer and
  DSQueueBuffer through the exports in batches of 16 (4 MiB) or 256 frames,
  each batch right after a start, with the 8 buffers queued;
- C stream: `zarusb grab`, one continuous stream (it also writes its first
  frame to a PNG file, and its CPU time includes its start);
- Python: camera.stream(), one continuous stream, timed in the same batches.

Each round runs the three one after the other, so that they see the same
load; the table gives the medians over the rounds, and the ratios are the
medians of each round's ratios. CPU time is the process's (the emulator
filling the frames included, the same for all).

    /usr/bin/python3 bench/python_stream_bench.py [BIN] [--rounds N] [--seconds S]

BIN is the build's bin folder (default build/native/bin) with the library,
zarusb and zar_usb_bench (configured with -DZAR_USB_BENCHMARKS=ON). The
package is taken from this tree's python/ folder.
"""

import argparse
import atexit
import json
import os
import pathlib
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

TREE = pathlib.Path(__file__).resolve().parent.parent
SIDES = (2048, 64)
BATCH = {2048: 16, 64: 256}  # frames per timed batch, as the C benchmark
# The C program makes a namespace of its own when none is set.
C_ENVIRONMENT = {name: value for name, value in os.environ.items() if not name.startswith("ZAR_USB_")}


def c_burst(folder, side, seconds):
    """Frames per second and CPU microseconds per frame of the C loop in
    batches."""
    done = subprocess.run([str(folder / "zar_usb_bench"), f"--benchmark_filter=BM_StreamPathCost/{side}/",
                           f"--benchmark_min_time={seconds}", "--benchmark_format=json"],
                          capture_output=True, text=True, check=True, timeout=600, env=C_ENVIRONMENT)
    result = json.loads(done.stdout)["benchmarks"][0]
    return result["exports_fps"], result["exports_cpu_us"]


def c_stream(folder, side, frames):
    """The same of `zarusb grab` on the camera GRAB<side>."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    with tempfile.TemporaryDirectory() as scratch:
        done = subprocess.run([str(folder / "zarusb"), "grab", "--serial", f"GRAB{side}", "--count", str(frames),
                               "--every", str(frames), "-o", f"{scratch}/frame_%d.png"],
                              capture_output=True, text=True, check=True, timeout=600)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    mebibytes_per_second = float(re.search(r"([0-9.]+) MiB/s", done.stdout).group(1))
    cpu = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return mebibytes_per_second * 2**20 / (side * side), 1e6 * cpu / frames


def python_loop(camera, side, seconds):
    """The same through camera.stream(): frames per second and CPU
    microseconds per frame."""
    frames, wall, cpu = 0, 0.0, 0.0
    with camera.stream(buffers=8) as stream:
        for _ in zip(range(8), stream):  # every buffer filled once
            pass
        while wall < seconds:
            start_wall, start_cpu = time.perf_counter(), time.process_time()
            for _ in zip(range(BATCH[side]), stream):
                pass
            wall += time.perf_counter() - start_wall
            cpu += time.process_time() - start_cpu
            frames += BATCH[side]
    return frames / wall, 1e6 * cpu / frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bin", nargs="?", default=str(TREE / "build/native/bin"))
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=float, default=1.0, help="per measurement")
    options = parser.parse_args()
    folder = pathlib.Path(options.bin).resolve()
    namespace = f"python-bench-{os.getpid()}"
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    base = pathlib.Path(runtime, "zar-usb") if runtime.startswith("/") else pathlib.Path(f"/tmp/zar-usb-{os.getuid()}")
    # Runs after zar_usb, which registers later, has closed the library's
    # transport layer at exit: its callback pipe lives in the folder.
    atexit.register(shutil.rmtree, base / f"ns-{namespace}", ignore_errors=True)
    os.environ.update(ZAR_USB_LIBRARY=str(folder / "libzar_usb.so"), ZAR_USB_NAMESPACE=namespace,
                      ZAR_USB_EMULATION="0")
    sys.path.insert(0, str(TREE / "python"))
    import zar_usb

    cameras = {}
    for side in SIDES:
        for serial in (f"PYTHON{side}", f"GRAB{side}"):
            subprocess.run([str(folder / "zarusb"), "emu", "plug", "--serial", serial, "--width", str(side),
                            "--height", str(side), "--fps", "0"], check=True, capture_output=True)
            while f"ZC1000_#{serial}" not in zar_usb.cameras():
                time.sleep(0.05)
        cameras[side] = zar_usb.Camera(serial=f"PYTHON{side}")

    rows = {side: [] for side in SIDES}
    for _ in range(options.rounds):
        for side in SIDES:
            python = python_loop(cameras[side], side, options.seconds)
            rows[side].append(c_burst(folder, side, options.seconds) +
                              c_stream(folder, side, max(BATCH[side], int(python[0] * options.seconds))) + python)
    for camera in cameras.values():
        camera.close()

    print(f"{'frame':>15} {'fps: C burst':>12} {'C stream':>9} {'Python':>7}   {'Python/C burst':>14} "
          f"{'Python/C stream':>15}   {'cpu us/frame: C burst':>21} {'C stream':>9} {'Python':>7}")
    for side, measured in rows.items():
        burst, burst_cpu, grab, grab_cpu, python, python_cpu = (statistics.median(c) for c in zip(*measured))
        to_burst = statistics.median(row[4] / row[0] for row in measured)
        to_stream = statistics.median(row[4] / row[2] for row in measured)
        print(f"{f'{side}x{side} Mono8':>15} {burst:12.0f} {grab:9.0f} {python:7.0f}   {to_burst:14.2f} "
              f"{to_stream:15.2f}   {burst_cpu:21.1f} {grab_cpu:9.1f} {python_cpu:7.1f}")

if __name__ == "__main__":
    main()
