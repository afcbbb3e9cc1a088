"""The files the file server holds, as it stores them: the plain content
XORed with the file's 64-character key laid along the file.

A file is described by a dict: size, seed, key (64 characters), content
(path of a plain content file, used instead of generated content; its size
is the file's size). Generated content is a function of (id, size, seed) alone and
is made piece by piece, never held whole in memory. The stored form is built
once per description into a cache folder and served from there.
"""

import atexit
import hashlib
import os
import shutil
import tempfile
import threading

PIECE = 1 << 20  # generation and XOR work in pieces of 1 MiB


def key_bytes(key):
    """The 64 key bytes laid along the file (the client's 8-bit key text)."""
    raw = str(key).encode("utf-8")
    if len(raw) < 64:
        raise ValueError("a file key has 64 characters: %r" % key)
    return raw[:64]


def plain_piece(file_id, seed, index, length):
    """Piece number index of the generated content."""
    return hashlib.shake_128(("%s:%s:%d" % (file_id, seed, index)).encode("ascii")).digest(length)


def plain_pieces(file_id, desc):
    """The plain content in pieces of PIECE bytes (the last one shorter)."""
    content = desc.get("content")
    if content:
        with open(content, "rb") as f:
            while True:
                piece = f.read(PIECE)
                if not piece:
                    return
                yield piece
    size, seed = int(desc.get("size", 0)), desc.get("seed", 0)
    for index, start in enumerate(range(0, size, PIECE)):
        yield plain_piece(file_id, seed, index, min(PIECE, size - start))


def xor_piece(piece, key_int_piece):
    """piece XOR the key pattern (PIECE is a multiple of 64, so every piece
    starts at key byte 0)."""
    n = len(piece)
    mask = key_int_piece if n == PIECE else int.from_bytes(key_int_piece.to_bytes(PIECE, "little")[:n], "little")
    return (int.from_bytes(piece, "little") ^ mask).to_bytes(n, "little")


class BlockFiles:
    """Cache of stored files, shared by the request threads."""

    def __init__(self):
        self._lock = threading.Lock()
        self._building = {}
        self._folder = None

    def _cache_folder(self):
        with self._lock:
            if self._folder is None:
                self._folder = tempfile.mkdtemp(prefix="sxstore-files-")
                atexit.register(shutil.rmtree, self._folder, True)
            return self._folder

    @staticmethod
    def signature(file_id, desc):
        content = desc.get("content")
        stamp = ""
        if content:
            st = os.stat(content)
            stamp = "%s:%d:%d" % (content, st.st_size, st.st_mtime_ns)
        text = "%s|%s|%s|%s|%s" % (file_id, desc.get("size", 0), desc.get("seed", 0), desc["key"], stamp)
        return hashlib.sha1(text.encode("utf-8")).hexdigest()

    def stored_path(self, file_id, desc):
        """Path of the stored form of the file, built on first use."""
        path = os.path.join(self._cache_folder(), self.signature(file_id, desc))
        with self._lock:
            event = self._building.get(path)
            if event is None and not os.path.exists(path):
                event = self._building[path] = threading.Event()
                builder = True
            else:
                builder = False
        if builder:
            try:
                self._build(file_id, desc, path)
            finally:
                with self._lock:
                    del self._building[path]
                event.set()
        elif event is not None:
            event.wait()
        return path

    @staticmethod
    def _build(file_id, desc, path):
        key_int_piece = int.from_bytes(key_bytes(desc["key"]) * (PIECE // 64), "little")
        tmp = path + ".part"
        with open(tmp, "wb") as out:
            for piece in plain_pieces(file_id, desc):
                out.write(xor_piece(piece, key_int_piece))
        os.replace(tmp, path)
