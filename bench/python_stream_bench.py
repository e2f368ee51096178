"""Frames per second through the Python package (numpy arrays over the
library's buffers, no copy) beside the same stream in C and through
GStreamer, at 2048x2048 Mono8 (4 MiB) and at 64x64.

Every path runs the same workload: an emulated camera of its own at full
speed (frame rate setting 0), 8 library buffers, acquisition started once,
then frame after frame waited for and queued again without touching its
pixels; the first 8 frames are not timed, the next FRAMES are.

- C: zar_usb_stream_loop c, DSWaitForBuffer and DSQueueBuffer through the
  exports, in a process of its own that links the library;
- Python: camera.stream(buffers=8) in this process;
- GStreamer: zar_usb_stream_loop gst, zarusbsrc (8 buffers) ! fakesink,
  counted at the sink.

The C and GStreamer programs run for the whole benchmark with their cameras
open, and stream when asked: each round runs the paths one right after the
other at each size, each path first in turn, so that the load of the
machine affects them alike. The table gives the medians over the rounds,
and the ratios to C are the medians of each round's ratios. CPU time is the
process's (the emulator filling the frames included, the same for all) and,
for C and Python, that of the thread that waits and requeues: the cost of
the path itself.

    /usr/bin/python3 bench/python_stream_bench.py [BIN] [--rounds N] [--seconds S]

BIN is the build's bin folder (default build/native/bin) with the library,
zarusb and zar_usb_stream_loop (configured with -DZAR_USB_BENCHMARKS=ON,
with GStreamer's development files).
The package is taken from this tree's python/ folder.
"""

import argparse
import atexit
import itertools
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import time

TREE = pathlib.Path(__file__).resolve().parent.parent
# Frames per measurement for --seconds 1: about a second of C on a 2-core
# machine.
FRAMES = {2048: 3000, 64: 60000}
WARM_UP = 8
PATHS = ("C", "Python", "GStreamer")


class LoopProgram:
    """zar_usb_stream_loop on one camera, running a stream whenever asked."""

    def __init__(self, folder, path, name):
        self.what = f"zar_usb_stream_loop {path} {name}"
        self.process = subprocess.Popen([str(folder / "zar_usb_stream_loop"), path, name], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def __call__(self, frames):
        """Frames per second, and CPU microseconds per frame of the process
        and of the thread that waits and requeues (None for GStreamer)."""
        self.process.stdin.write(f"{frames}\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.what} ended with status {self.process.wait()}")
        result = json.loads(line)
        return result["fps"], result["cpu_us"], result["caller_cpu_us"]

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


def python_loop(camera, frames):
    """The same through camera.stream()."""
    with camera.stream(buffers=8) as stream:
        for _ in itertools.islice(stream, WARM_UP):
            pass
        start = time.perf_counter(), time.process_time(), time.thread_time()
        for _ in itertools.islice(stream, frames):
            pass
        wall, cpu, caller = (now - then for now, then in zip((time.perf_counter(), time.process_time(),
                                                               time.thread_time()), start))
    return frames / wall, 1e6 * cpu / frames, 1e6 * caller / frames


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("bin", nargs="?", default=str(TREE / "build/native/bin"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.0, help="about this long per measurement")
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

    # Every camera is plugged and listed before the first measurement: a plug
    # makes the library rescan, which no timed loop may meet.
    names = {}
    for side in FRAMES:
        for path in PATHS:
            serial = f"{path.upper()}{side}"
            subprocess.run([str(folder / "zarusb"), "emu", "plug", "--serial", serial, "--width", str(side),
                            "--height", str(side), "--fps", "0"], check=True, capture_output=True)
            names[path, side] = f"ZC1000_#{serial}"
            while names[path, side] not in zar_usb.cameras():
                time.sleep(0.05)
    cameras = {side: zar_usb.Camera(names["Python", side]) for side in FRAMES}
    programs = {(path, side): LoopProgram(folder, flag, names[path, side])
                for path, flag in (("C", "c"), ("GStreamer", "gst")) for side in FRAMES}
    runs = {"C": lambda side, frames: programs["C", side](frames),
            "Python": lambda side, frames: python_loop(cameras[side], frames),
            "GStreamer": lambda side, frames: programs["GStreamer", side](frames)}

    load_before = os.getloadavg()
    rows = {side: [] for side in FRAMES}
    for round_number in range(options.rounds):
        # Each path comes first in turn, so that none always follows another.
        order = PATHS[round_number % len(PATHS):] + PATHS[:round_number % len(PATHS)]
        for side, frames in FRAMES.items():
            frames = max(100, int(frames * options.seconds))
            rows[side].append({path: runs[path](side, frames) for path in order})
    load_after = os.getloadavg()
    for program in programs.values():
        program.close()
    for camera in cameras.values():
        camera.close()

    print(f"{options.rounds} rounds; load average {load_before[0]:.2f} before, {load_after[0]:.2f} after")
    print(f"{'frame':<16} {'path':<10} {'fps':>8} {'of C':>6} {'CPU us/frame':>13} {'caller CPU us/frame':>20}")
    for side, rounds in rows.items():
        for path in PATHS:
            fps, cpu = (statistics.median(row[path][column] for row in rounds) for column in (0, 1))
            ratio = statistics.median(row[path][0] / row["C"][0] for row in rounds)
            callers = [row[path][2] for row in rounds if row[path][2] is not None]
            caller = f"{statistics.median(callers):20.2f}" if callers else f"{'-':>20}"
            frame = f"{side}x{side} Mono8" if path == PATHS[0] else ""
            print(f"{frame:<16} {path:<10} {fps:8.0f} {ratio:6.3f} {cpu:13.2f} {caller}")

if __name__ == "__main__":
    main()
