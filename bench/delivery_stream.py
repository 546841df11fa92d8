#!/usr/bin/env python3
"""Streaming speed, CPU and memory of a delivery to the VASP, in the clear and over TLS.

    bench/delivery_stream.py [--mb 50] [--rounds 5] [--build build] [--tls]

Writes an m-retrieve-conf PDU holding one part of MB megabytes of random data (kmodsim's
`pdu retrieve`), then delivers it ROUNDS times from the kernel module simulator through the
daemon to an endpoint that reads the body as fast as it comes and throws it away
(bench/sink_server.c).  For every round it reports the MB/s of PDU
streamed (from the indication to the endpoint's answer), the MB of PDU per CPU second of the
daemon (from its scheduler statistics), and the growth of the daemon's resident memory while it
streams, sampled every few milliseconds; and, side by side, the MB per CPU second of coreutils
`base64` encoding the same file.  With --tls every round also delivers over TLS, to the same
endpoint serving HTTPS (certificates of scripts/make_pki.sh) at https://localhost.  Each
delivery has a daemon of its own, and the modes take turns, so that a busy machine weighs on
both alike.  It prints the medians and their ratios.  It runs itself in a network namespace of its own
(tests/netns-run) so that the daemon's fixed ports collide with nothing.  Use a release build
(scripts/build.sh).
"""

import argparse
import os
import resource
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
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


def wait_for(path, text, timeout=120.0, sample=None, count=1):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if os.path.exists(path):
            with open(path, errors="replace") as f:
                if f.read().count(text) >= count:
                    return True
        if sample:
            sample()
        time.sleep(0.002)
    raise SystemExit("bench: timed out waiting for %r in %s" % (text, path))


def start_endpoints(work, procs):
    """bench/sink_server.c, in the clear on 8080 and over TLS on 8443 (certificates of
    scripts/make_pki.sh); the file each one reports its answers in."""
    program = os.path.join(work, "sink_server")
    subprocess.run(["cc", "-O2", "-o", program, os.path.join(ROOT, "bench", "sink_server.c"),
                    "-lssl", "-lcrypto"], check=True)
    pki = os.path.join(work, "pki")
    subprocess.run([os.path.join(ROOT, "scripts", "make_pki.sh"), pki], check=True)
    outs = {}
    for tls, args in ((False, ["8080"]), (True, ["8443", os.path.join(pki, "server.pem"),
                                                 os.path.join(pki, "server.key")])):
        outs[tls] = os.path.join(work, "sink-%s.out" % tls)
        procs.append(subprocess.Popen([program] + args, stdout=open(outs[tls], "w")))
        wait_for(outs[tls], "ready")
    return outs


def deliver(args, work, kmod, kmod_out, pdu, tls, number, out, answer):
    """One delivery by a fresh daemon: (MB/s, daemon CPU MB/s, RSS growth kB)."""
    procs = []
    try:
        pki = os.path.join(work, "pki")
        log = os.path.join(work, "mm7_server.log")
        url = ["https://localhost:8443/mm7", "--clientcafile", os.path.join(pki, "ca.pem")] \
            if tls else ["http://127.0.0.1:8080/mm7"]
        daemon = subprocess.Popen([os.path.join(args.build, "mm7_server"), "--workdir",
                                   work + "/", "--logfile", log, "--loglevel", "info",
                                   "--clienturl"] + url)
        procs.append(daemon)
        wait_for(log, "QZM MM7 server starting")
        wait_for(kmod_out, "XGATE_CONNECT_REQ", count=number)
        base = rss_kb(daemon.pid)
        peak = [base]
        cpu = cpu_seconds(daemon.pid)
        start = time.monotonic()
        kmod.stdin.write("rcv 4 %s\n" % pdu)
        kmod.stdin.flush()
        wait_for(out, "answered %d " % answer, sample=lambda: peak.append(rss_kb(daemon.pid)))
        size_mb = os.path.getsize(pdu) / 1e6
        speed = size_mb / (time.monotonic() - start)
        wait_for(log, "delivered to the VASP", 10)
        return speed, size_mb / (cpu_seconds(daemon.pid) - cpu), max(peak) - base
    finally:
        for proc in reversed(procs):
            proc.terminate()
            proc.wait()


def base64_cpu(pdu):
    """MB of the file per CPU second of coreutils base64 encoding it."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(["base64", pdu], stdout=subprocess.DEVNULL, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime
    return os.path.getsize(pdu) / 1e6 / used


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mb", type=int, default=50)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--tls", action="store_true", help="rounds over TLS as well")
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
        outs = start_endpoints(work, procs)
        kmod_out = os.path.join(work, "kmodsim.out")
        kmod = subprocess.Popen([os.path.join(args.build, "tools/kmodsim/kmodsim"), "--log",
                                 os.path.join(work, "frames.log")], stdin=subprocess.PIPE,
                                stdout=open(kmod_out, "w"), text=True)
        procs.append(kmod)
        wait_for(kmod_out, "kmodsim ready")
        pdu = os.path.join(work, "received.mm1")
        kmod.stdin.write("pdu retrieve %s %s\n" % (pdu, media))
        kmod.stdin.flush()
        wait_for(kmod_out, "wrote retrieve")

        # Rounds alternate between the modes, so that both meet the same load of the machine.
        modes = [False, True] if args.tls else [False]
        runs = {tls: [] for tls in modes}
        refs = []
        print("round  mode   delivery MB/s  daemon CPU MB/s  RSS growth kB  base64 CPU MB/s")
        for r in range(1, args.rounds + 1):
            refs.append(base64_cpu(pdu))
            for tls in modes:
                runs[tls].append(deliver(args, work, kmod, kmod_out, pdu, tls,
                                         (r - 1) * len(modes) + modes.index(tls) + 1, outs[tls],
                                         r))
                print("%5d  %-5s  %13.1f  %15.1f  %13d  %15.1f"
                      % ((r, "tls" if tls else "clear") + runs[tls][-1] + (refs[-1],)))
        med = {tls: [statistics.median(x[i] for x in runs[tls]) for i in range(2)]
               for tls in modes}
        speed, cpu = med[False]
        b64 = statistics.median(refs)
        growth = max(x[2] for rs in runs.values() for x in rs)
        print("PDU %.1f MB, medians of %d rounds" % (os.path.getsize(pdu) / 1e6, args.rounds))
        print("clear: delivery %.1f MB/s, daemon CPU %.1f MB/s; base64 CPU %.1f MB/s; the "
              "daemon's CPU per MB against base64's: %.2fx (goal >= 0.8)"
              % (speed, cpu, b64, cpu / b64))
        if args.tls:
            print("TLS: delivery %.1f MB/s, daemon CPU %.1f MB/s; delivery MB/s over TLS "
                  "against clear: %.2fx (goal >= 0.7)" % (med[True][0], med[True][1],
                                                         med[True][0] / speed))
        print("largest RSS growth while streaming: %d kB (goal < 2048)" % growth)
    finally:
        for proc in reversed(procs):
            proc.terminate()
            proc.wait()
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    main()
