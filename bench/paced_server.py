#!/usr/bin/env python3
"""Serves one file over HTTP/1.1 with every connection paced to its own rate: one connection
slow for its whole life, every other one fast. This is the benchmark's model of a download where
one of the four connections takes a bad route.

Usage: paced_server.py FILE ADDRESS [--port 80] [--fast BYTES] [--slow BYTES] [--log PATH]

The file is served at /NAME (its base name), with Accept-Ranges, ETag, Last-Modified and
Content-Length; a single byte range gets 206 and Content-Range, If-Range that does not match
gets the whole file (200), HEAD gets the header alone, and connections stay open between
requests unless the client says "Connection: close". Rates are bytes per second of body.

Which connection is slow: the slow slot belongs to at most one connection at a time. A
connection asking for the body from byte 0 (no Range, or a range starting at 0) is a candidate:
it is paced at the slow rate and takes the slot once its client has acknowledged CLAIM_BYTES of
the body. A client's receive buffer holds about 128 KiB unread, so only a client that reads the
body gets there; a size request that reads the header and closes never does. Once the slot is
taken, other candidates go fast; the holder stays slow for every request on its connection until
it closes, which frees the slot for the next download.

Each request is logged as one line: time, client port, method, range, status, body bytes sent,
pace (slow, fast, or slow* for the holder), seconds.
"""
import argparse
import email.utils
import fcntl
import http.server
import os
import re
import socket
import struct
import sys
import termios
import threading
import time

SLICE = 8 * 1024
CLAIM_BYTES = 256 * 1024
IDLE_SECONDS = 30

slot_lock = threading.Lock()
slot_holder = None  # the handler whose connection is slow for its whole life
log_lock = threading.Lock()


def unacknowledged(sock):
    """Bytes written to the socket that the peer has not acknowledged yet."""
    return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.TIOCOUTQ, b"\0" * 4))[0]


def parse_range(value, size):
    """(first, last) of a single byte range, "unsatisfiable", or None to serve the whole file
    (no range, several ranges or one this server does not read)."""
    match = re.fullmatch(r"\s*bytes\s*=\s*(\d*)\s*-\s*(\d*)\s*", value or "")
    if not match or (match.group(1) == "" and match.group(2) == ""):
        return None
    first_text, last_text = match.groups()
    if first_text == "":  # the last N bytes
        count = int(last_text)
        if count == 0:
            return "unsatisfiable"
        return (max(0, size - count), size - 1)
    first = int(first_text)
    last = size - 1 if last_text == "" else min(int(last_text), size - 1)
    if first >= size:
        return "unsatisfiable"
    if last < first:
        return None
    return (first, last)


class Bucket:
    """Paces by wall clock: each slice is due count/rate seconds after the one before. A slice
    late by a sleep's overshoot is made up by the next ones, and at most one slice of credit
    builds up in a pause, so a pause never turns into a burst. The rate can change between
    slices."""

    def __init__(self, rate):
        self.rate = rate
        self.due = time.monotonic()

    def take(self, count):
        now = time.monotonic()
        self.due = max(self.due, now - SLICE / self.rate)
        if self.due > now:
            time.sleep(self.due - now)
        self.due += count / self.rate


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = IDLE_SECONDS
    server_version = "paced"
    sys_version = ""

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def finish(self):
        global slot_holder
        with slot_lock:
            if slot_holder is self:
                slot_holder = None
        super().finish()

    def log_message(self, format, *args):
        pass

    def note(self, status, range_text, sent, pace, started):
        line = "%.3f %d %s %s %d %d %s %.3f\n" % (
            time.time(), self.client_address[1], self.command, range_text or "-", status,
            sent, pace, time.monotonic() - started)
        with log_lock:
            self.server.log.write(line)
            self.server.log.flush()

    def do_HEAD(self):
        self.answer(send_body=False)

    def do_GET(self):
        self.answer(send_body=True)

    def answer(self, send_body):
        started = time.monotonic()
        served = self.server.served
        # The request target may be in origin form (/NAME) or absolute form (http://HOST/NAME).
        target = re.sub(r"^[a-zA-Z][a-zA-Z0-9+.-]*://[^/]*", "", self.path).split("?")[0]
        if target != "/" + served.name:
            self.send_error(404)
            self.note(404, None, 0, "-", started)
            return
        size = len(served.data)
        range_header = self.headers.get("Range")
        wanted = parse_range(range_header, size)
        if_range = self.headers.get("If-Range")
        if wanted is not None and if_range is not None and not served.matches(if_range):
            wanted = None  # the client's copy is of another version: the whole file
        if wanted == "unsatisfiable":
            self.send_response(416)
            self.send_header("Content-Range", "bytes */%d" % size)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.note(416, range_header, 0, "-", started)
            return
        first, last = wanted if wanted else (0, size - 1)
        self.send_response(206 if wanted else 200)
        self.send_header("Accept-Ranges", "bytes")
        self.send_header("ETag", served.etag)
        self.send_header("Last-Modified", served.last_modified)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(last - first + 1))
        if wanted:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, last, size))
        self.end_headers()
        status = 206 if wanted else 200
        if not send_body:
            self.note(status, range_header, 0, "-", started)
            return
        sent, pace = self.send_paced(served.data, first, last + 1)
        self.note(status, range_header, sent, pace, started)

    def pace_for(self, candidate, body_sent):
        """The rate of the next slice, taking the slow slot when this candidate has earned it."""
        global slot_holder
        with slot_lock:
            if slot_holder is self:
                return "slow*"
            if not candidate or slot_holder is not None:
                return "fast"
            if body_sent - unacknowledged(self.connection) >= CLAIM_BYTES:
                slot_holder = self
                return "slow*"
            return "slow"

    def send_paced(self, data, begin, end):
        server = self.server
        candidate = begin == 0
        bucket = None
        view = memoryview(data)
        offset = begin
        pace = "fast"
        try:
            while offset < end:
                pace = self.pace_for(candidate, offset - begin)
                rate = server.fast if pace == "fast" else server.slow
                if bucket is None:
                    bucket = Bucket(rate)
                bucket.rate = rate
                count = min(SLICE, end - offset)
                bucket.take(count)
                self.connection.sendall(view[offset:offset + count])
                offset += count
        except OSError:
            self.close_connection = True
        return offset - begin, pace


class Served:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        stat = os.stat(path)
        self.name = os.path.basename(path)
        self.etag = '"%x-%x"' % (stat.st_mtime_ns, stat.st_size)
        self.last_modified = email.utils.formatdate(stat.st_mtime, usegmt=True)

    def matches(self, validator):
        """If-Range: the strong ETag, or the Last-Modified date, byte for byte."""
        validator = validator.strip()
        return validator == self.etag or validator == self.last_modified


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 64


def main():
    parser = argparse.ArgumentParser(description="one file, each connection paced")
    parser.add_argument("file")
    parser.add_argument("address")
    parser.add_argument("--port", type=int, default=80)
    parser.add_argument("--fast", type=int, default=2 * 1024 * 1024)
    parser.add_argument("--slow", type=int, default=256 * 1024)
    parser.add_argument("--log", default="-")
    options = parser.parse_args()
    server = Server((options.address, options.port), Handler)
    server.served = Served(options.file)
    server.fast = options.fast
    server.slow = options.slow
    server.log = sys.stdout if options.log == "-" else open(options.log, "a")
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
