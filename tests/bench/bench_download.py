#!/usr/bin/env python3
"""Download throughput benchmark, run by hand (never by ctest):

    tools/bench-download.sh [RUNS] [GIB]

Serves a file of GIB GiB (default 1) with nginx over HTTPS on loopback, in a
private network namespace, from a tmpfs, and downloads it RUNS times
(default 5), interleaving three clients in every round:

  downloader    the test build of TalvorenDownloader.exe, window and all,
                timed from the Yes to the last byte on disk
  winhttp_loop  a bare WinHTTP read-and-write loop under Wine: this
                platform's limit
  curl          native, for scale

It prints each run and the medians, the ratio downloader / winhttp_loop, the
downloader's CPU seconds per GiB, and its private (anonymous) memory sampled
through the download."""

import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import harness
import namespace
import servers

GIB = 1 << 30
MIB = 1 << 20
LOOP = harness.BUILD / "tests" / "bench" / "winhttp_loop.exe"
URL = "https://localhost:8443/package.bin"
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def anonymous_memory(pid):
    for line in pathlib.Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("RssAnon:"):
            return int(line.split()[1]) * 1024
    return 0


def run_downloader(work, size):
    folder = work / "app"
    folder.mkdir()
    app = harness.Downloader(folder)
    try:
        app.start()
        if harness.probe("wait-box", "下载确认", 15000)[0] != 0:
            raise RuntimeError("no confirmation box")
        pid = app.process.pid
        cpu_before = cpu_seconds(pid)
        memory = []
        harness.probe("press-box", "下载确认", "yes", 5000)
        start = time.monotonic()
        package = folder / "package.bin"
        next_sample = start
        while not (package.exists() and package.stat().st_size == size):
            now = time.monotonic()
            if now >= next_sample:
                memory.append(anonymous_memory(pid))
                next_sample = now + 0.25
            if now - start > 600:
                raise RuntimeError("the downloader did not finish")
            time.sleep(0.005)
        seconds = time.monotonic() - start
        cpu = cpu_seconds(pid) - cpu_before
        if app.close() != 0:
            raise RuntimeError("the downloader did not exit cleanly")
        return seconds, cpu, memory
    finally:
        app.kill()
        shutil.rmtree(folder)


def run_loop(work):
    output = work / "loop.bin"
    with open(work / "loop.txt", "wb") as out:
        code = subprocess.call([harness.WINE, str(LOOP), URL, harness.windows_path(output)],
                               stdout=out, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    text = (work / "loop.txt").read_text().replace("\r", "")
    output.unlink(missing_ok=True)
    if code != 0:
        raise RuntimeError(f"winhttp_loop failed: {text}")
    return float(dict(line.split("=") for line in text.split())["seconds"])


def run_curl(work):
    output = work / "curl.bin"
    seconds = subprocess.run(["curl", "-sS", "--cacert", str(servers.CERTS / "ca.pem"), "-o",
                              str(output), "-w", "%{time_total}", URL], check=True,
                             capture_output=True, text=True).stdout
    output.unlink()
    return float(seconds)


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    size = int(float(sys.argv[2]) * GIB) if len(sys.argv) > 2 else GIB
    namespace.start_wine()
    work = pathlib.Path(tempfile.mkdtemp(prefix="talvoren-bench-", dir="/dev/shm"))
    nginx = None
    try:
        root = work / "root"
        (root / "clients").mkdir(parents=True)
        (root / "clients" / "version.txt").write_text(URL + "\n")
        with open(root / "package.bin", "wb") as package:
            for _ in range(size // (64 * MIB)):
                package.write(os.urandom(64 * MIB))
            package.write(os.urandom(size % (64 * MIB)))
        nginx = namespace.start_nginx(work / "nginx", root, 8443, servers.CERTS)

        rates = {"downloader": [], "winhttp_loop": [], "curl": []}
        cpu_per_gib = []
        memory_ranges = []
        mb = size / MIB
        for run in range(1, runs + 1):
            seconds, cpu, memory = run_downloader(work, size)
            rates["downloader"].append(mb / seconds)
            cpu_per_gib.append(cpu / (size / GIB))
            memory_ranges.append((min(memory) / MIB, max(memory) / MIB, len(memory)))
            rates["winhttp_loop"].append(mb / run_loop(work))
            rates["curl"].append(mb / run_curl(work))
            print(f"run {run}: " + "  ".join(f"{name} {values[-1]:.1f} MiB/s"
                                             for name, values in rates.items()) +
                  f"  downloader CPU {cpu_per_gib[-1]:.2f} s/GiB, private memory "
                  f"{memory_ranges[-1][0]:.1f}..{memory_ranges[-1][1]:.1f} MiB "
                  f"({memory_ranges[-1][2]} samples)", flush=True)

        medians = {name: statistics.median(values) for name, values in rates.items()}
        print(f"\n{runs} runs of {size / GIB:.2f} GiB from nginx over loopback HTTPS, medians:")
        for name, value in medians.items():
            print(f"  {name:13} {value:8.1f} MiB/s")
        print(f"  downloader / winhttp_loop = {medians['downloader'] / medians['winhttp_loop']:.3f}")
        print(f"  downloader CPU: {statistics.median(cpu_per_gib):.2f} s per GiB (median)")
        low = min(r[0] for r in memory_ranges)
        high = max(r[1] for r in memory_ranges)
        print(f"  downloader private memory during the downloads: {low:.1f} to {high:.1f} MiB")
    finally:
        if nginx:
            nginx.terminate()
            nginx.wait()
        shutil.rmtree(work, ignore_errors=True)
        namespace.stop_wine()


if __name__ == "__main__":
    namespace.reenter_inside()
    main()
