"""Plain HTTP routes for the client's transfer tests (no envelope).

  /_test/echo                     JSON of the method and form fields
  /_test/text?size=N              N bytes of digits
  /_test/slow?size=N&chunk=C&delay=MS
                                  N bytes in chunks of C, MS ms apart
  /_test/stall?head=N&seconds=S   headers promising more than N bytes, N
                                  bytes, then nothing until the client
                                  leaves or S seconds pass (default 30)
  /_test/status?code=C            an error status
  /_test/xml?encoding=E           an XML document with Cyrillic text in E
  /_test/file/NAME                GET (with Range) and HEAD of a file from
                                  the configuration: files.NAME = {"size",
                                  "seed", "last_modified" (Unix seconds)}
"""

import email.utils
import json
import re
import select
import socket
import time

from ..registry import route

XML_TEXT = "Здравствуй, мир"
XML_ATTR = "Привет"


def file_content(size, seed):
    pattern = bytes((i * 7 + seed) % 251 for i in range(251))
    return (pattern * (size // 251 + 1))[:size]


def _int(ctx, name, default):
    try:
        return int(ctx.query_value(name, default))
    except (TypeError, ValueError):
        return default


@route(["GET", "POST"], "/_test/echo")
def echo(ctx):
    answer = {"method": ctx.method, "fields": ctx.fields, "content_type": ctx.headers.get("content-type", "")}
    ctx.send(200, json.dumps(answer), "application/json")


@route("GET", "/_test/text")
def text(ctx):
    size = _int(ctx, "size", 100)
    ctx.send(200, (b"0123456789" * (size // 10 + 1))[:size], "text/plain")


@route("GET", "/_test/slow")
def slow(ctx):
    size, chunk, delay = _int(ctx, "size", 10000), max(1, _int(ctx, "chunk", 1000)), _int(ctx, "delay", 50)
    h = ctx.handler
    h.send_response(200)
    h.send_header("Content-Type", "application/octet-stream")
    h.send_header("Content-Length", str(size))
    h.end_headers()
    data = file_content(size, 1)
    for pos in range(0, size, chunk):
        if ctx.state.stopping.is_set():
            return
        h.wfile.write(data[pos:pos + chunk])
        h.wfile.flush()
        time.sleep(delay / 1000.0)


def _client_gone(sock):
    readable, _, _ = select.select([sock], [], [], 0.05)
    if not readable:
        return False
    try:
        return sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


@route("GET", "/_test/stall")
def stall(ctx):
    head, seconds = _int(ctx, "head", 10), _int(ctx, "seconds", 30)
    h = ctx.handler
    h.send_response(200)
    h.send_header("Content-Type", "application/octet-stream")
    h.send_header("Content-Length", str(head + 1000))
    h.end_headers()
    h.wfile.write(b"x" * head)
    h.wfile.flush()
    end = time.monotonic() + seconds
    while time.monotonic() < end and not ctx.state.stopping.is_set():
        if _client_gone(h.connection):
            return
    h.close_connection = True


@route("GET", "/_test/status")
def status(ctx):
    code = _int(ctx, "code", 404)
    ctx.send(code, "status %d" % code, "text/plain")


@route("GET", "/_test/xml")
def xml(ctx):
    encoding = ctx.query_value("encoding", "utf-8")
    doc = '<?xml version="1.0" encoding="%s"?>\r\n<root><item name="%s">%s</item></root>' % (
        encoding, XML_ATTR, XML_TEXT)
    ctx.send(200, doc.encode(encoding), "text/xml")


@route(["GET", "HEAD"], "/_test/file/")
def file(ctx):
    name = ctx.path[len("/_test/file/"):]
    desc = ctx.state.get("files", name)
    if desc is None:
        ctx.send(404, "no file " + name, "text/plain")
        return
    data = file_content(int(desc.get("size", 0)), int(desc.get("seed", 0)))
    headers = {}
    if "last_modified" in desc:
        headers["Last-Modified"] = email.utils.formatdate(float(desc["last_modified"]), usegmt=True)
    headers["Accept-Ranges"] = "bytes"
    match = re.fullmatch(r"bytes=(\d+)-(\d*)", ctx.headers.get("range", ""))
    if ctx.method == "GET" and match and not desc.get("ignore_range"):
        start = int(match.group(1))
        end = int(match.group(2)) if match.group(2) else len(data) - 1
        if start >= len(data):
            ctx.send(416, b"", headers={"Content-Range": "bytes */%d" % len(data)})
            return
        headers["Content-Range"] = "bytes %d-%d/%d" % (start, end, len(data))
        ctx.send(206, data[start:end + 1], headers=headers)
        return
    ctx.send(200, data, headers=headers)
