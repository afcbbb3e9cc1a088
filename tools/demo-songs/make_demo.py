#!/usr/bin/python3
"""The demo's songs and the demo store's data description.

Synthesizes a few short tunes (note tables played by sine, triangle and
square voices with envelopes, a little noise percussion), encodes each with
Debian's encoders, one song per format, and writes the store's data
description for them:

  OUT/<id>.<ext>      the encoded originals: .mp3 (lame), .ogg (oggenc),
                      .flac (flac), .wma (ffmpeg, wmav2 in ASF), .mpc
                      (mpcenc), .m4a (ffmpeg, AAC in MP4)
  OUT/demo-data.json  the data description for tools/demo-store
                      (demo_store.py --data OUT/demo-data.json)
  OUT/.stamp          what the folder was made from

The originals carry no tags (only the encoders' vendor strings), except the
.m4a: the client writes no tag into .m4a files, so that one carries the
basket's names as MP4 tags, and every downloaded file ends up named as the
basket names it.

Made once and cached: a run whose recipe (this file), output folder and
files are unchanged does nothing. Runs on the same folder are serialized by
a lock on OUT/.lock.

Usage: /usr/bin/python3 tools/demo-songs/make_demo.py --out DIR [--force] [--quiet]
Standard library only, plus the encoder programs.
"""

import argparse
import array
import concurrent.futures
import fcntl
import hashlib
import json
import math
import operator
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time
import wave

# Bump when the output changes for a reason this file's text does not show
# (the stamp also carries this file's digest).
RECIPE_VERSION = 1

DATA_NAME = "demo-data.json"
STAMP_NAME = ".stamp"

# Program -> the Debian package that has it.
ENCODERS = {
    "lame": "lame",
    "oggenc": "vorbis-tools",
    "flac": "flac",
    "ffmpeg": "ffmpeg",
    "mpcenc": "musepack-tools",
}

# --------------------------------------------------------------------------
# The basket
#
# Each song becomes one basket file of the data description ("basket" ->
# "files"); the store sends these fields in its basket answer:
#   id         the file's unique id ("uniqid")
#   filetype   0 on-line encoded (shown "OE"), 1 MP3 VIP, 2 MP3 free
#   groupname, albumname, songname, tracknum, albumyear
#              the names and numbers the client names the file by and writes
#              into its tags
#   format     the store's format text ("MP3 128 kbps")
#   fileext    the extension, with or without its leading "." (the client
#              adds a missing one)
#   filesize   the exact size of the encoded file; 0 for a file the store is
#              still encoding (no content then, never downloaded)
#   filecost   the price text; duration: seconds
#   key        the file's 64-character key (hex of SHA-256 over the id and
#              a fixed word, so it never changes)
#   content    the absolute path of the encoded file; the store's file
#              server sends its bytes XORed with the key
# The song's "tune" and "encode" entries are this tool's own and never reach
# the data description.

RUSSIAN_GROUP = "Лунный Берег"
RUSSIAN_ALBUM = "Тихий берег"

SONGS = [
    {
        "id": 2101, "filetype": 1, "groupname": RUSSIAN_GROUP, "albumname": RUSSIAN_ALBUM,
        "songname": "Северный ветер", "tracknum": 1, "albumyear": 2004,
        "format": "MP3 128 kbps", "fileext": "mp3", "filecost": "0.35",
        "tune": "north_wind", "encode": ("mp3", 128),
    },
    {
        "id": 2102, "filetype": 2, "groupname": RUSSIAN_GROUP, "albumname": RUSSIAN_ALBUM,
        "songname": "Белые ночи", "tracknum": 2, "albumyear": 2004,
        "format": "MP3 64 kbps", "fileext": ".mp3", "filecost": "0",
        "tune": "white_nights", "encode": ("mp3", 64),
    },
    {
        "id": 2103, "filetype": 1, "groupname": "Les Étoiles Filantes", "albumname": "Chansons d'été",
        "songname": "Où est la lune ?", "tracknum": 3, "albumyear": 1998,
        "format": "OGG Vorbis q2", "fileext": ".ogg", "filecost": "0.2",
        "tune": "la_lune", "encode": ("ogg", 2),
    },
    {
        "id": 2104, "filetype": 0, "groupname": "Orquesta Señal", "albumname": "Música Nocturna",
        "songname": "Canción de cuna", "tracknum": 12, "albumyear": 2011,
        "format": "FLAC lossless", "fileext": "flac", "filecost": "0.9",
        "tune": "cuna", "encode": ("flac", None),
    },
    {
        "id": 2105, "filetype": 1, "groupname": "Copper Lanterns", "albumname": "Paper Harbour, Vol. 2",
        "songname": "Glass Mirror: Reprise", "tracknum": 7, "albumyear": 2009,
        "format": "WMA 64 kbps", "fileext": ".wma", "filecost": "0.25",
        "tune": "glass_mirror", "encode": ("wma", 64),
    },
    {
        "id": 2106, "filetype": 1, "groupname": "Søren Ålund", "albumname": "Nordlys",
        "songname": "Fjord/Vind", "tracknum": 4, "albumyear": 2015,
        "format": "Musepack q3", "fileext": "mpc", "filecost": "0.3",
        "tune": "fjord", "encode": ("mpc", 3),
    },
    {
        "id": 2107, "filetype": 1, "groupname": "Zoë & the Köln Quartet", "albumname": "Überall",
        "songname": "Déjà vu", "tracknum": 2, "albumyear": 2020,
        "format": "AAC 64 kbps", "fileext": ".m4a", "filecost": "0.3",
        "tune": "deja_vu", "encode": ("m4a", 64),
    },
]

# The store has not finished encoding this one: size 0, nothing to serve.
ENCODING_FILE = {
    "id": 2108, "filetype": 0, "groupname": RUSSIAN_GROUP, "albumname": RUSSIAN_ALBUM,
    "songname": "Последний трамвай", "tracknum": 3, "albumyear": 2004,
    "format": "MP3 192 kbps", "fileext": "mp3", "filesize": 0, "filecost": "0.4", "duration": 215,
}

# The rest of the data description: the demo account and the demo catalog
# (tools/catalog-gen, size "demo").
ACCOUNTS = {"demo": "demo"}
CATALOG = {"size": "demo", "seed": 1}

KEY_WORD = "sorvelinx-demo-song"


def file_key(file_id):
    return hashlib.sha256(("%s-%d" % (KEY_WORD, file_id)).encode("ascii")).hexdigest()


# --------------------------------------------------------------------------
# The tunes
#
# A voice plays a note table: "NOTE:BEATS" words, NOTE like C4, F#3, Bb2, or
# R for a rest. Each voice repeats its table until the tune's "seconds" are
# over; the end fades out. A voice is (wave, gain, pan from -1 left to 1
# right, (attack s, decay s, sustain level, release s), notes); a mono tune
# ignores the pan.

TUNES = {
    # A minor, a slow triangle melody over a sine bass and a soft pulse.
    "north_wind": {
        "bpm": 96, "seconds": 12, "rate": 44100, "stereo": True,
        "voices": [
            ("triangle", 0.45, -0.3, (0.01, 0.12, 0.6, 0.08),
             "A4:1 C5:1 E5:2 D5:1 C5:1 B4:2 A4:1 B4:1 C5:1 E5:1 D5:3 R:1 "
             "F5:1 E5:1 D5:1 C5:1 B4:2 G4:2 A4:3 R:1 E4:1 A4:1 C5:2"),
            ("sine", 0.5, 0.2, (0.02, 0.2, 0.7, 0.1), "A2:4 F2:4 C3:4 G2:4 A2:4 E2:4 A2:4"),
            ("noise", 0.12, 0.0, (0.001, 0.06, 0.0, 0.02), "C4:1 R:1 C4:1 R:1"),
        ],
    },
    # D minor, a square-ish lead, quicker.
    "white_nights": {
        "bpm": 120, "seconds": 7, "rate": 22050, "stereo": False,
        "voices": [
            ("square", 0.3, 0.0, (0.005, 0.1, 0.5, 0.05),
             "D5:1 F5:1 A5:1 F5:1 E5:1 G5:1 Bb5:2 A5:1 F5:1 D5:1 E5:1 F5:4"),
            ("sine", 0.5, 0.0, (0.02, 0.1, 0.8, 0.1), "D3:4 Bb2:4 C3:4 D3:4"),
        ],
    },
    # G major waltz.
    "la_lune": {
        "bpm": 138, "seconds": 10, "rate": 44100, "stereo": True,
        "voices": [
            ("triangle", 0.45, 0.25, (0.01, 0.15, 0.5, 0.1),
             "B4:2 D5:1 G5:2 F#5:1 E5:2 D5:1 B4:3 C5:2 E5:1 A5:2 G5:1 F#5:3 D5:3"),
            ("sine", 0.4, -0.25, (0.01, 0.2, 0.4, 0.1), "G2:1 B3:1 D4:1 G2:1 B3:1 D4:1 C3:1 E4:1 G4:1 D3:1 F#4:1 A4:1"),
        ],
    },
    # C major lullaby, sine voices only (FLAC compresses them well).
    "cuna": {
        "bpm": 84, "seconds": 8, "rate": 22050, "stereo": False,
        "voices": [
            ("sine", 0.45, 0.0, (0.03, 0.2, 0.6, 0.2), "E5:1 G5:1 E5:1 C5:1 D5:2 G4:2 E5:1 F5:1 E5:1 D5:1 C5:4"),
            ("triangle", 0.3, 0.0, (0.05, 0.3, 0.5, 0.2), "C3:4 G2:4 C3:4 C3:4"),
        ],
    },
    # E minor, square lead and a noise snare.
    "glass_mirror": {
        "bpm": 108, "seconds": 9, "rate": 44100, "stereo": True,
        "voices": [
            ("square", 0.25, -0.2, (0.005, 0.08, 0.6, 0.05),
             "E5:1 B4:1 G4:1 B4:1 E5:1 F#5:1 G5:2 F#5:1 D5:1 B4:1 D5:1 E5:4"),
            ("sine", 0.45, 0.2, (0.02, 0.2, 0.7, 0.1), "E2:2 E3:2 C3:2 C3:2 D3:2 D3:2 E2:4"),
            ("noise", 0.1, 0.0, (0.001, 0.1, 0.0, 0.02), "R:1 C4:1 R:1 C4:1"),
        ],
    },
    # F major, bright triangle arpeggios.
    "fjord": {
        "bpm": 112, "seconds": 9, "rate": 44100, "stereo": True,
        "voices": [
            ("triangle", 0.4, 0.3, (0.005, 0.1, 0.4, 0.08),
             "F4:1 A4:1 C5:1 F5:1 E5:1 C5:1 G4:1 C5:1 D5:1 F5:1 A5:1 G5:1 F5:4"),
            ("sine", 0.45, -0.3, (0.02, 0.2, 0.7, 0.1), "F2:4 C3:4 Bb2:4 F2:4"),
        ],
    },
    # A major, a sine lead with a square bass.
    "deja_vu": {
        "bpm": 100, "seconds": 8, "rate": 44100, "stereo": True,
        "voices": [
            ("sine", 0.45, -0.15, (0.01, 0.1, 0.7, 0.1),
             "C#5:1 E5:1 A5:2 G#5:1 F#5:1 E5:2 D5:1 C#5:1 B4:1 D5:1 C#5:4"),
            ("square", 0.18, 0.15, (0.01, 0.2, 0.6, 0.1), "A2:4 D3:4 E3:4 A2:4"),
        ],
    },
}

NOTE_STEPS = {"C": 0, "D": 2, "E": 4, "F": 5, "G": 7, "A": 9, "B": 11}
TABLE_SIZE = 4096


def note_frequency(name):
    """The frequency of a note name like "A4", "F#3", "Bb2"; None for a rest "R"."""
    if name == "R":
        return None
    step = NOTE_STEPS[name[0]]
    rest = name[1:]
    while rest and rest[0] in "#b":
        step += 1 if rest[0] == "#" else -1
        rest = rest[1:]
    midi = 12 * (int(rest) + 1) + step
    return 440.0 * 2.0 ** ((midi - 69) / 12.0)


def parse_notes(text):
    notes = []
    for word in text.split():
        name, beats = word.split(":")
        notes.append((note_frequency(name), float(beats)))
    return notes


def wave_tables():
    two_pi = 2 * math.pi
    sine = [math.sin(two_pi * i / TABLE_SIZE) for i in range(TABLE_SIZE)]
    # Odd harmonics only, so the edges stay soft and alias little.
    square = [sum(math.sin(two_pi * k * i / TABLE_SIZE) / k for k in range(1, 16, 2)) * 0.9
              for i in range(TABLE_SIZE)]
    triangle = [1 - 4 * abs(i / TABLE_SIZE - 0.5) for i in range(TABLE_SIZE)]
    noise_gen = random.Random(20240611)
    noise = [noise_gen.uniform(-1.0, 1.0) for _ in range(TABLE_SIZE)]
    return {"sine": sine, "square": square, "triangle": triangle, "noise": noise}


def envelope(count, rate, adsr):
    """Linear attack, decay to the sustain level, release at the note's end."""
    attack, decay, sustain, release = adsr
    a = max(1, int(attack * rate))
    d = max(1, int(decay * rate))
    r = min(count, max(1, int(release * rate)))
    env = [i / a for i in range(a)] + [1 - (1 - sustain) * i / d for i in range(d)]
    env = env[:count] + [sustain] * (count - len(env))
    env[count - r:] = [e * (r - i) / r for i, e in enumerate(env[count - r:])]
    return env


def render_voice(tables, kind, gain, adsr, notes, bpm, rate, total):
    out = [0.0] * total
    table = tables[kind]
    mask = TABLE_SIZE - 1
    pos = 0
    beat = 60.0 / bpm
    while pos < total:
        for freq, beats in notes:
            count = int(beats * beat * rate)
            end = min(total, pos + count)
            if freq is not None and end > pos:
                # Noise ignores the pitch: it runs through its table at a fixed speed.
                step = TABLE_SIZE * (freq / rate if kind != "noise" else 0.37)
                env = envelope(count, rate, adsr)
                # A voice's notes never overlap, so each note fills its own stretch.
                out[pos:end] = [gain * e * table[int(step * i) & mask] for e, i in zip(env, range(end - pos))]
            pos = end
            if pos >= total:
                break
    return out


def mix(total, voices):
    """The sum of (gain, samples) pairs."""
    result = [0.0] * total
    for gain, samples in voices:
        result = list(map(operator.add, result, map(gain.__mul__, samples)))
    return result


def to_pcm(samples, scale):
    return array.array("h", map(round, map(scale.__mul__, samples)))


def render_tune(tune, tables):
    """(rate, channels, 16-bit little-endian sample bytes) of a tune."""
    rate = tune["rate"]
    total = int(tune["seconds"] * rate)
    voices = [(pan, render_voice(tables, kind, gain, adsr, parse_notes(text), tune["bpm"], rate, total))
              for kind, gain, pan, adsr, text in tune["voices"]]
    if tune["stereo"]:
        channels = [mix(total, [((1 - pan) * 0.7, v) for pan, v in voices]),
                    mix(total, [((1 + pan) * 0.7, v) for pan, v in voices])]
    else:
        channels = [mix(total, [(1.0, v) for _, v in voices])]
    # The tables are cut wherever the time is up: fade out rather than stop on a click.
    fade = int(0.6 * rate)
    for samples in channels:
        samples[total - fade:] = [v * (fade - i) / fade for i, v in enumerate(samples[total - fade:])]
    peak = max(max(map(abs, samples)) for samples in channels)
    scale = 32767 * 0.7 / max(1e-9, peak)
    pcm = array.array("h", bytes(2 * total * len(channels)))
    for c, samples in enumerate(channels):
        pcm[c::len(channels)] = to_pcm(samples, scale)
    if sys.byteorder != "little":
        pcm.byteswap()
    return rate, len(channels), pcm.tobytes()


def write_wav(path, rate, channels, frames):
    with wave.open(path, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(frames)


# --------------------------------------------------------------------------
# Encoding

FFMPEG = ["ffmpeg", "-v", "error", "-nostdin", "-y"]
# No tags from the input and no encoder tag; the MP4 metadata is set explicitly.
BITEXACT = ["-map_metadata", "-1", "-fflags", "+bitexact", "-flags:a", "+bitexact"]


def encode_args(song, wav, target):
    kind, quality = song["encode"]
    if kind == "mp3":
        return ["lame", "--quiet", "--cbr", "-b", str(quality), wav, target]
    if kind == "ogg":
        return ["oggenc", "-Q", "-q", str(quality), "--serial", str(song["id"]), "-o", target, wav]
    if kind == "flac":
        return ["flac", "-s", "-f", "-8", "-o", target, wav]
    if kind == "wma":
        return FFMPEG + ["-i", wav, "-c:a", "wmav2", "-b:a", "%dk" % quality] + BITEXACT + ["-f", "asf", target]
    if kind == "mpc":
        return ["mpcenc", "--silent", "--overwrite", "--quality", str(quality), wav, target]
    if kind == "m4a":
        tags = ["-metadata", "artist=" + song["groupname"], "-metadata", "album=" + song["albumname"],
                "-metadata", "title=" + song["songname"], "-metadata", "track=%d" % song["tracknum"],
                "-metadata", "date=%d" % song["albumyear"]]
        return (FFMPEG + ["-i", wav, "-c:a", "aac", "-b:a", "%dk" % quality] + BITEXACT + tags
                + ["-movflags", "+faststart", "-f", "ipod", target])
    raise ValueError("unknown encoding " + kind)


def encode(song, wav, target):
    args = encode_args(song, wav, target)
    r = subprocess.run(args, stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
    if r.returncode != 0 or not os.path.isfile(target) or os.path.getsize(target) == 0:
        raise RuntimeError("%s failed on %s (exit code %d): %s"
                           % (args[0], os.path.basename(target), r.returncode, (r.stderr or r.stdout).strip()))


AUDIO_EXTENSIONS = {".mp3", ".ogg", ".flac", ".wma", ".mpc", ".m4a"}


def song_extension(song):
    return "." + song["encode"][0]


def song_file_name(song):
    return "%d%s" % (song["id"], song_extension(song))


# --------------------------------------------------------------------------
# The folder

def recipe_digest():
    with open(os.path.abspath(__file__), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def stamp_text(out):
    return json.dumps({"recipe": RECIPE_VERSION, "tool": recipe_digest(), "out": out}, sort_keys=True)


def up_to_date(out):
    """True when the folder holds this recipe's files, as its data description lists them."""
    try:
        with open(os.path.join(out, STAMP_NAME), encoding="utf-8") as f:
            if f.read() != stamp_text(out):
                return False
        with open(os.path.join(out, DATA_NAME), encoding="utf-8") as f:
            files = json.load(f)["basket"]["files"]
        for entry in files:
            if "content" in entry and os.path.getsize(entry["content"]) != entry["filesize"]:
                return False
        return True
    except (OSError, ValueError, KeyError, TypeError):
        return False


def basket_entry(song, path):
    entry = {k: v for k, v in song.items() if k not in ("tune", "encode", "seconds")}
    entry["filesize"] = os.path.getsize(path)
    entry["duration"] = int(math.ceil(song["seconds"]))
    entry["key"] = file_key(song["id"])
    entry["content"] = path
    return entry


def data_description(entries):
    encoding = dict(ENCODING_FILE)
    encoding["key"] = file_key(encoding["id"])
    return {"accounts": ACCOUNTS, "catalog": CATALOG, "basket": {"files": entries + [encoding]}}


def write_atomically(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def missing_encoders():
    return [name for name in ENCODERS if shutil.which(name) is None]


def make(out, log):
    """Synthesizes and encodes every song into out and writes the data description."""
    tables = wave_tables()
    work = tempfile.mkdtemp(prefix=".work-", dir=out)
    try:
        songs = []
        # Synthesis holds the interpreter; the encoders run meanwhile.
        with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
            jobs = []
            for song in SONGS:
                rate, channels, frames = render_tune(TUNES[song["tune"]], tables)
                song = dict(song, seconds=len(frames) / (2 * channels) / rate)
                wav = os.path.join(work, "%d.wav" % song["id"])
                write_wav(wav, rate, channels, frames)
                target = os.path.join(work, song_file_name(song))
                jobs.append(pool.submit(encode, song, wav, target))
                songs.append(song)
            for job in jobs:
                job.result()
        # Files of an older recipe go first, so the folder holds exactly this basket.
        names = {song_file_name(s) for s in songs}
        for name in os.listdir(out):
            base, ext = os.path.splitext(name)
            if base.isdigit() and ext in AUDIO_EXTENSIONS and name not in names:
                os.remove(os.path.join(out, name))
        entries = []
        for song in songs:
            path = os.path.join(out, song_file_name(song))
            os.replace(os.path.join(work, song_file_name(song)), path)
            entries.append(basket_entry(song, path))
            log("%-10s %7d bytes  %s - %s" % (song_file_name(song), entries[-1]["filesize"], song["groupname"],
                                             song["songname"]))
        write_atomically(os.path.join(out, DATA_NAME),
                         json.dumps(data_description(entries), ensure_ascii=False, indent=2) + "\n")
        write_atomically(os.path.join(out, STAMP_NAME), stamp_text(out))
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main(argv):
    parser = argparse.ArgumentParser(description="Makes the demo songs and the demo store's data description.")
    parser.add_argument("--out", required=True, help="output folder (created when missing)")
    parser.add_argument("--force", action="store_true", help="make everything again even when up to date")
    parser.add_argument("--quiet", action="store_true", help="print nothing but errors")
    args = parser.parse_args(argv)

    def log(text):
        if not args.quiet:
            print(text, flush=True)

    missing = missing_encoders()
    if missing:
        print("make_demo.py: missing encoder program(s): %s. Install the Debian package(s) %s "
              "(scripts/install-deps lists them)." % (", ".join(missing), ", ".join(ENCODERS[m] for m in missing)),
              file=sys.stderr)
        return 2
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if not args.force and up_to_date(out):
            log("demo songs up to date in %s" % out)
            return 0
        started = time.monotonic()
        try:
            os.remove(os.path.join(out, STAMP_NAME))
        except FileNotFoundError:
            pass
        try:
            make(out, log)
        except (RuntimeError, OSError) as e:
            print("make_demo.py: %s" % e, file=sys.stderr)
            return 1
        log("made %d demo songs and %s in %s (%.1f s)" % (len(SONGS), DATA_NAME, out, time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
