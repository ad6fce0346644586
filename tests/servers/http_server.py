#!/usr/bin/python3
# Loopback HTTP servers for Korvanet's tests and benchmarks.
#
# Listens on 127.0.0.1 only: an origin server (echo, delays, status codes,
# Basic authentication, large, chunked and compressed bodies, charsets, a path
# that never answers, a proxy configuration script) and a forward proxy, for
# plain requests and CONNECT tunnels, that demands Basic proxy authentication. Writes "http=<port>",
# "other=<port>" (the origin again: another origin of the same host), "proxy=<port>" and "refused=<port>"
# (a port nobody listens on) to --port-file, and ends after --lifetime seconds.
# It also serves the origin over TLS with --tls-cert and --tls-key ("https=<port>"), and a TLS origin
# that asks for a client certificate signed by --client-ca ("mtls=<port>"; /peercert tells the
# SHA-256 of the one presented, or "none"). Every origin records its request lines; /seen?mark=<text>
# tells how many contained the text.
#
# The handlers write straight to the socket (no write buffer): what they
# write is on the wire before they sleep or close.
import argparse
import base64
import contextlib
import hashlib
import http.client
import http.server
import os
import socket
import ssl
import threading
import time
import urllib.parse
import zlib

# The Basic credentials the origin and the proxy accept.
SERVER_LOGIN = "Basic " + base64.b64encode(b"qm:secret").decode()
PROXY_LOGIN = "Basic " + base64.b64encode(b"proxyuser:proxypass").decode()
TUNNELS = []  # one entry per CONNECT request the proxy has seen; the origin's /tunnels tells
# The pattern of /stream: byte k of a body is STREAM_PERIOD_BYTES[k % 65521]
# (a prime period, so a piece lost, doubled or swapped shows), sent in
# pieces of whole periods.
STREAM_PERIOD_BYTES = bytes((k * 7 + (k >> 8) * 13 + 1) & 0xFF for k in range(65521))
STREAM_CHUNK = STREAM_PERIOD_BYTES * 16
LAST_ECHO = b""
REQUEST_LINES = []
GAUGE = threading.Lock()
IN_FLIGHT, MOST_IN_FLIGHT = {}, {}  # by gauge
OCTETS = [("Content-Type", "application/octet-stream")]


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def reply(self, code, data, headers=()):
        # With data None the caller sends the body, and headers has its length if it has one.
        self.send_response(code)
        for name, value in headers:
            self.send_header(name, value)
        if "content-type" not in [h[0].lower() for h in headers]:
            self.send_header("Content-Type", "text/plain; charset=utf-8")
        if code in (204, 205, 304):
            data = b""  # a response that never has a body
        if code != 204 and data is not None:
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD" and data:
            self.wfile.write(data)


class Origin(Handler):
    def handle_any(self):
        url = urllib.parse.urlsplit(self.path)
        query, path = dict(urllib.parse.parse_qsl(url.query)), url.path
        if path != "/seen":
            REQUEST_LINES.append(self.requestline)
        if path == "/sink":
            # Counts a body of any size without keeping it.
            left, count = int(self.headers.get("Content-Length") or 0), 0
            while left > count and (piece := self.rfile.read(min(left - count, 1 << 20))):
                count += len(piece)
            self.reply(200, b"%d" % count)
            return
        # The client announces every body's length (never a chunked upload).
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        global LAST_ECHO
        if path in ANSWERS:
            self.reply(*ANSWERS[path](self, query))
        elif path == "/echo":
            # What arrived, byte for byte: request line, headers, blank line, body.
            lines = [self.requestline] + ["%s: %s" % item for item in self.headers.items()]
            LAST_ECHO = ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1") + body
            self.reply(200, LAST_ECHO, OCTETS)
        elif path == "/proxy.pac":
            # A configuration script as a network hands it out: "localhost"
            # goes through the test proxy (named in the query), the rest
            # direct; with "direct" everything goes direct.
            script = ('function FindProxyForURL(url, host) {\n'
                      '  if (host == "localhost" && !%s) return "PROXY 127.0.0.1:%s";\n'
                      '  return "DIRECT";\n}\n' % ("true" if "direct" in query else "false", query.get("proxy", "1")))
            self.reply(200, script.encode(), [("Content-Type", "application/x-ns-proxy-autoconfig")])
        elif path in ("/text", "/charset"):
            # /text in UTF-8; /charset in the one named "cs", or in cp1252 unlabelled.
            charset = "utf-8" if path == "/text" else query.get("cs", "")
            ctype = "text/plain" + ("; charset=" + charset if charset else "")
            self.reply(200, "Grüße aus Köln".encode(charset or "cp1252"), [("Content-Type", ctype)])
        elif path == "/delay":
            # Counted by their "gauge", so that tests running side by side do not mix.
            gauge = query.get("gauge", "")
            with GAUGE:
                IN_FLIGHT[gauge] = IN_FLIGHT.get(gauge, 0) + 1
                MOST_IN_FLIGHT[gauge] = max(MOST_IN_FLIGHT.get(gauge, 0), IN_FLIGHT[gauge])
            time.sleep(int(query.get("ms", "300")) / 1000.0)
            with GAUGE:
                IN_FLIGHT[gauge] -= 1
            self.reply(200, b"delayed")
        elif path == "/mostdelayed":
            # The most /delay requests of a gauge that waited at once; starts counting anew.
            gauge = query.get("gauge", "")
            with GAUGE:
                most = MOST_IN_FLIGHT.get(gauge, 0)
                MOST_IN_FLIGHT[gauge] = IN_FLIGHT.get(gauge, 0)
            self.reply(200, b"%d" % most)
        elif path == "/chunked":
            # Five chunks; with "length" a Content-Length beside the chunked
            # coding, which overrides it; with "cut" only that many, and the
            # connection closes without the last (empty) chunk.
            cut = int(query.get("cut", "5"))
            length = [("Content-Length", query["length"])] if "length" in query else []
            self.reply(200, None, [("Transfer-Encoding", "chunked")] + length)
            for i in range(min(cut, 5)):
                piece = ("part%d;" % i).encode() * 1000
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            if cut >= 5:
                self.wfile.write(b"0\r\n\r\n")
            self.close_connection = cut < 5 or "close" in query
        elif path in ("/gzip", "/deflate", "/rawdeflate"):
            # The text in a gzip container, a zlib one, or as bare deflate data.
            packer = zlib.compressobj(wbits={"/gzip": 31, "/deflate": 15}.get(path, -15))
            data = packer.compress(("compressed Grüße " * 2000).encode("utf-8")) + packer.flush()
            self.reply(200, data, [("Content-Encoding", "gzip" if path == "/gzip" else "deflate")])
        elif path == "/bytes":
            # Exactly the given bytes (hex) under the given Content-Type,
            # gzip-encoded on the wire with gzip=1.
            data, packed = bytes.fromhex(query["hex"]), query.get("gzip") == "1"
            headers = [("Content-Type", query["type"])] + [("Content-Encoding", "gzip")] * packed
            self.reply(200, zlib.compress(data, wbits=31) if packed else data, headers)
        elif path == "/stream":
            # "bytes" bytes of the pattern, generated as they are sent (never
            # held whole), with their Content-Length; with "cutat" the
            # connection closes after that many bytes.
            size = int(query.get("bytes", "1000000"))
            end = min(size, int(query.get("cutat", str(size))))
            self.reply(200, None, OCTETS + [("Content-Length", size)] + [("Connection", "close")] * (end < size))
            sent = 0
            with contextlib.suppress(OSError):
                while sent < end:
                    sent += self.wfile.write(STREAM_CHUNK[:end - sent])
            self.close_connection = end < size
        elif path == "/bomb":
            # A few MB of gzip that inflate to "mib" MiB of zeros.
            packer = zlib.compressobj(9, zlib.DEFLATED, 31)
            data = b"".join(packer.compress(bytes(1 << 20)) for _ in range(int(query.get("mib", "1024"))))
            self.reply(200, data + packer.flush(), [("Content-Encoding", "gzip")])
        elif path == "/liar":
            # Announces far more than it sends, then holds the connection for
            # "hold" milliseconds and closes it.
            announced = query.get("announce", "3000000000")
            self.reply(200, None, [("Content-Length", announced), ("Connection", "close")])
            self.wfile.write(b"short body")
            time.sleep(min(int(query.get("hold", "0")), 5000) / 1000)
            self.close_connection = True
        elif path in ("/trickle", "/stall"):
            # The headers, then one byte of body every "ms" milliseconds
            # without end; /stall sends none (in the two minutes a test waits).
            self.reply(200, None, [("Content-Length", 1000000)])
            pause = int(query.get("ms", "500")) / 1000.0 if path == "/trickle" else 120
            with contextlib.suppress(OSError):
                for _ in range(1000):
                    time.sleep(pause)
                    self.wfile.write(b"x")
        elif path == "/never":
            time.sleep(120)
        else:
            self.reply(404, b"not here")

    def __getattr__(self, name):
        # Every method a client may send is answered the same way.
        if name.startswith("do_"):
            return self.handle_any
        raise AttributeError(name)


def digits(size):
    return (b"0123456789" * (size // 10 + 1))[:size]


def peer_certificate(h):
    # The client certificate presented on this connection.
    der = h.connection.getpeercert(True) if hasattr(h.connection, "getpeercert") else None
    return hashlib.sha256(der).hexdigest().encode() if der else b"none"


# The origin's answers made from the request alone: path -> (status, body, headers),
# from the handler h and the query q.
ANSWERS = {
    # What the last /echo received (a HEAD gets no body to carry it).
    "/lastecho": lambda h, q: (200, LAST_ECHO, OCTETS),
    # A session cookie for the named user, as a login form answers.
    "/login": lambda h, q: (200, b"hello " + q["user"].encode(), [("Set-Cookie", "sid=%s; Path=/" % q["user"])]),
    # An origin that answers 407 as if it were a proxy: whatever
    # Proxy-Authorization reaches it has leaked.
    "/proxyauth": lambda h, q: (200, b"leaked " + h.headers["Proxy-Authorization"].encode(), ())
                  if "Proxy-Authorization" in h.headers
                  else (407, b"no proxy here", [("Proxy-Authenticate", 'Basic realm="origin"')]),
    "/basic": lambda h, q: (200, b"welcome qm", ()) if h.headers.get("Authorization") == SERVER_LOGIN
              else (401, b"who are you", [("WWW-Authenticate", 'Basic realm="korvanet"')]),
    "/seen": lambda h, q: (200, b"%d" % sum(q["mark"] in line for line in list(REQUEST_LINES)), ()),
    "/tunnels": lambda h, q: (200, b"%d" % len(TUNNELS), ()),
    # The client's port tells whether a connection was reused.
    "/peer": lambda h, q: (200, b"%d" % h.client_address[1], ()),
    "/peercert": lambda h, q: (200, peer_certificate(h), ()),
    "/status": lambda h, q: (int(q["code"]), b"status " + q["code"].encode(), ()),
    "/large": lambda h, q: (200, digits(int(q["bytes"])), [("Content-Type", "text/plain; charset=us-ascii")]),
    "/brokengzip": lambda h, q: (200, b"\x1f\x8b\x08\x00garbage", [("Content-Encoding", "gzip")]),
    # Sends the client on to "to" (absolute or relative) with "code".
    "/redirect": lambda h, q: (int(q.get("code", "302")), b"moved", [("Location", q.get("to", "/text"))]),
}


class Proxy(Handler):
    # A forward proxy for http:// URLs of the loopback origin only.

    def do_CONNECT(self):
        # A tunnel to a loopback port, as an HTTPS request through a proxy opens it;
        # open without credentials: Wine's engine does not answer a 407 to CONNECT.
        TUNNELS.append(self.path)
        host, _, port = self.path.rpartition(":")
        if host not in ("127.0.0.1", "localhost") or not port.isdigit():
            self.send_error(403)
            return
        upstream = socket.create_connection(("127.0.0.1", int(port)), timeout=30)
        self.send_response(200, "Connection established")
        self.end_headers()
        self.connection.settimeout(30)

        def pump(source, target):
            with contextlib.suppress(OSError):
                while data := source.recv(65536):
                    target.sendall(data)
            with contextlib.suppress(OSError):
                target.shutdown(socket.SHUT_WR)

        back = threading.Thread(target=pump, args=(upstream, self.connection), daemon=True)
        back.start()
        pump(self.connection, upstream)
        back.join(30)
        upstream.close()
        self.close_connection = True

    def handle_any(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.headers.get("Proxy-Authorization") != PROXY_LOGIN:
            self.reply(407, b"proxy says no", [("Proxy-Authenticate", 'Basic realm="proxy"')])
            return
        url = urllib.parse.urlsplit(self.path)
        if url.hostname not in ("127.0.0.1", "localhost"):
            self.send_error(403)
            return
        headers = {k: v for k, v in self.headers.items()
                   if k.lower() not in ("proxy-authorization", "proxy-connection", "connection", "host")}
        headers["Via"] = "1.1 korvanet-test-proxy"
        conn = http.client.HTTPConnection("127.0.0.1", url.port, timeout=30)
        conn.request(self.command, (url.path or "/") + ("?" + url.query if url.query else ""), body, headers)
        answer = conn.getresponse()
        hop = ("content-length", "transfer-encoding", "connection")
        passed = [(k, v) for k, v in answer.getheaders() if k.lower() not in hop] + [("X-Proxied", "yes")]
        self.reply(answer.status, answer.read(), passed)
        conn.close()

    do_GET = do_POST = do_PUT = handle_any


def serve(handler, context=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    server.daemon_threads = True
    if context:
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def serve_tls(args, client_ca=None):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.tls_cert, args.tls_key)
    # As servers that dropped the old protocols: a client that offers
    # only TLS 1.0 or 1.1 fails the handshake.
    context.minimum_version = ssl.TLSVersion.TLSv1_2
    if client_ca:
        context.verify_mode = ssl.CERT_OPTIONAL
        context.load_verify_locations(client_ca)
    return serve(Origin, context)


def main():
    parser = argparse.ArgumentParser()
    for name in ("--port-file", "--tls-cert", "--tls-key", "--client-ca"):
        parser.add_argument(name, required=True)
    parser.add_argument("--lifetime", type=float, default=1800)
    args = parser.parse_args()
    # "other": the same site on another port, another origin of the same host.
    servers = {"http": serve(Origin), "other": serve(Origin), "proxy": serve(Proxy),
               "https": serve_tls(args), "mtls": serve_tls(args, args.client_ca)}
    ports = {name: server.server_address[1] for name, server in servers.items()}
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        ports["refused"] = probe.getsockname()[1]
    with open(args.port_file + ".tmp", "w") as f:
        f.write("".join("%s=%d\n" % item for item in ports.items()))
    os.replace(args.port_file + ".tmp", args.port_file)
    # The handlers' threads are daemons: they end with the process.
    time.sleep(args.lifetime)


if __name__ == "__main__":
    main()
