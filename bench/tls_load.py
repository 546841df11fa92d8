#!/usr/bin/env python3
"""Load for bench/tls_cost.sh: posts one body N times, each on a connection of its own, from C
threads at once; over HTTPS with a full handshake every time, over HTTPS with each thread
resuming its last session, or in the clear.  Only the server's CPU is measured, so the client's
own speed matters little.

    tls_load.py PORT full|resumed|clear N C BODY_FILE CONTENT_TYPE [CA_FILE]

Prints "ok=<answers with status 200> resumed=<resumed sessions> of=<N>"."""
import socket
import ssl
import sys
import threading

port, mode, total, threads = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
body = open(sys.argv[5], "rb").read()
request = ("POST /mm7 HTTP/1.1\r\nHost: localhost\r\nContent-Type: %s\r\nContent-Length: %d\r\n"
           "Connection: close\r\n\r\n" % (sys.argv[6], len(body))).encode() + body
context = None
if mode != "clear":
    context = ssl.create_default_context(cafile=sys.argv[7])
    context.set_alpn_protocols(["http/1.1"])
counts = {"ok": 0, "resumed": 0}
lock = threading.Lock()


def worker(n):
    session = None
    for _ in range(n):
        with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
            conn = raw
            if context is not None:
                conn = context.wrap_socket(raw, server_hostname="localhost",
                                           session=session if mode == "resumed" else None)
            conn.sendall(request)
            reply = b""
            while chunk := conn.recv(65536):
                reply += chunk
            with lock:
                counts["ok"] += reply.split(b" ", 2)[1:2] == [b"200"]
                counts["resumed"] += context is not None and conn.session_reused
            if context is not None:
                session = conn.session
                conn.close()


shares = [total // threads + (i < total % threads) for i in range(threads)]
pool = [threading.Thread(target=worker, args=(n,)) for n in shares]
for t in pool:
    t.start()
for t in pool:
    t.join()
print("ok=%d resumed=%d of=%d" % (counts["ok"], counts["resumed"], total))
