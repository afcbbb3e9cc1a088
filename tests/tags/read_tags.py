#!/usr/bin/python3
"""Reads the tags of audio files with mutagen and prints them as JSON.

Usage: read_tags.py [--verify] FILE...
Prints one JSON object keyed by file name; the reader is chosen by extension.

.mp3 and .mpc:
  v2: null or {version, size (whole tag), frames (ids in file order),
       encodings {id: byte}, title, artist, album, track, year, comment}
  v1: null or {title, artist, album, track, year, comment}
  ape: null or {keys (in file order), version, title, artist, album, track,
       year, comment}
  audio_start, audio_end: the bytes between the tags, as mutagen sees them
       (an APE tag counts as a tag)
  audio_sha256: digest of those bytes
  mp3: {length, bitrate, sample_rate} from mutagen's MPEG decoder, or an error
       (.mpc: mutagen's Musepack reader)
.ogg, .flac: {vendor, comments ("NAME=value" in file order), title, artist,
  album, track, year, comment, info}; .flac also blocks: [[type, last], ...]
.mp4, .m4a: {keys (in file order), title, artist, album, track, year,
  comment, info}
.wma: {keys (in file order), title, artist, album, track, year, comment, info}
info: {length, sample_rate} or {error}.

--verify also runs the formats' own tools on each file and adds
  checks: {tool: output} for each tool that failed (empty when all passed):
  ffmpeg -v error (decodes the audio) for everything but MP3, ogginfo for
  .ogg, flac -t for .flac.
"""
import concurrent.futures
import hashlib
import json
import os
import struct
import subprocess
import sys

import mutagen.apev2
import mutagen.asf
import mutagen.flac
import mutagen.id3
import mutagen.mp3
import mutagen.mp4
import mutagen.musepack
import mutagen.oggvorbis
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


def read_ape(path, data, end):
    """The APE tag that ends at end, as mutagen reads it, and its size."""
    try:
        tag = mutagen.apev2.APEv2(path)
    except mutagen.apev2.APENoHeaderError:
        return None, 0
    footer = data[end - 32:end]
    if footer[:8] != b"APETAGEX":
        return {"error": "mutagen found a tag elsewhere"}, 0
    version, size, _, flags = struct.unpack("<IIII", footer[8:24])
    size += 32 if flags & 0x80000000 else 0

    def value(key):
        return str(tag[key]) if key in tag else None

    return {
        "keys": list(tag.keys()),
        "version": version,
        "title": value("Title"),
        "artist": value("Artist"),
        "album": value("Album"),
        "track": value("Track"),
        "year": value("Year"),
        "comment": value("Comment"),
    }, size


def read_mp3(path, data):
    v2 = read_v2(path)
    v1 = read_v1(data)
    start = v2["size"] if v2 else 0
    end = len(data) - (128 if v1 is not None else 0)
    ape, ape_size = read_ape(path, data, end)
    end -= ape_size
    try:
        if path.endswith(".mpc"):
            info = mutagen.musepack.Musepack(path).info
        else:
            info = mutagen.mp3.MP3(path).info
        mp3 = {"length": info.length, "bitrate": info.bitrate, "sample_rate": info.sample_rate}
    except Exception as e:  # reported, so the test shows what mutagen disliked
        mp3 = {"error": str(e)}
    return {
        "v2": v2,
        "v1": v1,
        "ape": ape,
        "audio_start": start,
        "audio_end": end,
        "audio_sha256": hashlib.sha256(data[start:end]).hexdigest(),
        "mp3": mp3,
    }


def info_of(audio):
    return {"length": audio.info.length, "sample_rate": audio.info.sample_rate}


def first(values):
    return str(values[0]) if values else None


def read_vorbis(audio):
    tags = audio.tags
    comments = ["%s=%s" % (k, v) for k, v in tags] if tags is not None else []

    def value(key):
        return first(tags.get(key, [])) if tags is not None else None

    return {
        "vendor": tags.vendor if tags is not None else None,
        "comments": comments,
        "title": value("title"),
        "artist": value("artist"),
        "album": value("album"),
        "track": value("tracknumber"),
        "year": value("date"),
        "comment": value("comment"),
        "info": info_of(audio),
    }


def flac_blocks(data):
    blocks = []
    pos = 4
    while pos + 4 <= len(data):
        kind = data[pos]
        length = int.from_bytes(data[pos + 1:pos + 4], "big")
        blocks.append([kind & 0x7F, bool(kind & 0x80)])
        pos += 4 + length
        if kind & 0x80:
            break
    return blocks


def read_mp4(path):
    audio = mutagen.mp4.MP4(path)
    tags = audio.tags or {}

    def value(key):
        return first(tags.get(key, []))

    track = tags.get("trkn")
    return {
        "keys": list(tags.keys()),
        "title": value("\xa9nam"),
        "artist": value("\xa9ART"),
        "album": value("\xa9alb"),
        "track": str(track[0][0]) if track else None,
        "year": value("\xa9day"),
        "comment": value("\xa9cmt"),
        "info": info_of(audio),
    }


def read_wma(path):
    audio = mutagen.asf.ASF(path)
    tags = audio.tags

    def value(key):
        return first(tags.get(key, []))

    return {
        "keys": list(tags.keys()),
        "title": value("Title"),
        "artist": value("Author"),
        "album": value("WM/AlbumTitle"),
        "track": value("WM/TrackNumber"),
        "year": value("WM/Year"),
        "comment": value("Description"),
        "info": info_of(audio),
    }


def read_file(path):
    with open(path, "rb") as f:
        data = f.read()
    ext = os.path.splitext(path)[1].lower()
    try:
        if ext in (".mp3", ".mpc"):
            return read_mp3(path, data)
        if ext == ".ogg":
            return read_vorbis(mutagen.oggvorbis.OggVorbis(path))
        if ext == ".flac":
            result = read_vorbis(mutagen.flac.FLAC(path))
            result["blocks"] = flac_blocks(data)
            return result
        if ext in (".mp4", ".m4a"):
            return read_mp4(path)
        if ext == ".wma":
            return read_wma(path)
    except Exception as e:  # reported, so the test shows what mutagen disliked
        return {"error": "%s: %s" % (type(e).__name__, e)}
    return {"error": "no reader for " + ext}


def tool_files(paths):
    """{tool: files it checks}."""
    exts = {p: os.path.splitext(p)[1].lower() for p in paths}
    return {
        "ffmpeg": [p for p in paths if exts[p] != ".mp3"],
        "ogginfo": [p for p in paths if exts[p] == ".ogg"],
        "flac": [p for p in paths if exts[p] == ".flac"],
    }


def tool_args(tool, files):
    if tool == "ffmpeg":
        # One process decodes every file: starting ffmpeg costs more than decoding these.
        args = ["ffmpeg", "-v", "error", "-nostdin"]
        for f in files:
            args += ["-i", f]
        for i in range(len(files)):
            args += ["-map", "%d:a" % i, "-f", "null", "-"]
        return args
    if tool == "ogginfo":
        return ["ogginfo"] + files
    return ["flac", "-s", "-t"] + files


def run_tool(tool, files):
    """The tool's complaint about the files, or None."""
    r = subprocess.run(tool_args(tool, files), stdin=subprocess.DEVNULL, capture_output=True, text=True,
                       errors="replace")
    output = (r.stdout + r.stderr).strip()
    if tool == "ogginfo":
        failed = r.returncode != 0 or "WARNING" in output or "ERROR" in output
    else:
        failed = r.returncode != 0 or output != ""
    return (output or "exit code %d" % r.returncode) if failed else None


def verify(paths):
    """{path: {tool: output}} for the tools that found a fault. Each tool
    checks all its files at once; only when it complains does it run again
    file by file, to tell which one is at fault."""
    checks = {p: {} for p in paths}
    for tool, files in tool_files(paths).items():
        if not files or run_tool(tool, files) is None:
            continue
        with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
            for path, output in zip(files, pool.map(lambda f: run_tool(tool, [f]), files)):
                if output is not None:
                    checks[path][tool] = output
    return checks


def main(args):
    check = args[:1] == ["--verify"]
    paths = args[1:] if check else args
    result = {p: read_file(p) for p in paths}
    if check:
        for path, found in verify(paths).items():
            result[path]["checks"] = found
    json.dump(result, sys.stdout, ensure_ascii=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
