#!/usr/bin/python3
"""Reads the ID3 tags of MP3 files with mutagen and prints them as JSON.

Usage: read_tags.py FILE...
Prints one JSON object keyed by file name. Per file:
  v2: null or {version, size (whole tag), frames (ids in file order),
       encodings {id: byte}, title, artist, album, track, year, comment}
  v1: null or {title, artist, album, track, year, comment}
  audio_start, audio_end: the bytes between the tags, as mutagen sees them
  audio_sha256: digest of those bytes
  mp3: {length, bitrate, sample_rate} from mutagen's MPEG decoder, or an error
"""
import hashlib
import json
import sys

import mutagen.id3
import mutagen.mp3
from mutagen.id3._id3v1 import ParseID3v1


def text(frames, frame_id):
    frame = frames.get(frame_id)
    return None if frame is None else str(frame)


def comment(frames):
    found = [f for key, f in frames.items() if key.startswith("COMM")]
    return str(found[0]) if found else None


def read_v2(path):
    try:
        tags = mutagen.id3.ID3(path, translate=False, load_v1=False)
    except mutagen.id3.ID3NoHeaderError:
        return None
    frames = {}
    encodings = {}
    order = []
    for frame in tags.values():
        order.append(frame.FrameID)
        frames[frame.HashKey] = frame
        if hasattr(frame, "encoding"):
            encodings[frame.FrameID] = int(frame.encoding)
    return {
        "version": list(tags.version),
        "size": tags.size,
        "frames": order,
        "encodings": encodings,
        "title": text(frames, "TIT2"),
        "artist": text(frames, "TPE1"),
        "album": text(frames, "TALB"),
        "track": text(frames, "TRCK"),
        "year": text(frames, "TYER"),
        "comment": comment(frames),
    }


def read_v1(data):
    if len(data) < 128 or data[-128:-125] != b"TAG":
        return None
    frames = ParseID3v1(data[-128:], v2_version=3) or {}
    return {
        "title": text(frames, "TIT2"),
        "artist": text(frames, "TPE1"),
        "album": text(frames, "TALB"),
        "track": text(frames, "TRCK"),
        "year": text(frames, "TYER"),
        "comment": comment(frames),
    }


def read_file(path):
    with open(path, "rb") as f:
        data = f.read()
    v2 = read_v2(path)
    v1 = read_v1(data)
    start = v2["size"] if v2 else 0
    end = len(data) - (128 if v1 is not None else 0)
    try:
        info = mutagen.mp3.MP3(path).info
        mp3 = {"length": info.length, "bitrate": info.bitrate, "sample_rate": info.sample_rate}
    except Exception as e:  # reported, so the test shows what mutagen disliked
        mp3 = {"error": str(e)}
    return {
        "v2": v2,
        "v1": v1,
        "audio_start": start,
        "audio_end": end,
        "audio_sha256": hashlib.sha256(data[start:end]).hexdigest(),
        "mp3": mp3,
    }


def main(paths):
    json.dump({p: read_file(p) for p in paths}, sys.stdout, ensure_ascii=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
