#!/usr/bin/env python3
"""mm7-sink: a small MM7 endpoint for the gateway's deliveries.

It takes the DeliverReq, DeliveryReportReq and ReadReplyReq requests the gateway sends (HTTP
POST, multipart/related, chunked or with a Content-Length), prints one summary line for each,
saves the SOAP envelope and every content part into a folder, and answers with the matching
response document (DeliverRsp, DeliveryReportRsp, ReadReplyRsp) and StatusCode 1000.

With --tlscert and --tlskey it serves HTTPS, and with --tlsclientca as well it demands a client
certificate that chains to that CA; a connection whose handshake fails is reported on a line
"tls handshake failed: REASON" and never read.

Its input is treated as hostile: bodies, lines and part counts are bounded, a connection that
stalls is dropped, and a malformed request is answered "400 Bad Request" with the reason.
"""

import argparse
import email.parser
import email.policy
import http.server
import os
import re
import ssl
import sys
import threading
import xml.etree.ElementTree as ET

MAX_LINE = 8192
MAX_PARTS = 1000
RESPONSES = {"DeliverReq": "DeliverRsp", "DeliveryReportReq": "DeliveryReportRsp",
             "ReadReplyReq": "ReadReplyRsp"}
MM7_NS = "http://www.3gpp.org/ftp/Specs/archive/23_series/23.140/schema/REL-5-MM7-1-2"
print_lock = threading.Lock()
counter_lock = threading.Lock()
counter = [0]


class Refusal(Exception):
    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status


def say(line):
    with print_lock:
        print(line, flush=True)


def local(tag):
    return tag.rsplit("}", 1)[-1]


def safe_name(text, fallback):
    name = re.sub(r"[^A-Za-z0-9._-]", "_", text.strip("<>"))[:80].lstrip(".")
    return name or fallback


def parse_soap(xml_bytes):
    """The request's name, its transaction id and the fields worth a summary."""
    try:
        root = ET.fromstring(xml_bytes)
    except ET.ParseError as e:
        raise Refusal(400, "the SOAP part is not well-formed XML: %s" % e)
    bodies = [c for c in root if local(c.tag) == "Body"]
    if local(root.tag) != "Envelope" or len(bodies) != 1 or len(bodies[0]) != 1:
        raise Refusal(400, "the SOAP part is not an envelope with one request in its body")
    request = bodies[0][0]
    kind = local(request.tag)
    if kind not in RESPONSES:
        raise Refusal(400, "%s is not a DeliverReq, DeliveryReportReq or ReadReplyReq" % kind)
    fields = {}
    for element in root.iter():
        name = local(element.tag)
        text = (element.text or "").strip()
        if name == "TransactionID":
            fields["tx"] = text
        elif name in ("Number", "RFC2822Address", "ShortCode"):
            fields.setdefault("addresses", []).append(text)
        elif name in ("MessageID", "Subject", "MMStatus", "Priority"):
            fields[name.lower()] = text
    return kind, fields


def parse_request(content_type, body):
    message = email.parser.BytesParser(policy=email.policy.compat32).parsebytes(
        b"Content-Type: " + content_type.encode("latin-1") + b"\r\n\r\n" + body)
    if not message.is_multipart() or message.defects:
        raise Refusal(400, "the body is not a well-formed multipart document")
    parts = message.get_payload()
    kind, fields = parse_soap(parts[0].get_payload(decode=True) or b"")
    media = []
    if len(parts) > 1:
        content = parts[1]
        media = content.get_payload() if content.is_multipart() else [content]
    if len(media) > MAX_PARTS:
        raise Refusal(400, "more than %d content parts" % MAX_PARTS)
    return kind, fields, parts[0].get_payload(decode=True), media


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60  # seconds a connection may stall
    server_version = "mm7-sink"

    def log_message(self, *args):
        pass  # one summary line per request is printed instead

    def setup(self):
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(self.timeout)
            try:
                self.request.do_handshake()  # in this connection's own thread
            except (ssl.SSLError, OSError) as e:
                say("tls handshake failed: %s" % e)
                raise
        super().setup()

    def tls_client(self):
        """The subject of the client's certificate, for the summary line."""
        cert = self.request.getpeercert() if isinstance(self.request, ssl.SSLSocket) else None
        if not cert:
            return ""
        subject = ",".join("%s=%s" % pair for rdn in cert.get("subject", ()) for pair in rdn)
        return " tls-client=" + subject

    def line(self):
        data = self.rfile.readline(MAX_LINE + 1)
        if len(data) > MAX_LINE or not data.endswith(b"\n"):
            raise Refusal(400, "chunk size line too long or cut off")
        return data.strip()

    def read_body(self):
        limit = self.server.max_bytes
        encoding = self.headers.get("Transfer-Encoding", "").lower()
        if encoding == "chunked":
            body = bytearray()
            while True:
                try:
                    size = int(self.line().split(b";")[0], 16)
                except ValueError:
                    raise Refusal(400, "malformed chunk size")
                if size < 0 or len(body) + size > limit:
                    raise Refusal(413, "body larger than %d bytes" % limit)
                if size == 0:
                    while self.line():
                        pass  # trailer lines
                    return bytes(body)
                chunk = self.rfile.read(size)
                if len(chunk) != size or self.rfile.read(2) != b"\r\n":
                    raise Refusal(400, "chunk cut off or not followed by CRLF")
                body += chunk
        if encoding:
            raise Refusal(400, "unsupported Transfer-Encoding %s" % encoding)
        try:
            length = int(self.headers.get("Content-Length", ""))
        except ValueError:
            raise Refusal(400, "neither chunked nor a valid Content-Length")
        if length < 0 or length > limit:
            raise Refusal(413, "body larger than %d bytes" % limit)
        body = self.rfile.read(length)
        if len(body) != length:
            raise Refusal(400, "body cut off after %d of %d bytes" % (len(body), length))
        return body

    def answer(self, status, text, content_type="text/plain"):
        data = text.encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True

    def do_POST(self):
        with counter_lock:
            counter[0] += 1
            number = counter[0]
        try:
            body = self.read_body()
            kind, fields, envelope, media = parse_request(self.headers.get("Content-Type", ""),
                                                          body)
        except Refusal as e:
            say("request %d refused %d: %s" % (number, e.status, e))
            return self.answer(e.status, "%s\n" % e)
        folder = None
        if self.server.save:
            folder = os.path.join(self.server.save, "%04d-%s" % (number, kind))
            os.makedirs(folder, exist_ok=True)
            with open(os.path.join(folder, "envelope.xml"), "wb") as f:
                f.write(envelope or b"")
        for i, part in enumerate(media, 1):
            data = part.get_payload(decode=True) or b""
            name = safe_name(part.get("Content-Location") or part.get("Content-ID") or "",
                             "part")
            if folder:
                with open(os.path.join(folder, "%d-%s" % (i, name)), "wb") as f:
                    f.write(data)
        say("request %d %s tx=%s imsi=%s port=%s addresses=%s subject=%s status=%s parts=%d%s" % (
            number, kind, fields.get("tx", ""), self.headers.get("X-QZM-IMSI", ""),
            self.headers.get("X-QZM-Port", ""), ",".join(fields.get("addresses", [])),
            fields.get("subject", ""), fields.get("mmstatus", ""), len(media),
            " saved=" + folder if folder else "") + self.tls_client())
        response = RESPONSES[kind]
        soap = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                '<env:Envelope xmlns:env="http://schemas.xmlsoap.org/soap/envelope/">'
                '<env:Header><mm7:TransactionID xmlns:mm7="%s" env:mustUnderstand="1">%s'
                '</mm7:TransactionID></env:Header><env:Body><%s xmlns="%s">'
                '<MM7Version>5.3.0</MM7Version><Status><StatusCode>1000</StatusCode>'
                '<StatusText>Success</StatusText></Status></%s></env:Body></env:Envelope>' % (
                    MM7_NS, escape(fields.get("tx", "")), response, MM7_NS, response))
        self.answer(200, soap, "text/xml; charset=utf-8")

    def refuse_method(self):
        self.answer(405, "only POST is served\n")

    do_GET = do_PUT = do_DELETE = do_HEAD = refuse_method


class Server(http.server.ThreadingHTTPServer):
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


def tls_context(args):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.tlscert, args.tlskey)
    if args.tlsclientca:
        context.verify_mode = ssl.CERT_REQUIRED
        context.load_verify_locations(args.tlsclientca)
    return context


def escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def main():
    p = argparse.ArgumentParser(prog="mm7-sink", description=__doc__.splitlines()[0])
    p.add_argument("--host", default="0.0.0.0", help="address to listen on (default 0.0.0.0)")
    p.add_argument("--port", type=int, default=8080, help="port to listen on (default 8080)")
    p.add_argument("--save", help="folder for the envelope and parts of each request")
    p.add_argument("--max-bytes", type=int, default=64 << 20,
                   help="largest body accepted (default 64 MiB)")
    p.add_argument("--tlscert", help="serve HTTPS with this certificate (PEM, chain may follow)")
    p.add_argument("--tlskey", help="the certificate's key (PEM)")
    p.add_argument("--tlsclientca", help="demand a client certificate that chains to this CA")
    args = p.parse_args()
    server = Server((args.host, args.port), Handler)
    server.tls = tls_context(args) if args.tlscert else None
    server.save = args.save
    server.max_bytes = args.max_bytes
    say("mm7-sink listening on %s:%d%s" % (args.host, args.port, " (https)" if server.tls else ""))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
