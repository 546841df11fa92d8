#!/usr/bin/env python3
"""Streaming speed, CPU and memory of a delivery to the VASP, in the clear and over TLS.

    bench/delivery_stream.py [--mb 50] [--rounds 5] [--build build] [--tls]

Writes an m-retrieve-conf PDU holding one part of MB megabytes of random data (kmodsim's
`pdu retrieve`), then delivers it ROUNDS times from the kernel module simulator through the
daemon to an endpoint that reads the body as fast as it comes and throws it away (this script,
run as --endpoint, in a process of its own).  For every round it reports the MB/s of PDU
streamed (from the indication to the endpoint's answer), the MB of PDU per CPU second of the
daemon (from its scheduler statistics), and the growth of the daemon's resident memory while it
streams, sampled every few milliseconds; and, side by side, the MB per CPU second of coreutils
`base64` encoding the same file.  With --tls every round also delivers over TLS, the endpoint
serving HTTPS (certificates of scripts/make_pki.sh) and the daemon delivering to
https://localhost.  Each delivery has a daemon and an endpoint of its own, and the modes take
turns, so that a busy machine weighs on both alike.  It prints the medians and their ratios.  It runs itself in a network namespace of its own
(tests/netns-run) so that the daemon's fixed ports collide with nothing.  Use a release build
(scripts/build.sh).
"""

import argparse
import os
import resource
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
REPLY = (b"<Envelope><Body><DeliverRsp><Status><StatusCode>1000</StatusCode></Status>"
         b"</DeliverRsp></Body></Envelope>")


NGINX = """worker_processes 1; pid %(work)s/nginx.pid; error_log %(work)s/nginx.log;
events {}
http {
    access_log off; client_max_body_size 0; client_body_buffer_size 1m;
    client_body_temp_path %(work)s/body;
    proxy_temp_path %(work)s/proxy;
    server {
        listen 127.0.0.1:8443 ssl;
        ssl_certificate %(pki)s/server.pem; ssl_certificate_key %(pki)s/server.key;
        location / { proxy_pass http://127.0.0.1:8081; proxy_http_version 1.1;
                     proxy_request_buffering off; }
    }
}
"""


def endpoint():
    """On 8081: reads each request's head and Content-Length body into one reused buffer, and
    answers StatusCode 1000."""
    server = socket.create_server(("127.0.0.1", 8081))
    print("endpoint ready", flush=True)
    buf = bytearray(1 << 20)
    number = 0
    while True:
        conn = server.accept()[0]
        head = b""
        while b"\r\n\r\n" not in head:
            n = conn.recv_into(buf)
            if n == 0:
                break
            head += bytes(buf[:n])
        head, _, got = head.partition(b"\r\n\r\n")
        length = next(int(line.split(b":")[1]) for line in head.split(b"\r\n")
                      if line.lower().startswith(b"content-length:"))
        got = len(got)
        while got < length:
            n = conn.recv_into(buf)
            if n == 0:
                break
            got += n
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
                     % len(REPLY) + REPLY)
        number += 1
        print("answered %d %d" % (number, got), flush=True)
        conn.close()


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


def start_endpoint(work, procs):
    """The endpoint on 8081, and nginx terminating TLS in front of it on 8443 (certificates of
    scripts/make_pki.sh), passing the body on as it comes."""
    out = os.path.join(work, "endpoint.out")
    procs.append(subprocess.Popen([sys.executable, os.path.abspath(__file__), "--endpoint"],
                                  stdout=open(out, "w")))
    wait_for(out, "endpoint ready")
    pki = os.path.join(work, "pki")
    subprocess.run([os.path.join(ROOT, "scripts", "make_pki.sh"), pki], check=True)
    with open(os.path.join(work, "nginx.conf"), "w") as f:
        f.write(NGINX % {"work": work, "pki": pki})
    procs.append(subprocess.Popen(["/usr/sbin/nginx", "-p", work, "-c",
                                   os.path.join(work, "nginx.conf"), "-g", "daemon off;"]))
    wait_for(os.path.join(work, "nginx.pid"), "")
    return out


def deliver(args, work, kmod, kmod_out, pdu, tls, number, out):
    """One delivery by a fresh daemon: (MB/s, daemon CPU MB/s, RSS growth kB)."""
    procs = []
    try:
        pki = os.path.join(work, "pki")
        log = os.path.join(work, "mm7_server.log")
        url = ["https://localhost:8443/mm7", "--clientcafile", os.path.join(pki, "ca.pem")] \
            if tls else ["http://127.0.0.1:8081/mm7"]
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
        wait_for(out, "answered %d " % number, sample=lambda: peak.append(rss_kb(daemon.pid)))
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
    p.add_argument("--endpoint", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.endpoint:
        return endpoint()
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
        out = start_endpoint(work, procs)
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
                                         (r - 1) * len(modes) + modes.index(tls) + 1, out))
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
