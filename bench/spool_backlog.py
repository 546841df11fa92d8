#!/usr/bin/env python3
"""A backlog of received messages held in the delivery spool while the VASP is away.

    bench/spool_backlog.py [--messages 1000] [--rounds 3] [--kb 2] [--named] [--build build]

Each round, with the VASP stand-in (tools/vaspsim) refusing connections, the kernel module
simulator hands the daemon MESSAGES inline m-retrieve-conf PDUs (one part of KB kilobytes each),
or with --named indications that name a PDU file, which the daemon copies; every one is
spooled.  The daemon's resident memory is read while it holds them all.  Then the
VASP comes back and the time until every message has been delivered is measured, both from the
VASP's return (which includes waiting for the next probe; the daemon runs with --retrydelay 1)
and from the first delivery on (the drain itself).  The reference beside it is the same number
of messages delivered while the VASP is up all along, from the first indication to the last
answer.  It prints medians and ratios.  It runs in a network namespace of its own
(tests/netns-run).  Use a release build (scripts/build.sh).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Indications in flight at a time: a burst larger than the socket buffer would be lost on the
# link, before the daemon sees it.
WINDOW = 40


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


# Counts of texts in growing files, read incrementally (whole lines only).
_seen = {}


def count(path, text):
    state = _seen.setdefault(path, {"pos": 0, "counts": {}})
    if text not in state["counts"]:
        with open(path, "rb") as f:
            state["counts"][text] = f.read(state["pos"]).decode(errors="replace").count(text)
    with open(path, "rb") as f:
        f.seek(state["pos"])
        data = f.read()
    end = data.rfind(b"\n") + 1
    chunk = data[:end].decode(errors="replace")
    state["pos"] += end
    for key in state["counts"]:
        state["counts"][key] += chunk.count(key)
    return state["counts"][text]


def wait_count(path, text, n, timeout=120.0, poll=0.02):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if os.path.exists(path) and count(path, text) >= n:
            return time.monotonic()
        time.sleep(poll)
    raise SystemExit("bench: timed out waiting for %d x %r in %s" % (n, text, path))


def feed(kmod, line, n, log, text, base):
    """Sends n indications, at most WINDOW ahead of the daemon's log, and returns when the log
    shows all n."""
    sent = 0
    while sent < n:
        done = count(log, text) - base
        for _ in range(min(n, done + WINDOW) - sent):
            kmod.send(line)
            sent += 1
        time.sleep(0.002)
    wait_count(log, text, base + n, poll=0.002)


class Proc:
    def __init__(self, argv, out):
        self.out = out
        self.p = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=open(out, "w"), text=True)

    def send(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--messages", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--kb", type=int, default=2)
    p.add_argument("--named", action="store_true", help="name a PDU file instead of inline PDUs")
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = p.parse_args()
    if os.environ.get("MM7_BENCH_NETNS") != "1":
        os.environ["MM7_BENCH_NETNS"] = "1"
        os.execv(os.path.join(ROOT, "tests", "netns-run"),
                 [os.path.join(ROOT, "tests", "netns-run"), sys.executable] + sys.argv)

    work = tempfile.mkdtemp(prefix="mm7-bench-")
    media = os.path.join(work, "image.png")
    with open(media, "wb") as f:
        f.write(os.urandom(args.kb << 10))
    procs = []
    try:
        kmod = Proc([os.path.join(args.build, "tools/kmodsim/kmodsim"), "--log",
                     os.path.join(work, "frames.log")], os.path.join(work, "kmodsim.out"))
        vasp = Proc([os.path.join(ROOT, "tools/vaspsim/vaspsim.py"), "--discard"],
                    os.path.join(work, "vasp.out"))
        procs += [kmod.p, vasp.p]
        wait_count(kmod.out, "kmodsim ready", 1)
        wait_count(vasp.out, "vaspsim ready", 1)
        log = os.path.join(work, "mm7_server.log")
        daemon = subprocess.Popen([os.path.join(args.build, "mm7_server"), "--workdir", work + "/",
                                   "--logfile", log, "--retrydelay", "1", "--clienturl",
                                   "http://127.0.0.1:8080/mm7-client"])
        procs.append(daemon)
        wait_count(log, "QZM MM7 server starting", 1)
        pdu = os.path.join(work, "received.mm1")
        kmod.send("pdu retrieve %s %s" % (pdu, media))
        wait_count(kmod.out, "wrote retrieve", 1)

        n = args.messages
        rcv = ("rcv 4 %s" if args.named else "rcv 1 %s") % pdu
        delivered = 0
        print("round  spooled/s  idle RSS kB  holding RSS kB  from return s  drain s  live s")
        rows = []
        for r in range(1, args.rounds + 1):
            idle = rss_kb(daemon.pid)
            vasp.send("mode refuse")
            wait_count(vasp.out, "ok mode=refuse", r)
            spooled = count(log, "spooled as entry")
            begin = time.monotonic()
            feed(kmod, rcv, n, log, "spooled as entry", spooled)
            spool_rate = n / (time.monotonic() - begin)
            time.sleep(1.0)
            holding = rss_kb(daemon.pid)
            vasp.send("mode normal")
            back = time.monotonic()
            first = wait_count(log, "delivered to the VASP", delivered + 1)
            done = wait_count(log, "delivered to the VASP", delivered + n)
            delivered += n
            start = time.monotonic()
            feed(kmod, rcv, n, log, "spooled as entry", spooled + n)
            live = wait_count(log, "delivered to the VASP", delivered + n) - start
            delivered += n
            rows.append((spool_rate, idle, holding, done - back, done - first, live))
            print("%5d  %10.0f  %11d  %14d  %13.2f  %7.2f  %6.2f" % ((r,) + rows[-1]))
        med = [statistics.median(c) for c in zip(*rows)]
        print("%d %s messages of %d kB: median %.0f spooled/s; median RSS %d kB idle, %d kB "
              "holding them (%+d kB); median %.2f s from the VASP's return, drain %.2f s "
              "(%.0f messages/s), live %.2f s; drain/live ratio %.2f"
              % (n, "named" if args.named else "inline", args.kb, med[0], med[1], med[2],
                 med[2] - med[1], med[3], med[4], n / med[4], med[5], med[4] / med[5]))
    finally:
        for proc in reversed(procs):
            proc.terminate()
        for proc in procs:
            proc.wait()
        if not os.environ.get("MM7_BENCH_KEEP"):
            subprocess.run(["rm", "-rf", work])
        else:
            print("kept", work)


if __name__ == "__main__":
    main()
