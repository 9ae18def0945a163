#!/usr/bin/env python3
"""A loopback HTTP(S) server whose answers a test scripts, for the network tests.

The script is a JSON file read again on every request: an object that maps a
request path ("/a?b=1" matches first, then "/a", then "*") to a list of answers
given out in order, the last one repeating. A changed script starts every list
over. Each answer is an object:

  status         HTTP status (200)
  headers        list of [name, value] pairs, sent in order
  location       shorthand for a Location header
  body           text sent as UTF-8
  bodyFile       path of a file whose bytes are the body
  bodyRepeat     {"text": "...", "size": N}: N bytes of the text repeated
  range          true: honour "Range: bytes=N-" / "bytes=N-M" with 206, or 416
                 when N is at or past the end
  contentRange   a Content-Range value sent instead of the computed one
  contentLength  a Content-Length value sent instead of the body's length
  noContentLength  true: no Content-Length, the body ends when the connection closes
  extraBytes     N more bytes after the announced body (a body larger than its length)
  delayMs        wait before answering
  trickle        {"chunk": bytes, "intervalMs": ms}: send the body slowly
  cutAfter       send only this many body bytes, then drop the connection
  endless        true: after the body, keep sending blocks without a length
                 until the client hangs up (or 60 s have passed)

Every request (method, path with query, headers in order, body as Latin-1
text) is appended as one JSON line to the log file before it is answered.
The server prints "PORT <n>" on standard output once it is listening.
"""

import argparse
import hashlib
import json
import re
import socket
import ssl
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Script:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        self.digest = None
        self.counters = {}

    def next_answer(self, target):
        with self.lock:
            try:
                with open(self.path, "rb") as handle:
                    raw = handle.read()
            except FileNotFoundError:
                raw = b"{}"
            digest = hashlib.sha256(raw).digest()
            if digest != self.digest:
                self.digest = digest
                self.counters = {}
            script = json.loads(raw or b"{}")
            path = target.split("?", 1)[0]
            for key in (target, path, "*"):
                if key in script:
                    answers = script[key]
                    index = self.counters.get(key, 0)
                    self.counters[key] = index + 1
                    if not answers:
                        break
                    return answers[min(index, len(answers) - 1)]
        return {"status": 404, "body": '{"error":{"code":"NOT_SCRIPTED","message":"not scripted"}}'}


class RequestLog:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    def record(self, entry):
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        with self.lock:
            with open(self.path, "a", encoding="ascii") as handle:
                handle.write(line)


def answer_body(answer):
    if "bodyFile" in answer:
        with open(answer["bodyFile"], "rb") as handle:
            return handle.read()
    if "bodyRepeat" in answer:
        text = answer["bodyRepeat"].get("text", "x").encode("utf-8")
        size = int(answer["bodyRepeat"]["size"])
        return (text * (size // len(text) + 1))[:size]
    return answer.get("body", "").encode("utf-8")


RANGE = re.compile(r"^bytes=(\d+)-(\d*)$")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "scripted"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        sys.stderr.write("%s\n" % (format % args))

    def handle_request(self):
        length = int(self.headers.get("Content-Length") or 0)
        request_body = self.rfile.read(length) if length > 0 else b""
        self.server.request_log.record({
            "method": self.command,
            "path": self.path,
            "headers": [[name, value] for name, value in self.headers.items()],
            "body": request_body.decode("latin-1"),
        })
        answer = self.server.script.next_answer(self.path)
        if answer.get("delayMs"):
            time.sleep(answer["delayMs"] / 1000.0)

        status = int(answer.get("status", 200))
        body = answer_body(answer)
        headers = [list(pair) for pair in answer.get("headers", [])]
        content_range = None
        if answer.get("range"):
            match = RANGE.match(self.headers.get("Range") or "")
            if match:
                start = int(match.group(1))
                end = int(match.group(2)) if match.group(2) else len(body) - 1
                if start >= len(body):
                    status, content_range, body = 416, "bytes */%d" % len(body), b""
                else:
                    end = min(end, len(body) - 1)
                    status, content_range = 206, "bytes %d-%d/%d" % (start, end, len(body))
                    body = body[start:end + 1]
        if "contentRange" in answer:
            content_range = answer["contentRange"]
        if content_range is not None:
            headers.append(["Content-Range", content_range])
        if "location" in answer:
            headers.append(["Location", answer["location"]])

        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if answer.get("noContentLength") or answer.get("endless"):
            self.send_header("Connection", "close")
            self.close_connection = True
        else:
            self.send_header("Content-Length", str(answer.get("contentLength", len(body))))
        self.end_headers()
        if self.command == "HEAD":
            return

        extra = int(answer.get("extraBytes", 0))
        if extra:
            body += b"X" * extra
            self.close_connection = True
        cut = answer.get("cutAfter")
        if cut is not None:
            body = body[:int(cut)]
            self.close_connection = True
        trickle = answer.get("trickle")
        try:
            if trickle:
                chunk = max(1, int(trickle.get("chunk", 1)))
                interval = trickle.get("intervalMs", 100) / 1000.0
                for offset in range(0, len(body), chunk):
                    self.wfile.write(body[offset:offset + chunk])
                    self.wfile.flush()
                    time.sleep(interval)
            else:
                self.wfile.write(body)
                self.wfile.flush()
            if answer.get("endless"):
                block = b"x" * 65536
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    self.wfile.write(block)
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            self.close_connection = True
            return
        if cut is not None:
            try:
                self.connection.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = handle_request


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-answer is an expected part of the tests.
        sys.stderr.write("connection from %s ended: %s\n" % (client_address, sys.exc_info()[1]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--script", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    options = parser.parse_args()

    server = Server((options.host, options.port), Handler)
    server.script = Script(options.script)
    server.request_log = RequestLog(options.log)
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    sys.stdout.write("PORT %d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
