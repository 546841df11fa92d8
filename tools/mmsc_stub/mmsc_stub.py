#!/usr/bin/env python3
"""A stand-in for an operator's MMSC, for tests and the Quick start demo.

Speaks just enough HTTP/1.1 (keep-alive, Content-Length bodies) to take MM1 transactions from a
turbo mode worker and answer them the way an MMSC does.  Every request is recorded: one line on
stdout and, with --record DIR, its raw header block and body as files.

What a request gets depends on its path:
  /mms[...]              POST m-send-req -> m-send-conf (status from ?status=N, default 128 Ok)
                         POST m-notifyresp-ind (or anything else) -> 200, empty body
                         GET -> 200 with the message to fetch (--message FILE, or a built-in
                         m-retrieve-conf)
  /redirect[...]         302 to the same path with "/redirect" replaced by "/mms"
  /see-other/REST        303 "See Other" to /REST
  /away/HOST:PORT/REST   302 to http://HOST:PORT/REST (another server)
  /status/CODE[...]      that HTTP status, empty body
  /delay/MS/[...]        waits MS milliseconds, then as /mms
  /hang[...]             reads the request and never answers
  /close[...]            closes the connection without an answer
  /endless[...]          200 with a chunked body that never ends (small chunks, as fast as the
                         client takes them)

With --tlscert and --tlskey it speaks HTTPS; a client that gives up in the handshake (one that
does not trust the certificate) is reported on a line "tls handshake failed: REASON", and no
request of it is recorded.

Record line (stdout, flushed): request seq=N t_ms=T method=M path=P len=L type=0xXX
where T is the stand-in's own monotonic clock in milliseconds at the end of the request and
type is the second octet of the body (the MMS message type) or 0x00 when there is none.
"""
import argparse
import os
import socketserver
import ssl
import sys
import threading
import time

def retrieve_conf():
    """m-retrieve-conf from +15550001, subject "Fetched", one text/plain part."""
    sender = b"+15550001/TYPE=PLMN\x00"
    text = b"Hello from the MMSC stand-in\n"
    return (b"\x8c\x84\x98stub-1\x00\x8d\x92"
            b"\x89" + bytes([len(sender) + 1]) + b"\x80" + sender +
            b"\x96Fetched\x00\x84\xa3"
            b"\x01" + b"\x01" + bytes([len(text)]) + b"\x83" + text)


class State:
    def __init__(self, args):
        self.args = args
        self.lock = threading.Lock()
        self.seq = 0
        self.message = retrieve_conf()
        if args.message:
            with open(args.message, "rb") as f:
                self.message = f.read()

    def record(self, method, path, head, body):
        with self.lock:
            self.seq += 1
            seq = self.seq
            if self.args.record:
                with open(os.path.join(self.args.record, "req-%d.hdr" % seq), "wb") as f:
                    f.write(head)
                with open(os.path.join(self.args.record, "req-%d.bin" % seq), "wb") as f:
                    f.write(body)
            kind = body[1] if len(body) > 1 else 0
            if not self.args.quiet:
                sys.stdout.write("request seq=%d t_ms=%.1f method=%s path=%s len=%d type=0x%02x\n"
                                 % (seq, time.monotonic() * 1000, method, path, len(body), kind))
                sys.stdout.flush()
            return seq


def send_conf(seq, status):
    tid = b"stub-%d" % seq
    return (b"\x8c\x81\x98" + tid + b"\x00\x8d\x92\x92" + bytes([status]) +
            b"\x8bmid-%d\x00" % seq)


class Handler(socketserver.StreamRequestHandler):
    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            try:
                self.request.do_handshake()  # in this connection's own thread
            except (ssl.SSLError, OSError) as e:
                sys.stdout.write("tls handshake failed: %s\n" % e)
                sys.stdout.flush()
                raise
        super().setup()

    def reply(self, code, reason, body=b"", extra=b""):
        head = (b"HTTP/1.1 %d %s\r\nContent-Type: application/vnd.wap.mms-message\r\n"
                b"Content-Length: %d\r\n" % (code, reason, len(body))) + extra + b"\r\n"
        self.wfile.write(head + body)
        self.wfile.flush()

    def handle(self):
        state = self.server.state
        while True:
            line = self.rfile.readline(65537)
            if not line:
                return
            if line in (b"\r\n", b"\n"):
                continue
            parts = line.decode("latin-1").split()
            if len(parts) < 2:
                return
            method, target = parts[0], parts[1]
            head = line
            length = 0
            while True:
                h = self.rfile.readline(65537)
                if not h:
                    return
                head += h
                if h in (b"\r\n", b"\n"):
                    break
                name, _, value = h.decode("latin-1").partition(":")
                if name.strip().lower() == "content-length":
                    length = int(value.strip() or 0)
            body = self.rfile.read(length) if length else b""
            if target.startswith("http://"):  # a request for a proxy: keep only the path
                target = "/" + target[7:].partition("/")[2]
            path, _, query = target.partition("?")
            seq = state.record(method, target, head, body)
            if not self.answer(method, path, query, body, seq, state):
                return

    def answer(self, method, path, query, body, seq, state):
        if path.startswith("/hang"):
            while self.rfile.read(1):
                pass
            return False
        if path.startswith("/close"):
            return False
        if path.startswith("/endless"):
            self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/vnd.wap.mms-message"
                             b"\r\nTransfer-Encoding: chunked\r\n\r\n")
            try:
                while True:
                    self.wfile.write(b"10\r\n" + b"\x8c" * 16 + b"\r\n")
                    self.wfile.flush()
            except OSError:
                return False
        if path.startswith("/redirect"):
            location = "/mms" + path[len("/redirect"):] + ("?" + query if query else "")
            self.reply(302, b"Found", extra=b"Location: %s\r\n" % location.encode())
            return True
        if path.startswith("/away/"):
            _, _, where, rest = path.split("/", 3)
            self.reply(302, b"Found", extra=b"Location: http://%s/%s\r\n" % (where.encode(),
                                                                              rest.encode()))
            return True
        if path.startswith("/see-other/"):
            location = path[len("/see-other"):] + ("?" + query if query else "")
            self.reply(303, b"See Other", extra=b"Location: %s\r\n" % location.encode())
            return True
        if path.startswith("/status/"):
            code = int(path.split("/")[2])
            self.reply(code, b"Refused")
            return True
        if path.startswith("/delay/"):
            time.sleep(int(path.split("/")[2]) / 1000.0)
        if method == "GET":
            self.reply(200, b"OK", state.message)
            return True
        if len(body) > 1 and body[1] == 0x80:
            status = 128
            for item in query.split("&"):
                if item.startswith("status="):
                    status = int(item[7:], 0)
            self.reply(200, b"OK", send_conf(seq, status))
            return True
        self.reply(200, b"OK")
        return True


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True
    tls = None

    def get_request(self):
        sock, address = super().get_request()
        if self.tls:
            sock = self.tls.wrap_socket(sock, server_side=True, do_handshake_on_connect=False)
        return sock, address

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], OSError):  # a failed handshake is reported above
            super().handle_error(request, client_address)


def main():
    p = argparse.ArgumentParser(description="MMSC stand-in")
    p.add_argument("--port", type=int, default=8080)
    p.add_argument("--host", default="127.0.0.1", help="address to listen on")
    p.add_argument("--record", help="directory for the raw requests")
    p.add_argument("--message", help="file served to GET requests")
    p.add_argument("--quiet", action="store_true", help="no record lines (benchmarks)")
    p.add_argument("--tlscert", help="serve HTTPS with this certificate (PEM)")
    p.add_argument("--tlskey", help="the certificate's key (PEM)")
    args = p.parse_args()
    server = Server((args.host, args.port), Handler)
    if args.tlscert:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tlscert, args.tlskey)
    server.state = State(args)
    sys.stdout.write("mmsc_stub ready port=%d\n" % args.port)
    sys.stdout.flush()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
