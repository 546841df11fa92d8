#!/usr/bin/env python3
"""vaspsim: a stand-in for a VASP's MM7 endpoint, for the demo and the end-to-end tests.

It accepts the daemon's MM7 POSTs (with a Content-Length or chunked), decodes each one with
Python's own `email` package and `xml.etree` (sharing no code with the daemon), prints what it
found and answers with a configurable status.  On command it misbehaves.  With --stack it
serves through Python's own HTTP stacks instead, http.server or wsgiref, which read a body by its
Content-Length only.  See tools/vaspsim/README.md.
"""

import argparse
import base64
import codecs
import email.parser
import email.policy
import email.utils
import hashlib
import http.server
import os
import select
import socket
import sys
import threading
import time
import xml.etree.ElementTree as ET
import wsgiref.simple_server

MODES = ("normal", "refuse", "close-early", "answer-early", "continue", "slow", "never-answer",
         "never-read", "drip")

lock = threading.Lock()


def event(line):
    with lock:
        sys.stdout.buffer.write((line + "\n").encode("utf-8", "backslashreplace"))
        sys.stdout.flush()


class Settings:
    def __init__(self, args):
        self.mode = args.mode
        self.status = args.status
        self.mm7_status = args.mm7_status
        self.save = args.save
        self.slow_bytes = args.slow_bytes
        self.slow_interval = args.slow_interval
        self.discard = args.discard
        self.stack = args.stack
        self.auth = args.auth
        self.reply = None  # a raw reply that replaces the default one (command "reply")


class IncompleteRequest(Exception):
    pass


class Reader:
    """Buffered reads from a socket, optionally slowed down."""

    def __init__(self, sock, settings):
        self.sock = sock
        self.data = bytearray()
        self.pos = 0
        self.slow = settings.mode == "slow"
        self.settings = settings
        self.total = 0

    def fill(self):
        if self.slow:
            time.sleep(self.settings.slow_interval)
            chunk = self.sock.recv(self.settings.slow_bytes)
        else:
            chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise IncompleteRequest("connection closed after %d bytes" % self.total)
        self.total += len(chunk)
        if self.pos > (1 << 20):
            del self.data[:self.pos]
            self.pos = 0
        self.data += chunk

    def line(self, limit=65536):
        while True:
            end = self.data.find(b"\r\n", self.pos)
            if end >= 0:
                break
            if len(self.data) - self.pos > limit:
                raise IncompleteRequest("line too long")
            self.fill()
        line = bytes(self.data[self.pos:end])
        self.pos = end + 2
        return line

    def exactly(self, n, keep=True):
        while len(self.data) - self.pos < n:
            self.fill()
        out = bytes(self.data[self.pos:self.pos + n]) if keep else b""
        self.pos += n
        return out


def read_head(reader):
    request_line = reader.line().decode("latin-1")
    headers = []
    while True:
        line = reader.line()
        if not line:
            break
        name, _, value = line.decode("latin-1").partition(":")
        headers.append((name.strip(), value.strip()))
    return request_line, headers


def read_chunked(reader, keep=True):
    body = bytearray()
    total = 0
    while True:
        size_line = reader.line().decode("latin-1")
        size = int(size_line.split(";")[0], 16)  # ValueError for a malformed size
        if size == 0:
            if reader.line() != b"":
                raise IncompleteRequest("no CRLF after the last chunk")
            return bytes(body), total
        body += reader.exactly(size, keep)
        total += size
        if reader.exactly(2) != b"\r\n":
            raise IncompleteRequest("chunk not followed by CRLF")


def local(tag):
    return tag.rsplit("}", 1)[-1]


def describe_soap(xml_bytes):
    """The MM7 request name and its interesting fields, or an error text."""
    root = ET.fromstring(xml_bytes)
    body = [c for c in root if local(c.tag) == "Body"]
    if local(root.tag) != "Envelope" or not body or len(body[0]) != 1:
        return "not-an-envelope", {}
    request = body[0][0]
    fields = {}
    for element in request.iter():
        name = local(element.tag)
        if name in ("MessageID", "MMStatus", "Subject", "Priority", "Date", "TimeStamp"):
            fields[name] = (element.text or "").strip()
        if name == "Number":
            fields.setdefault("Number", []).append((element.text or "").strip())
    for element in root.iter():
        if local(element.tag) == "TransactionID":
            fields["TransactionID"] = (element.text or "").strip()
    return local(request.tag), fields


def save_file(folder, name, data):
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def decode_request(number, request_line, headers, body, settings):
    content_type = next((v for n, v in headers if n.lower() == "content-type"), "")
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    folder = None
    if settings.save:
        folder = os.path.join(settings.save, "request-%d" % number)
        os.makedirs(folder, exist_ok=True)
        save_file(folder, "body.txt", body)
        save_file(folder, "head.txt", (request_line + "\n" + "\n".join(
            "%s: %s" % h for h in headers) + "\n").encode("latin-1"))
    if not message.is_multipart() or message.defects:
        event("request %d mime-error defects=%s" % (number, [type(d).__name__ for d in message.defects]))
        return False
    parts = message.get_payload()
    soap = parts[0].get_payload(decode=True) or b""
    try:
        kind, fields = describe_soap(soap)
    except ET.ParseError as e:
        kind, fields = "xml-error", {"error": str(e)}
    if folder:
        save_file(folder, "envelope.xml", soap)
    summary = " ".join("%s=%s" % (k, ",".join(v) if isinstance(v, list) else v)
                       for k, v in sorted(fields.items()))
    media = []
    if len(parts) > 1:
        content = parts[1]
        if content.defects:
            event("request %d mime-error defects=%s" % (number, [type(d).__name__ for d in content.defects]))
        media = content.get_payload() if content.is_multipart() else []
        start = content.get_param("start")
        ids = [part.get("Content-ID", "").strip() for part in media]
        event("request %d content type=%s start=%s boundary-ok=%s type=%s start-ok=%s" % (
            number, content.get_content_type(), start or "-",
            content.get_boundary() is not None, content.get_param("type") or "-",
            start is None or start in ids))
    event("request %d path=%s soap=%s parts=%d %s" % (
        number, request_line.split(" ")[1] if " " in request_line else "?", kind, len(media),
        summary))
    for i, part in enumerate(media, 1):
        data = part.get_payload(decode=True) or b""
        name = part.get_param("name")
        event("request %d part %d content-type=%s content-id=%s encoding=%s bytes=%d sha256=%s "
              "charset=%s name=%s" % (
                  number, i, part.get_content_type(), part.get("Content-ID", ""),
                  part.get("Content-Transfer-Encoding", "8bit"), len(data),
                  hashlib.sha256(data).hexdigest()[:16], part.get_content_charset() or "-",
                  "-" if name is None else email.utils.collapse_rfc2231_value(name)))
        if folder:
            save_file(folder, "part-%d.bin" % i, data)
    return True


def check_excess(conn, number, pending):
    """Bytes after the body the request announced are a framing fault of the sender."""
    extra = len(pending)
    if not extra and conn is not None and select.select([conn], [], [], 0.2)[0]:
        extra = len(conn.recv(65536, socket.MSG_PEEK))
    if extra:
        event("request %d excess bytes=%d" % (number, extra))


def authorized(number, headers, settings):
    if not settings.auth:
        return True
    given = next((v for n, v in headers if n.lower() == "authorization"), "")
    expected = "Basic " + base64.b64encode(settings.auth.encode()).decode()
    if given == expected:
        event("request %d authorized" % number)
        return True
    event("request %d unauthorized authorization=%s" % (number, given or "none"))
    return False


def send_reply(conn, number, settings):
    """The answer; a raw reply set by command goes out as given, in pieces around <pause>, and
    with <keep-open> the connection stays open until the daemon closes it."""
    if settings.reply is None:
        conn.sendall(reply_text(settings))
        event("answered %d %d" % (number, settings.status))
        return
    text = settings.reply
    keep_open = text.endswith("<keep-open>")
    for i, piece in enumerate(text.replace("<keep-open>", "").split("<pause>")):
        if i:
            time.sleep(0.5)
        conn.sendall(piece.encode("latin-1"))
    event("answered %d raw" % number)
    if keep_open:
        while conn.recv(4096):
            pass


def reply_text(settings, status=None):
    soap = ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/"><env:Body>'
            '<DeliverRsp><MM7Version>5.3.0</MM7Version><Status><StatusCode>%s</StatusCode>'
            '<StatusText>vaspsim</StatusText></Status></DeliverRsp></env:Body></env:Envelope>'
            % settings.mm7_status)
    status = status or settings.status
    reason = {200: "OK", 202: "Accepted", 204: "No Content", 400: "Bad Request",
              401: "Unauthorized", 500: "Internal Server Error",
              503: "Service Unavailable"}.get(status, "Status")
    return ("HTTP/1.1 %d %s\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n%s" % (status, reason, len(soap), soap)).encode()


def serve(conn, number, settings):
    mode = settings.mode
    event("accepted %d mode=%s" % (number, mode))
    try:
        if mode == "never-read":
            while conn.recv(1, socket.MSG_PEEK):
                time.sleep(0.2)
            return
        reader = Reader(conn, settings)
        if mode == "close-early":
            reader.fill()
            event("closed %d early after %d bytes" % (number, reader.total))
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            return
        request_line, headers = read_head(reader)
        if settings.save:  # the head exactly as it came
            folder = os.path.join(settings.save, "request-%d" % number)
            os.makedirs(folder, exist_ok=True)
            save_file(folder, "head.raw", bytes(reader.data[:reader.pos]))
        if mode == "answer-early":
            conn.sendall(reply_text(settings))
            event("answered %d early %d" % (number, settings.status))
        if mode == "continue":  # interim responses at once, one of them in two pieces
            conn.sendall(b"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Proc")
            time.sleep(0.3)
            conn.sendall(b"essing\r\nX-Note: still reading\r\n\r\n")
            event("interim %d sent" % number)
        chunked = any(n.lower() == "transfer-encoding" and v.lower() == "chunked"
                      for n, v in headers)
        length = next((v for n, v in headers if n.lower() == "content-length"), None)
        if chunked:
            body, size = read_chunked(reader, not settings.discard)
        elif length is not None and length.isdigit():
            size = int(length)
            body = reader.exactly(size, not settings.discard)
        else:
            raise IncompleteRequest("request has neither Content-Length nor chunked framing")
        event("request %d complete bytes=%d framing=%s" % (
            number, size, "chunked" if chunked else "length"))
        check_excess(conn, number, reader.data[reader.pos:])
        if not authorized(number, headers, settings):
            conn.sendall(reply_text(settings, 401))
            return
        if not settings.discard:
            decode_request(number, request_line, headers, body, settings)
        if mode == "never-answer":
            event("not answering %d" % number)
            while conn.recv(4096):
                pass
            return
        if mode == "drip":
            event("dripping %d" % number)
            for octet in reply_text(settings):
                conn.sendall(bytes([octet]))
                time.sleep(1.0)
        elif mode != "answer-early":
            send_reply(conn, number, settings)
    except (IncompleteRequest, ValueError) as e:
        event("request %d incomplete: %s" % (number, e))
    except OSError as e:
        event("request %d connection error: %s" % (number, e))
    finally:
        conn.close()
        event("closed %d" % number)


def serve_stack_request(conn, number, request_line, headers, body, settings, pending):
    """One request that a real stack has read: the same checks, decoding and answers as the raw
    endpoint.  A body the stack could not read (a chunked one) fails to decode: 400."""
    event("request %d complete bytes=%d framing=%s" % (number, len(body), "length" if any(
        n.lower() == "content-length" for n, _ in headers) else "none"))
    check_excess(conn, number, pending)
    if not authorized(number, headers, settings):
        return reply_text(settings, 401)
    if not decode_request(number, request_line, headers, body, settings):
        event("answered %d 400" % number)
        return reply_text(settings, 400)
    event("answered %d %d" % (number, settings.status))
    return reply_text(settings)


def http_server_handler(endpoint):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def do_POST(self):
            number = endpoint.next_number()
            event("accepted %d mode=http.server" % number)
            # As http.server applications read a body: by its Content-Length.
            body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            self.connection.settimeout(0.2)
            try:
                pending = self.rfile.peek(1)
            except OSError:
                pending = b""
            self.connection.settimeout(None)
            reply = serve_stack_request(self.connection, number, self.requestline,
                                        list(self.headers.items()), body, endpoint.settings,
                                        pending)
            self.wfile.write(reply)
            self.close_connection = True

        def log_message(self, *args):
            pass

    return Handler


def wsgi_app(endpoint):
    def app(environ, start_response):
        number = endpoint.next_number()
        event("accepted %d mode=wsgiref" % number)
        body = environ["wsgi.input"].read(int(environ.get("CONTENT_LENGTH") or 0))
        headers = [(k[5:].replace("_", "-").title(), v) for k, v in environ.items()
                   if k.startswith("HTTP_")]
        headers += [(k.replace("_", "-").title(), environ[k])
                    for k in ("CONTENT_TYPE", "CONTENT_LENGTH") if environ.get(k)]
        request_line = "%s %s %s" % (environ["REQUEST_METHOD"], environ.get("PATH_INFO", ""),
                                     environ["SERVER_PROTOCOL"])
        reply = serve_stack_request(None, number, request_line, headers, body,
                                    endpoint.settings, b"")
        head, _, payload = reply.partition(b"\r\n\r\n")
        lines = head.decode("latin-1").split("\r\n")
        start_response(lines[0].split(" ", 1)[1], [tuple(x.split(": ", 1)) for x in lines[1:]
                                                   if not x.startswith("Connection")])
        return [payload]

    return app


class QuietWSGIHandler(wsgiref.simple_server.WSGIRequestHandler):
    def log_message(self, *args):
        pass


class Endpoint:
    """The listening socket; in refuse mode the port is bound but not listening, so that every
    connection attempt is refused."""

    def __init__(self, host, port, settings):
        self.address = (host, port)
        self.settings = settings
        self.sock = None
        self.listening = False
        self.number = 0
        self.open()

    def next_number(self):
        with lock:
            self.number += 1
            return self.number

    def open(self):
        if self.settings.stack != "raw":
            if self.sock is None:
                if self.settings.stack == "http.server":
                    server = http.server.ThreadingHTTPServer(self.address,
                                                             http_server_handler(self))
                else:
                    server = wsgiref.simple_server.make_server(
                        self.address[0], self.address[1], wsgi_app(self),
                        handler_class=QuietWSGIHandler)
                self.sock = server.socket
                threading.Thread(target=server.serve_forever, daemon=True).start()
            return
        listen = self.settings.mode != "refuse"
        if self.sock is not None and listen == self.listening:
            return
        if self.sock is not None:
            try:
                self.sock.shutdown(socket.SHUT_RDWR)  # wakes and ends the accepting thread
            except OSError:
                pass
            self.sock.close()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(self.address)
        self.listening = listen
        if listen:
            self.sock.listen(64)
            threading.Thread(target=self.accept, args=(self.sock,), daemon=True).start()

    def accept(self, sock):
        while True:
            try:
                conn, _ = sock.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(conn, self.next_number(), self.settings),
                             daemon=True).start()


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=8080)
    p.add_argument("--status", type=int, default=200, help="HTTP status of the answer")
    p.add_argument("--mm7-status", default="1000", help="StatusCode of the DeliverRsp")
    p.add_argument("--mode", choices=MODES, default="normal")
    p.add_argument("--save", help="folder for the decoded requests (request-N/...)")
    p.add_argument("--slow-bytes", type=int, default=512, help="bytes per read in slow mode")
    p.add_argument("--slow-interval", type=float, default=0.05, help="seconds between slow reads")
    p.add_argument("--discard", action="store_true", help="count the body, do not decode it")
    p.add_argument("--stay", action="store_true", help="keep running at the end of stdin")
    p.add_argument("--stack", choices=("raw", "http.server", "wsgiref"), default="raw",
                   help="who reads the requests: vaspsim itself, or Python's http.server or "
                   "wsgiref (a body by its Content-Length only; modes do not apply)")
    p.add_argument("--auth", help="USER:PASSWORD the requests must carry (Basic), else 401")
    args = p.parse_args()
    settings = Settings(args)

    endpoint = Endpoint(args.host, args.port, settings)
    event("vaspsim ready port=%d" % args.port)

    # Commands on stdin: "mode M", "status N", "mm7-status S", "reply TEXT|default",
    # "echo TEXT", "quit".
    for line in sys.stdin:
        words = line.split()
        if not words or words[0].startswith("#"):
            continue
        if words[0] == "quit":
            break
        if words[0] == "mode" and len(words) == 2 and words[1] in MODES:
            settings.mode = words[1]
            endpoint.open()
            event("ok mode=%s" % words[1])
        elif words[0] == "status" and len(words) == 2 and words[1].isdigit():
            settings.status = int(words[1])
            event("ok status=%s" % words[1])
        elif words[0] == "mm7-status" and len(words) == 2:
            settings.mm7_status = words[1]
            event("ok mm7-status=%s" % words[1])
        elif words[0] == "reply" and len(words) >= 2:
            text = line.strip()[len("reply "):]
            settings.reply = None if text == "default" else codecs.decode(text, "unicode_escape")
            event("ok reply")
        elif words[0] == "echo":
            event(line.strip())
        else:
            event("error: unknown command %s" % line.strip())
    else:
        if args.stay:
            threading.Event().wait()
    event("vaspsim stopped")


if __name__ == "__main__":
    main()
