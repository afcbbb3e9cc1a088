#!/usr/bin/python3
"""Checks downloaded demo songs against the originals and the basket.

Usage: /usr/bin/python3 tools/demo-songs/check_downloads.py DIR_DOWNLOADS DATA_JSON
           [--mask "%G/%A (%Y)/%T - %S"] [--replace-spaces]

DATA_JSON is a demo store data description (tools/demo-songs/make_demo.py
writes one). For every basket file the downloaded file is looked up where
the client puts it: DIR_DOWNLOADS joined with the name the file naming mask
gives, built here by the client's own rules (see file_name_by_mask; --mask
and --replace-spaces are the settings DownloadFileNameMask and
DownloadFileReplaceSpaces, their defaults the client's).

A file with "content" (the original) must be there, with
  - audio identical to the original's: ffmpeg's SHA-256 of the audio packets
    (stream copy, so the audio bytes as the demuxer delivers them) and of
    the decoded samples (which also covers the codec headers kept outside
    the packets, like Vorbis setup data or the encoder delay of MP3);
  - the tags, as mutagen reads them, equal to the basket's names: artist =
    groupname, album = albumname, title = songname, track = tracknum, year =
    albumyear, each exactly once (a 0 number: no such tag).
A file of size 0 (still being encoded) must be absent, with no working file.
No ".downloading" working file may be left anywhere under DIR_DOWNLOADS.

Prints one line per basket file ("OK" or "FAIL" with the reasons) and a
summary; exits 0 when everything matched, 1 on any mismatch, 2 on bad
arguments or an unreadable description. Needs ffmpeg and Debian's
python3-mutagen.
"""

import argparse
import concurrent.futures
import json
import os
import subprocess
import sys

import mutagen.apev2
import mutagen.asf
import mutagen.flac
import mutagen.id3
import mutagen.mp4
import mutagen.oggvorbis

DEFAULT_MASK = "%G/%A (%Y)/%T - %S"
DOWNLOADING_EXTENSION = ".downloading"


# --------------------------------------------------------------------------
# File names, as the client builds them

INVALID_FILE_CHARS = '"*./:<>?\\|'


def replace_invalid_file_chars(text, replace_spaces):
    """The double quote, "*", ".", "/", ":", "<", ">", "?", "\\" and "|" become
    "-"; with replace_spaces each blank becomes "_"."""
    out = []
    for c in text:
        if c in INVALID_FILE_CHARS:
            c = "-"
        elif c == " " and replace_spaces:
            c = "_"
        out.append(c)
    return "".join(out)


def trim_blanks(text):
    """Drops every character up to the blank (code <= 32) at both ends."""
    begin, end = 0, len(text)
    while begin < end and ord(text[begin]) <= 32:
        begin += 1
    while end > begin and ord(text[end - 1]) <= 32:
        end -= 1
    return text[begin:end]


def file_name_by_mask(mask, group, album, song, ext, track, year, replace_spaces=False):
    """The relative file name for the mask: %G group, %A album, %T track (two
    digits at least), %S song, %Y year, %L the group's first character, %%
    a percent sign; letters in any case. Group, album and song are cleaned
    with replace_invalid_file_chars; the first character only loses a path
    separator. A leading "/" of the mask is dropped. ext is appended as
    given. Raises ValueError for any other "%" sequence or an empty ext."""
    if not ext:
        raise ValueError("File extension missed!")
    text = trim_blanks(mask)
    if text.startswith("/"):
        text = text[1:]
    first = group[:1]
    if first in ("/", "\\"):
        first = "-"
    values = {
        "G": replace_invalid_file_chars(group, replace_spaces),
        "A": replace_invalid_file_chars(album, replace_spaces),
        "T": "%02d" % track,
        "S": replace_invalid_file_chars(song, replace_spaces),
        "Y": "%d" % year,
        "L": first,
    }
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "%":
            out.append(c)
            i += 1
            continue
        nxt = text[i + 1:i + 2]
        if nxt == "%":
            out.append("%")
        elif nxt.upper() in values and nxt:
            out.append(values[nxt.upper()])
        else:
            raise ValueError('Invalid file name mask "%s": unsupported sequence "%s"' % (mask, text[i:i + 2]))
        i += 2
    return "".join(out) + ext


def basket_names(entry):
    """(group, album, song) as the client keeps them: a backquote is read as an apostrophe."""
    return tuple(str(entry.get(k, "")).replace("`", "'") for k in ("groupname", "albumname", "songname"))


def basket_extension(entry):
    """The file extension as the client keeps it: trimmed, with its leading "."."""
    ext = trim_blanks(str(entry.get("fileext", "")))
    return ext if not ext or ext.startswith(".") else "." + ext


def expected_path(entry, mask=DEFAULT_MASK, replace_spaces=False):
    """The relative path of a basket file's download."""
    group, album, song = basket_names(entry)
    return file_name_by_mask(mask, group, album, song, basket_extension(entry), int(entry.get("tracknum", 0) or 0),
                             int(entry.get("albumyear", 0) or 0), replace_spaces)


# --------------------------------------------------------------------------
# Audio

class CheckError(Exception):
    pass


def audio_hashes(path):
    """(packets, decoded): ffmpeg's SHA-256 of the first audio stream's
    packets (stream copy) and of its decoded samples."""
    args = ["ffmpeg", "-v", "error", "-nostdin", "-i", path,
            "-map", "0:a:0", "-c", "copy", "-f", "streamhash", "-hash", "sha256", "pipe:1",
            "-map", "0:a:0", "-f", "streamhash", "-hash", "sha256", "pipe:1"]
    r = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
    lines = [line.strip() for line in r.stdout.splitlines() if line.strip()]
    if r.returncode != 0 or r.stderr.strip() or len(lines) != 2:
        complaint = " | ".join(line.strip() for line in r.stderr.splitlines() if line.strip())
        raise CheckError("ffmpeg cannot read it: %s" % (complaint or "exit code %d" % r.returncode))
    return tuple(line.rsplit("=", 1)[-1] for line in lines)


# --------------------------------------------------------------------------
# Tags

def _texts(values):
    return [str(v) for v in values]


def read_tags(path):
    """{"artist", "album", "title", "track", "year": [texts]} as mutagen reads
    the tag family the client writes for the file's extension."""
    ext = os.path.splitext(path)[1].lower()
    fields = ("artist", "album", "title", "track", "year")
    if ext == ".mp3":
        try:
            tags = mutagen.id3.ID3(path)  # ID3v2, else ID3v1
        except mutagen.id3.ID3NoHeaderError:
            return {f: [] for f in fields}
        ids = {"artist": "TPE1", "album": "TALB", "title": "TIT2", "track": "TRCK", "year": "TDRC"}
        return {f: [t for frame in tags.getall(ids[f]) for t in _texts(frame.text)] for f in fields}
    if ext in (".mpc", ".ape"):
        try:
            tags = mutagen.apev2.APEv2(path)
        except mutagen.apev2.APENoHeaderError:
            return {f: [] for f in fields}
        keys = {"artist": "Artist", "album": "Album", "title": "Title", "track": "Track", "year": "Year"}
        return {f: (str(tags[keys[f]]).split("\0") if keys[f] in tags else []) for f in fields}
    if ext in (".ogg", ".flac"):
        audio = mutagen.oggvorbis.OggVorbis(path) if ext == ".ogg" else mutagen.flac.FLAC(path)
        tags = audio.tags
        keys = {"artist": "artist", "album": "album", "title": "title", "track": "tracknumber", "year": "date"}
        return {f: (list(tags.get(keys[f], [])) if tags is not None else []) for f in fields}
    if ext == ".wma":
        tags = mutagen.asf.ASF(path).tags
        keys = {"artist": "Author", "album": "WM/AlbumTitle", "title": "Title", "track": "WM/TrackNumber",
                "year": "WM/Year"}
        return {f: _texts(tags.get(keys[f], [])) for f in fields}
    if ext in (".m4a", ".mp4"):
        tags = mutagen.mp4.MP4(path).tags or {}
        keys = {"artist": "\xa9ART", "album": "\xa9alb", "title": "\xa9nam", "year": "\xa9day"}
        result = {f: _texts(tags.get(keys[f], [])) for f in keys}
        result["track"] = [str(t[0]) for t in tags.get("trkn", [])]
        return result
    raise CheckError("no tag reader for %s files" % ext)


def _number(text):
    """The leading decimal number of a track text ("07", "3/12")."""
    digits = ""
    for c in text.strip():
        if not c.isdigit():
            break
        digits += c
    return int(digits) if digits else None


def tag_problems(path, entry):
    group, album, song = basket_names(entry)
    track = int(entry.get("tracknum", 0) or 0)
    year = int(entry.get("albumyear", 0) or 0)
    expected = {"artist": group, "album": album, "title": song, "track": track, "year": year}
    try:
        found = read_tags(path)
    except CheckError:
        raise
    except Exception as e:  # mutagen's complaint is the finding
        raise CheckError("mutagen cannot read the tags: %s: %s" % (type(e).__name__, e))
    problems = []
    for field, want in expected.items():
        values = found[field]
        if field in ("track", "year"):
            if want == 0:
                if values:
                    problems.append("%s %r, expected none" % (field, values))
                continue
            text = values[0].strip() if len(values) == 1 else ""
            if field == "track":
                ok = _number(text) == want
            else:
                ok = text == str(want) or text.startswith("%d-" % want)
        else:
            ok = values == [want]
        if not ok:
            problems.append("%s %s, expected %r" % (field, repr(values) if values else "missing", want))
    return problems


# --------------------------------------------------------------------------
# The check

_original_hashes = {}


def original_hashes(path):
    """audio_hashes of an original, kept while the file stays as it was."""
    st = os.stat(path)
    key = (os.path.abspath(path), st.st_size, st.st_mtime_ns)
    if key not in _original_hashes:
        _original_hashes[key] = audio_hashes(path)
    return _original_hashes[key]


def check_file(entry, path):
    """The problems of one downloaded file (empty when it matches)."""
    if not os.path.isfile(path):
        return ["not downloaded"]
    problems = []
    try:
        want = original_hashes(entry["content"])
    except OSError as e:
        return ["the original: %s" % e]
    except CheckError as e:
        return ["the original %s: %s" % (entry["content"], e)]
    try:
        got = audio_hashes(path)
        if got[0] != want[0]:
            problems.append("audio packets differ from the original")
        if got[1] != want[1]:
            problems.append("decoded audio differs from the original")
    except CheckError as e:
        problems.append(str(e))
    try:
        problems += tag_problems(path, entry)
    except CheckError as e:
        problems.append(str(e))
    return problems


def encoding_problems(path):
    """A file the store is still encoding is neither downloaded nor being downloaded."""
    problems = []
    if os.path.lexists(path):
        problems.append("downloaded though the store is still encoding it")
    if os.path.lexists(path + DOWNLOADING_EXTENSION):
        problems.append("a working file exists though the store is still encoding it")
    return problems


def leftover_working_files(folder):
    found = []
    for root, _, files in os.walk(folder):
        found += [os.path.join(root, f) for f in files if f.endswith(DOWNLOADING_EXTENSION)]
    return sorted(found)


def check(folder, files, mask=DEFAULT_MASK, replace_spaces=False, out=sys.stdout):
    """Checks every basket file; prints a line each; returns the number of failures."""
    jobs = []
    for entry in files:
        rel = expected_path(entry, mask, replace_spaces)
        jobs.append((entry, rel, os.path.join(folder, rel)))

    def encoding(entry):
        return int(entry.get("filesize", 0) or 0) == 0 or "content" not in entry

    def run(job):
        entry, _, path = job
        return encoding_problems(path) if encoding(entry) else check_file(entry, path)

    failures = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        for (entry, rel, _), problems in zip(jobs, pool.map(run, jobs)):
            line = "%s %s %s" % ("FAIL" if problems else "OK  ", entry.get("id"), rel)
            line += " (still encoding)" if encoding(entry) else ""
            line += (": " + "; ".join(problems)) if problems else ""
            print(line, file=out)
            failures += bool(problems)
    for path in leftover_working_files(folder):
        print("FAIL working file left: %s" % os.path.relpath(path, folder), file=out)
        failures += 1
    print("%d file(s) checked, %d failure(s)" % (len(files), failures), file=out)
    return failures


def main(argv):
    parser = argparse.ArgumentParser(description="Checks downloaded demo songs against the originals and the basket.")
    parser.add_argument("downloads", help="the download folder")
    parser.add_argument("data", help="the demo store's data description (demo-data.json)")
    parser.add_argument("--mask", default=DEFAULT_MASK, help="the file naming mask (default %(default)s)")
    parser.add_argument("--replace-spaces", action="store_true", help="blanks of names became \"_\"")
    args = parser.parse_args(argv)
    try:
        with open(args.data, encoding="utf-8") as f:
            files = json.load(f)["basket"]["files"]
        for entry in files:
            expected_path(entry, args.mask, args.replace_spaces)
    except (OSError, ValueError, KeyError, TypeError) as e:
        print("check_downloads.py: %s: %s" % (args.data, e), file=sys.stderr)
        return 2
    sys.stdout.reconfigure(encoding="utf-8", errors="backslashreplace")
    return 1 if check(args.downloads, files, args.mask, args.replace_spaces) else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
