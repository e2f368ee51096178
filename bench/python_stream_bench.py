"""Frames per second through the Python package (numpy arrays over the
library's buffers, no copy) beside the C loop of zar_usb_bench
(BM_StreamPathCost: DSWaitForBuffer and DSQueueBuffer through the exports),
at 2048x2048 Mono8 (4 MiB) and at 64x64, 8 buffers, emulated cameras at
full speed. Each round runs the C program, then the Python loop, so that
both see the same load; the table gives the medians over the rounds and the
Python-to-C ratio of each round's pair. CPU time is the process's (the
emulator filling the frames included, the same for both).

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
import shutil
import statistics
import subprocess
import sys
import time

TREE = pathlib.Path(__file__).resolve().parent.parent
SIDES = (2048, 64)
BATCH = {2048: 16, 64: 256}  # frames per timed batch, as the C benchmark
TARGET_AT_4_MIB = 0.90
# The C program makes a namespace of its own when none is set.
C_ENVIRONMENT = {name: value for name, value in os.environ.items() if not name.startswith("ZAR_USB_")}


def c_loop(bench, side, seconds):
    """Frames per second and CPU microseconds per frame of the C loop."""
    done = subprocess.run([str(bench), f"--benchmark_filter=BM_StreamPathCost/{side}/",
                           f"--benchmark_min_time={seconds}", "--benchmark_format=json"],
                          capture_output=True, text=True, check=True, timeout=600, env=C_ENVIRONMENT)
    result = json.loads(done.stdout)["benchmarks"][0]
    return result["exports_fps"], result["exports_cpu_us"]


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
        serial = f"PYBENCH{side}"
        subprocess.run([str(folder / "zarusb"), "emu", "plug", "--serial", serial, "--width", str(side),
                        "--height", str(side), "--fps", "0"], check=True, capture_output=True)
        while f"ZC1000_#{serial}" not in zar_usb.cameras():
            time.sleep(0.05)
        cameras[side] = zar_usb.Camera(serial=serial)

    rows = {side: [] for side in SIDES}
    for _ in range(options.rounds):
        for side in SIDES:
            rows[side].append(c_loop(folder / "zar_usb_bench", side, options.seconds) +
                              python_loop(cameras[side], side, options.seconds))
    for camera in cameras.values():
        camera.close()

    print(f"{'frame':>14} {'C fps':>9} {'Python fps':>11} {'ratio':>6} {'C cpu us':>9} {'Python cpu us':>14}")
    for side, measured in rows.items():
        c_fps, c_cpu, py_fps, py_cpu = (statistics.median(column) for column in zip(*measured))
        ratio = statistics.median(py / c for c, _, py, _ in measured)
        print(f"{f'{side}x{side} Mono8':>14} {c_fps:9.0f} {py_fps:11.0f} {ratio:6.2f} {c_cpu:9.1f} {py_cpu:14.1f}")
    at_4_mib = statistics.median(py / c for c, _, py, _ in rows[2048])
    print(f"Python at 4 MiB: {at_4_mib:.2f} of the C rate (target {TARGET_AT_4_MIB:.2f}: "
          f"{'met' if at_4_mib >= TARGET_AT_4_MIB else 'missed'})")


if __name__ == "__main__":
    main()
