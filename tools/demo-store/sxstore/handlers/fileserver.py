"""The file server: blocks of bought files for the client's download engine.

  GET /file<r>|<id>|<start>-<end>|QVX|<version>|<session>
      200: the stored bytes start..end (inclusive), then "#CRCBEGIN#", the
      MD5 of those bytes as 32 hex digits and "#CRCEND#". The stored file is
      the plain content XORed with the file's 64-character key.
      401 for a session the store does not know, 404 for an unknown file,
      416 for a range outside the file, 400 for a path that is not a block.

Routes for tests and tools:
  GET  /fileserver/plain/<id>   the plain content of a file
  GET  /fileserver/key/<id>     the file's key as text (what "filedownloaded"
                                hands out)
  GET  /fileserver/log          JSON list of the block requests served:
                                {"id", "start", "end", "session", "outcome"}

Configuration "fileserver":
  sessions   session identifiers accepted in block paths; the signed-in
             sessions of the store (memory "sessions") are accepted too
  files      {"<id>": {"size", "seed", "key", "content", "mode"}}: see
             sxstore/blockfiles.py; the files of the basket (the data
             description's "basket" -> "files") are served as well, with
             their filesize, key and content.
             "mode" answers every block of the file in one way:
               forbidden    403
               bad_md5      a wrong MD5 in the trailer
               upper_md5    the MD5 in upper-case hex digits
               no_trailer   the block bytes alone
               no_begin     the trailer without "#CRCBEGIN#" (same length)
               no_end       the trailer without "#CRCEND#" (same length)
               short_body   one byte less than the block and its trailer
               short_data   one data byte less, the trailer, one extra byte
               drop         the connection closes in the middle of the body
  faults     probabilities (0..1) drawn for every block request, in this
             order: "forbidden", "drop", "short_body", "bad_trailer"; and
             "latency_ms", a delay before every block answer
  fault_seed seed of the fault draws (default: random)
"""

import hashlib
import json
import os
import random
import re
import socket
import threading
from urllib.parse import unquote

from .. import data
from ..blockfiles import BlockFiles, plain_pieces
from ..registry import route

CRC_BEGIN = b"#CRCBEGIN#"
CRC_END = b"#CRCEND#"
BLOCK_PATH = re.compile(r"/file(\d+)\|(-?\d+)\|(\d+)-(\d+)\|QVX\|([^|]*)\|(.*)")

FILES = BlockFiles()
_random_lock = threading.Lock()
_random = {"seed": None, "rng": random.Random()}


def _draw(ctx):
    seed = ctx.state.get("fileserver", "fault_seed")
    with _random_lock:
        if seed != _random["seed"]:
            _random["seed"] = seed
            _random["rng"] = random.Random(seed)
        return _random["rng"].random()


def file_desc(ctx, file_id):
    """The description of file file_id with its key, or None."""
    desc = ctx.state.get("fileserver", "files", str(file_id))
    if desc is None:
        # A file of the basket (the data description in force).
        for entry in data.effective(ctx.state)["basket"].get("files", []):
            if str(entry.get("id")) == str(file_id):
                desc = {"size": entry.get("filesize", 0), "key": data.file_key(entry)}
                if entry.get("content"):
                    desc["content"] = entry["content"]
                break
    if desc is None:
        return None
    if not desc.get("key"):
        desc["key"] = data.file_key({"id": file_id})
    if desc.get("content"):
        desc["size"] = os.path.getsize(desc["content"])
    desc["size"] = int(desc.get("size", 0))
    return desc


def _session_known(ctx, session_id):
    if session_id in (ctx.state.get("fileserver", "sessions", default=[]) or []):
        return True
    with ctx.state.lock:
        session = ctx.state.memory.get("sessions", {}).get(session_id)
    return bool(session and session.get("login"))


def _log(ctx, entry):
    with ctx.state.lock:
        ctx.state.memory.setdefault("fileserver_log", []).append(entry)


def _fault(ctx, desc):
    mode = desc.get("mode")
    if mode:
        return mode
    faults = ctx.state.get("fileserver", "faults", default={}) or {}
    for name in ("forbidden", "drop", "short_body", "bad_trailer"):
        p = float(faults.get(name, 0) or 0)
        if p > 0 and _draw(ctx) < p:
            return "bad_md5" if name == "bad_trailer" else name
    return None


def _send_dropped(ctx, body):
    """Promises the whole body, sends half of it and closes the connection."""
    h = ctx.handler
    h.send_response(200)
    h.send_header("Content-Type", "application/octet-stream")
    h.send_header("Content-Length", str(len(body)))
    h.end_headers()
    h.wfile.write(body[:len(body) // 2])
    h.wfile.flush()
    try:
        h.connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    h.close_connection = True


@route("GET", "/file")
def block(ctx):
    match = BLOCK_PATH.fullmatch(unquote(ctx.path))
    if not match:
        ctx.send(400, "not a block request: " + ctx.path, "text/plain")
        return
    file_id, start, end, session_id = match.group(2), int(match.group(3)), int(match.group(4)), match.group(6)
    entry = {"id": int(file_id), "start": start, "end": end, "session": session_id}

    def answer(outcome, code, body=b"", reason=None):
        entry["outcome"] = outcome
        _log(ctx, entry)
        ctx.send(code, body, "text/plain" if reason else "application/octet-stream", reason=reason)

    if not _session_known(ctx, session_id):
        answer("unknown_session", 401, b"unknown session", "Unknown session")
        return
    desc = file_desc(ctx, file_id)
    if desc is None:
        answer("unknown_file", 404, b"no such file", "Not Found")
        return
    if start > end or end >= desc["size"]:
        answer("bad_range", 416, b"range outside the file", "Requested Range Not Satisfiable")
        return

    latency = float((ctx.state.get("fileserver", "faults", default={}) or {}).get("latency_ms", 0) or 0)
    if latency > 0 and ctx.state.stopping.wait(latency / 1000.0):
        return

    fault = _fault(ctx, desc)
    if fault == "forbidden":
        answer("forbidden", 403, b"too many connections", "Forbidden")
        return

    with open(FILES.stored_path(file_id, desc), "rb") as f:
        f.seek(start)
        data = f.read(end - start + 1)
    digest = hashlib.md5(data).hexdigest().encode("ascii")
    trailer = CRC_BEGIN + digest + CRC_END
    if fault == "bad_md5":
        trailer = CRC_BEGIN + hashlib.md5(data + b"x").hexdigest().encode("ascii") + CRC_END
    elif fault == "upper_md5":
        trailer = CRC_BEGIN + digest.upper() + CRC_END
    elif fault == "no_begin":
        trailer = b"#CRCBEGIX#" + digest + CRC_END
    elif fault == "no_end":
        trailer = CRC_BEGIN + digest + b"#CRCENX#"
    body = data + trailer
    if fault == "no_trailer":
        body = data
    elif fault == "short_body":
        body = body[:-1]
    elif fault == "short_data":
        short = data[:-1]
        body = short + CRC_BEGIN + hashlib.md5(short).hexdigest().encode("ascii") + CRC_END + b"x"
    if fault == "drop":
        entry["outcome"] = "drop"
        _log(ctx, entry)
        _send_dropped(ctx, body)
        return
    answer(fault or "ok", 200, body)


def _file_id_of(ctx, prefix):
    return ctx.path[len(prefix):].strip("/")


@route("GET", "/fileserver/plain/")
def plain(ctx):
    file_id = _file_id_of(ctx, "/fileserver/plain/")
    desc = file_desc(ctx, file_id)
    if desc is None:
        ctx.send(404, "no such file", "text/plain")
        return
    h = ctx.handler
    h.send_response(200)
    h.send_header("Content-Type", "application/octet-stream")
    h.send_header("Content-Length", str(desc["size"]))
    h.end_headers()
    for piece in plain_pieces(file_id, desc):
        h.wfile.write(piece)


@route("GET", "/fileserver/key/")
def key(ctx):
    desc = file_desc(ctx, _file_id_of(ctx, "/fileserver/key/"))
    if desc is None:
        ctx.send(404, "no such file", "text/plain")
        return
    ctx.send(200, str(desc["key"]), "text/plain")


@route("GET", "/fileserver/log")
def log(ctx):
    with ctx.state.lock:
        entries = list(ctx.state.memory.get("fileserver_log", []))
    ctx.send(200, json.dumps(entries), "application/json")
