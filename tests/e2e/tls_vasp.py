#!/usr/bin/env python3
"""A VASP on Python's ssl module: posts a request over HTTPS, one connection per request, each
resuming the session of the one before.

tls_vasp.py PORT CA_FILE REQUEST_FILE [TIMES] [CERT KEY]
Prints per request: "reply <status line> resumed=<bool> <protocol> alpn=<protocol>".  With
TIMES 0 it makes one connection, prints "handshaken", and sends the request once a line comes
on stdin."""
import socket
import ssl
import sys

port, ca, request_file = int(sys.argv[1]), sys.argv[2], sys.argv[3]
times = int(sys.argv[4]) if len(sys.argv) > 4 else 1
context = ssl.create_default_context(cafile=ca)
context.set_alpn_protocols(["h2", "http/1.1"])
if len(sys.argv) > 6:
    context.load_cert_chain(sys.argv[5], sys.argv[6])
request = open(request_file, "rb").read()
session = None
for _ in range(max(times, 1)):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as raw:
        with context.wrap_socket(raw, server_hostname="localhost", session=session) as tls:
            if times == 0:
                print("handshaken", flush=True)
                sys.stdin.readline()
            tls.sendall(request)
            reply = b""
            while chunk := tls.recv(65536):
                reply += chunk
            print("reply", reply.split(b"\r\n")[0].decode(), "resumed=%s" % tls.session_reused,
                  tls.version(), "alpn=%s" % tls.selected_alpn_protocol(), flush=True)
            session = tls.session
