#!/usr/bin/env python3
"""A scripted HTTP/1.0 server for the HTTP client's tests, on a loopback port.

It prints "PORT <n>" once it listens, records the exact bytes of every request it gets
(<log>/request-<n>.bin, numbered from 1) and answers by the first segment of the path:

  /len/N?hold=0|1      200 with Content-Length N and N pattern bytes (hold=1: the
                       connection then stays open)
  /nolen/N             200 without a length, N bytes, then close
  /together/N          header and N bytes in one send
  /zero                200 with Content-Length 0; the connection then stays open
  /redirect?to=U&code=C  C (302) with "Location: U"
  /loop                302 to /loop, for ever
  /notfound            404 Not Found with a small body
  /drip?chunks=N&size=S&interval=MS   S bytes every MS milliseconds, N times
  /drip/N/S/MS/<name>  the same, with a file name at the end of the path
  /midheader           half a header, then close
  /silent              reads the request and never answers
  /longline            a header line of 9000 bytes
  /badstatus           a status code that is not a number
  /badlength           a Content-Length that is not a number
  /slow?delay=S        waits S seconds, then answers like /len/10
  /file?path=P         the file P, by sendfile
  /cut                 Content-Length 1000 but 500 bytes, then close
  /reset               Content-Length 1000, 500 bytes, then a reset
  /html                no header at all, an "<HTML>" document, then close
  /close               closes without a word
  /headers?h=Name:Value&h=...   200 with those header lines and a 2-byte body
  /echo                200 with the request's own bytes as the body

Hostile answers, each bounded in time and size so that the server stops by itself:

  /cutredirect         "302 Found" and "Location: /cutredirect", then close before the
                       header's empty line
  /endless?limit=B     a status line, then header lines without end (B bytes at most,
                       512 MiB by default) until the client goes
  /huge/N?length=0|1   a description of N bytes (an [UpdateInfo] section and filler),
                       with a Content-Length (1, the default) or without
  /trickle?interval=MS&count=N&part=header|body   one byte every MS milliseconds, N
                       times (a header line that never ends, or a body of length N)
  /over                Content-Length 5, then "hello" and 100000 bytes more, and the
                       connection held open
  /chunked?body=T&size=S&how=H   the body T in chunks of S bytes (Transfer-Encoding:
                       chunked) with a chunk extension and a trailer; H changes it:
                       ok, cut (closed inside a chunk), badsize, longsize (a chunk-size
                       line without end), noend (a chunk not followed by CR LF), endless
                       (trailer lines without end), gzip (a coding the client cannot read)
  anything else        200 with the body "index"

With --tls CERT KEY every connection is TLS; --bind and --port choose where it listens
(127.0.0.1 and a free port by default). The server ends when its standard input closes, so
it never outlives the test that started it.
"""

import argparse
import os
import posixpath
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse

COMMANDS = {"len", "nolen", "together", "zero", "redirect", "loop", "notfound", "drip",
            "midheader", "silent", "longline", "badstatus", "badlength", "slow", "file", "cut",
            "reset", "html", "close", "headers", "echo", "cutredirect", "endless", "huge",
            "trickle", "chunked", "over"}
LOG_DIR = None
COUNTER = 0
COUNTER_LOCK = threading.Lock()


def pattern(n, offset=0):
    return bytes((offset + i) % 251 for i in range(n))


def record(raw):
    global COUNTER
    with COUNTER_LOCK:
        COUNTER += 1
        number = COUNTER
    if LOG_DIR:
        path = os.path.join(LOG_DIR, "request-%d.bin" % number)
        with open(path + ".tmp", "wb") as f:
            f.write(raw)
        os.rename(path + ".tmp", path)


def read_request(conn):
    data = b""
    while b"\r\n\r\n" not in data and len(data) < 65536:
        chunk = conn.recv(4096)
        if not chunk:
            break
        data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            try:
                length = int(value.strip())
            except ValueError:
                length = 0
    while len(body) < length:
        chunk = conn.recv(65536)
        if not chunk:
            break
        body += chunk
    return data if not length else head + b"\r\n\r\n" + body


def wait_for_close(conn, seconds):
    conn.settimeout(seconds)
    try:
        while conn.recv(4096):
            pass
    except (OSError, socket.timeout):
        pass


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        conn = self.request
        try:
            if isinstance(conn, ssl.SSLSocket):
                conn.do_handshake()
            raw = read_request(conn)
            if not raw:
                return
            record(raw)
            request_line = raw.split(b"\r\n", 1)[0].decode("latin-1")
            parts = request_line.split(" ")
            target = parts[1] if len(parts) > 1 else "/"
            if "://" in target:  # the absolute form a proxy gets
                target = "/" + target.split("://", 1)[1].partition("/")[2]
            path, _, query = target.partition("?")
            path = posixpath.normpath(path) if path else "/"
            args = urllib.parse.parse_qs(query)
            segments = [s for s in path.split("/") if s]
            # The command is the first segment that names one, so that documents can sit
            # in folders ("/a/b/redirect") for the relative relocations.
            index = next((i for i, s in enumerate(segments) if s in COMMANDS), len(segments))
            command = segments[index] if index < len(segments) else ""
            self.answer(conn, command, segments[index + 1:], args, raw)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError, OSError):
            pass

    def answer(self, conn, command, rest, args, raw):
        def arg(name, default):
            return args.get(name, [default])[0]

        if command == "len":
            n = int(rest[0])
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Length: %d\r\n\r\n" % n)
            conn.sendall(pattern(n))
            if arg("hold", "0") == "1":
                wait_for_close(conn, 30)
        elif command == "nolen":
            n = int(rest[0])
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\n")
            conn.sendall(pattern(n))
        elif command == "together":
            n = int(rest[0])
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % n + pattern(n))
        elif command == "zero":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n")
            wait_for_close(conn, 30)
        elif command == "redirect":
            code = int(arg("code", "302"))
            location = arg("to", "/len/5").encode("latin-1")
            conn.sendall(b"HTTP/1.0 %d Moved\r\nLocation: %s\r\nContent-Length: 5\r\n\r\nmoved"
                         % (code, location))
        elif command == "loop":
            conn.sendall(b"HTTP/1.0 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n")
        elif command == "notfound":
            conn.sendall(b"HTTP/1.0 404 Not Found\r\nContent-Type: text/html\r\n"
                         b"Content-Length: 16\r\n\r\n<html>no</html>\n")
            wait_for_close(conn, 5)
        elif command == "drip":
            # From the query, or from the path: /drip/<chunks>/<size>/<interval>/<name>
            numbers = [int(x) for x in rest[:3] if x.isdigit()]
            if len(numbers) == 3:
                chunks, size, interval = numbers[0], numbers[1], numbers[2] / 1000.0
            else:
                chunks = int(arg("chunks", "10"))
                size = int(arg("size", "100"))
                interval = int(arg("interval", "100")) / 1000.0
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % (chunks * size))
            for i in range(chunks):
                time.sleep(interval)
                conn.sendall(pattern(size, i * size))
        elif command == "midheader":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Le")
        elif command == "silent":
            wait_for_close(conn, 300)
        elif command == "longline":
            conn.sendall(b"HTTP/1.0 200 OK\r\nX-Long: " + b"a" * 9000 + b"\r\n\r\n")
            wait_for_close(conn, 30)
        elif command == "badstatus":
            conn.sendall(b"HTTP/1.0 2x0 OK\r\nContent-Length: 3\r\n\r\nabc")
            wait_for_close(conn, 30)
        elif command == "badlength":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\nabc")
            wait_for_close(conn, 30)
        elif command == "slow":
            time.sleep(float(arg("delay", "5")))
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n" + pattern(10))
        elif command == "file":
            name = arg("path", "")
            size = os.path.getsize(name)
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n"
                         b"Content-Length: %d\r\n\r\n" % size)
            with open(name, "rb") as f:
                conn.sendfile(f)
        elif command == "cut":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + pattern(500))
        elif command == "reset":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n" + pattern(500))
            time.sleep(0.2)
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            conn.close()  # before the server's own shutdown could send an orderly end
        elif command == "html":
            conn.sendall(b"<HTML><body>hi</body></HTML>\r\nsecond line\n")
        elif command == "close":
            pass
        elif command == "headers":
            lines = b"".join(h.encode("latin-1") + b"\r\n" for h in args.get("h", []))
            conn.sendall(b"HTTP/1.0 200 OK\r\n" + lines + b"Content-Length: 2\r\n\r\nok")
        elif command == "echo":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(raw) + raw)
        elif command == "cutredirect":
            conn.sendall(b"HTTP/1.0 302 Found\r\nLocation: /cutredirect\r\n")
        elif command == "endless":
            limit = int(arg("limit", str(512 << 20)))
            line = b"X-Filler: " + b"a" * 54 + b"\r\n"
            block = line * 1024
            conn.sendall(b"HTTP/1.0 200 OK\r\n")
            sent = 0
            while sent < limit:
                conn.sendall(block)
                sent += len(block)
        elif command == "huge":
            n = int(rest[0])
            head = b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"
            if arg("length", "1") == "1":
                head += b"Content-Length: %d\r\n" % n
            conn.sendall(head + b"\r\n")
            body = b"[UpdateInfo]\nVersion=99.0.0\n"
            filler = (b"; " + b"x" * 61 + b"\n") * 1024
            conn.sendall(body)
            sent = len(body)
            while sent < n:
                piece = filler[:n - sent]
                conn.sendall(piece)
                sent += len(piece)
        elif command == "trickle":
            interval = int(arg("interval", "100")) / 1000.0
            count = int(arg("count", "100"))
            if arg("part", "body") == "header":
                conn.sendall(b"HTTP/1.0 200 OK\r\n")
                data = b"X-Slow: " + b"s" * count
            else:
                conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % count)
                data = pattern(count)
            for i in range(count):
                conn.sendall(data[i:i + 1])
                time.sleep(interval)
        elif command == "over":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello" + b"!" * 100000)
            wait_for_close(conn, 30)
        elif command == "chunked":
            self.chunked(conn, arg("body", "[UpdateInfo]\nVersion=99.0.0\n").encode("latin-1"),
                         int(arg("size", "7")), arg("how", "ok"))
        elif command == "":
            conn.sendall(b"HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 5\r\n\r\nindex")

    @staticmethod
    def chunked(conn, body, size, how):
        coding = b"gzip, chunked" if how == "gzip" else b"chunked"
        # A length beside the chunks must count for nothing.
        conn.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                     b"Transfer-Encoding: " + coding + b"\r\n\r\n")
        pieces = [body[i:i + size] for i in range(0, len(body), size)]
        for number, piece in enumerate(pieces):
            if how == "cut" and number == len(pieces) // 2:
                conn.sendall(b"%x\r\n" % len(piece) + piece[:len(piece) // 2])
                return
            if how == "badsize" and number == 1:
                conn.sendall(b"zz\r\n" + piece + b"\r\n")
                continue
            if how == "noend" and number == 1:
                conn.sendall(b"%x\r\n" % len(piece) + piece + b"XY")
                continue
            conn.sendall(b"%x;note=%d\r\n" % (len(piece), number) + piece + b"\r\n")
        if how == "longsize":
            line = b"0" * 65536
            for _ in range(1024):
                conn.sendall(line)
            return
        conn.sendall(b"0\r\nX-Checksum: none\r\n")
        if how == "endless":
            block = b"X-Trailer: " + b"t" * 53 + b"\r\n"
            for _ in range(16384):
                conn.sendall(block * 16)
            return
        # What follows the trailer's empty line is no part of the body.
        conn.sendall(b"\r\nafter the end")


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    context = None

    def get_request(self):
        conn, address = self.socket.accept()
        if self.context is not None:
            conn = self.context.wrap_socket(conn, server_side=True,
                                            do_handshake_on_connect=False)
        return conn, address

    def handle_error(self, request, client_address):
        pass  # a client that went away, or a failed handshake: nothing to report


def main():
    global LOG_DIR
    parser = argparse.ArgumentParser()
    parser.add_argument("--log", default=None)
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--bind", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    options = parser.parse_args()
    LOG_DIR = options.log
    server = Server((options.bind, options.port), Handler)
    if options.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.tls[0], options.tls[1])
        server.context = context
    print("PORT %d" % server.server_address[1], flush=True)

    def watch_stdin():
        try:
            while sys.stdin.buffer.read(1):
                pass
        finally:
            os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    server.serve_forever()


if __name__ == "__main__":
    main()
