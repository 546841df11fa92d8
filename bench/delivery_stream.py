#!/usr/bin/env python3
"""Streaming speed and memory of a delivery to the VASP.

    bench/delivery_stream.py [--mb 50] [--rounds 5] [--build build]

Writes an m-retrieve-conf PDU holding one part of MB megabytes of random data (kmodsim's
`pdu retrieve`), then delivers it ROUNDS times from the kernel module simulator through the
daemon to the VASP stand-in (tools/vaspsim, counting the body without decoding it).  For every
round it reports the MB/s of PDU streamed (from the indication to the VASP's answer) and the
growth of the daemon's resident memory while it streams, sampled every few milliseconds; and,
side by side, the MB/s of coreutils `base64` encoding the same file.  It prints the medians and
their ratio.  It runs itself in a network namespace of its own (tests/netns-run) so that the
daemon's fixed ports collide with nothing.  Use a release build (scripts/build.sh).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_for(path, text, timeout=120.0, sample=None):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                if text in f.read():
                    return True
        if sample:
            sample()
        time.sleep(0.002)
    raise SystemExit("bench: timed out waiting for %r in %s" % (text, path))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mb", type=int, default=50)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = p.parse_args()
    if os.environ.get("MM7_BENCH_NETNS") != "1":
        os.environ["MM7_BENCH_NETNS"] = "1"
        os.execv(os.path.join(ROOT, "tests", "netns-run"),
                 [os.path.join(ROOT, "tests", "netns-run"), sys.executable] + sys.argv)

    work = tempfile.mkdtemp(prefix="mm7-bench-")
    media = os.path.join(work, "media.bin")
    with open(media, "wb") as f:
        f.write(os.urandom(args.mb << 20))
    procs = []
    try:
        kmod_out = open(os.path.join(work, "kmodsim.out"), "w")
        kmod = subprocess.Popen([os.path.join(args.build, "tools/kmodsim/kmodsim"), "--log",
                                 os.path.join(work, "frames.log")], stdin=subprocess.PIPE,
                                stdout=kmod_out, text=True)
        procs.append(kmod)
        vasp_out = open(os.path.join(work, "vasp.out"), "w")
        procs.append(subprocess.Popen([os.path.join(ROOT, "tools/vaspsim/vaspsim.py"), "--discard",
                                       "--stay"], stdin=subprocess.DEVNULL, stdout=vasp_out))
        wait_for(kmod_out.name, "kmodsim ready")
        wait_for(vasp_out.name, "vaspsim ready")
        log = os.path.join(work, "mm7_server.log")
        daemon = subprocess.Popen([os.path.join(args.build, "mm7_server"), "--workdir", work + "/",
                                   "--logfile", log, "--clienturl",
                                   "http://127.0.0.1:8080/mm7-client"])
        procs.append(daemon)
        wait_for(log, "QZM MM7 server starting")

        pdu = os.path.join(work, "received.mm1")
        kmod.stdin.write("pdu retrieve %s %s\n" % (pdu, media))
        kmod.stdin.flush()
        wait_for(kmod_out.name, "wrote retrieve")
        size_mb = os.path.getsize(pdu) / 1e6

        print("round  delivery MB/s  daemon CPU MB/s  base64 MB/s  RSS growth kB")
        speeds, cpus, refs, growths = [], [], [], []
        for r in range(1, args.rounds + 1):
            base = rss_kb(daemon.pid)
            peak = [base]
            cpu = cpu_seconds(daemon.pid)
            start = time.monotonic()
            kmod.stdin.write("rcv 4 %s\n" % pdu)
            kmod.stdin.flush()
            wait_for(vasp_out.name, "answered %d " % r,
                     sample=lambda: peak.append(rss_kb(daemon.pid)))
            speeds.append(size_mb / (time.monotonic() - start))
            cpus.append(size_mb / max(cpu_seconds(daemon.pid) - cpu, 0.01))
            wait_for(log, "delivered to the VASP", 10)
            growths.append(max(peak) - base)
            start = time.monotonic()
            subprocess.run(["base64", pdu], stdout=subprocess.DEVNULL, check=True)
            refs.append(size_mb / (time.monotonic() - start))
            print("%5d  %13.1f  %15.1f  %11.1f  %13d" % (r, speeds[-1], cpus[-1], refs[-1],
                                                         growths[-1]))
        s, b = statistics.median(speeds), statistics.median(refs)
        print("PDU %.1f MB; median delivery %.1f MB/s (daemon CPU %.1f MB/s), median base64 "
              "%.1f MB/s, ratio %.2f; largest RSS growth %d kB"
              % (size_mb, s, statistics.median(cpus), b, s / b, max(growths)))
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in procs:
            proc.wait()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
