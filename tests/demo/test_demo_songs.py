"""The demo's songs (tools/demo-songs/make_demo.py) and the download checker
(tools/demo-songs/check_downloads.py): the generated files and data
description, the cache, and that the checker passes files tagged by a real
tag writer (mutagen) and fails on one changed audio byte, a wrong tag or a
left-over working file."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("SX_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TOOLS = os.path.join(SOURCE_DIR, "tools", "demo-songs")
sys.path.insert(0, TOOLS)
sys.path.insert(0, os.path.join(SOURCE_DIR, "tools", "catalog-gen"))
import check_downloads as cd  # noqa: E402
import make_catalog  # noqa: E402

import mutagen.apev2  # noqa: E402
import mutagen.asf  # noqa: E402
import mutagen.flac  # noqa: E402
import mutagen.id3  # noqa: E402
import mutagen.oggvorbis  # noqa: E402

PYTHON = sys.executable
SIX = {".mp3", ".ogg", ".flac", ".wma", ".mpc", ".m4a"}
# What the store's basket answer sends of each file.
BASKET_KEYS = {"id", "filetype", "groupname", "albumname", "songname", "tracknum", "albumyear", "format", "fileext",
               "filesize", "filecost", "duration", "key"}


def run_tool(name, *args):
    return subprocess.run([PYTHON, os.path.join(TOOLS, name)] + list(args), capture_output=True, text=True,
                          encoding="utf-8", stdin=subprocess.DEVNULL)


def tag_like_the_client(path, entry):
    """Writes the basket's names with mutagen, in the tag family the client
    uses for the extension (ID3v2.3, APE 2.0, Vorbis comments, WMA)."""
    group, album, song = cd.basket_names(entry)
    track, year = str(entry["tracknum"]), str(entry["albumyear"])
    ext = os.path.splitext(path)[1]
    if ext == ".mp3":
        tags = mutagen.id3.ID3()
        tags.add(mutagen.id3.TIT2(encoding=1, text=song))
        tags.add(mutagen.id3.TPE1(encoding=1, text=group))
        tags.add(mutagen.id3.TALB(encoding=1, text=album))
        tags.add(mutagen.id3.TRCK(encoding=0, text=track))
        tags.add(mutagen.id3.TYER(encoding=0, text=year))
        tags.save(path, v2_version=3)
    elif ext == ".mpc":
        tags = mutagen.apev2.APEv2()
        tags.update({"Title": song, "Artist": group, "Album": album, "Track": track, "Year": year})
        tags.save(path)
    elif ext in (".ogg", ".flac"):
        audio = mutagen.oggvorbis.OggVorbis(path) if ext == ".ogg" else mutagen.flac.FLAC(path)
        audio.update({"TITLE": song, "ARTIST": group, "ALBUM": album, "TRACKNUMBER": track, "DATE": year})
        audio.save()
    elif ext == ".wma":
        audio = mutagen.asf.ASF(path)
        audio.update({"Title": song, "Author": group, "WM/AlbumTitle": album, "WM/TrackNumber": "%02d" % int(track),
                      "WM/Year": year})
        audio.save()
    # .m4a: the client writes nothing; the original carries the names.


def flip_audio_byte(path):
    """Changes one byte in the middle of an audio packet (found by its bytes
    as ffprobe reports them) and returns its offset."""
    # A few packets from two seconds in: the dump of every packet takes long.
    r = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-read_intervals", "2%+#12",
                        "-show_packets", "-show_data", "-of", "json", path], capture_output=True, text=True, check=True)
    packets = json.loads(r.stdout)["packets"]
    with open(path, "rb") as f:
        data = bytearray(f.read())
    for packet in packets:
        hex_text = "".join(line[10:49] for line in packet.get("data", "").splitlines() if line.strip())
        payload = bytes.fromhex(hex_text.replace(" ", ""))
        where = data.find(payload) if len(payload) >= 32 else -1
        if where >= 0 and data.find(payload, where + 1) < 0:
            offset = where + len(payload) // 2
            data[offset] ^= 0x5A
            with open(path, "wb") as f:
                f.write(data)
            return offset
    raise AssertionError("no audio packet of %s is stored in one piece" % path)


class DemoSongsTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="sx-demo-songs-")
        cls.addClassCleanup(shutil.rmtree, cls.dir)
        cls.out = os.path.join(cls.dir, "songs")
        r = run_tool("make_demo.py", "--out", cls.out)
        if r.returncode != 0:
            raise AssertionError("make_demo.py failed:\n" + r.stdout + r.stderr)
        cls.data_path = os.path.join(cls.out, "demo-data.json")
        with open(cls.data_path, encoding="utf-8") as f:
            cls.data = json.load(f)
        cls.files = cls.data["basket"]["files"]
        cls.songs = [e for e in cls.files if "content" in e]

    def test_songs_are_valid_and_small(self):
        self.assertEqual({os.path.splitext(e["content"])[1] for e in self.songs}, SIX)
        for entry in self.songs:
            with self.subTest(entry["content"]):
                r = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", entry["content"], "-f", "null", "-"],
                                   capture_output=True, text=True)
                self.assertEqual((r.returncode, r.stderr), (0, ""))
                self.assertLess(entry["filesize"], 600 * 1024)

    def test_data_description_matches_the_files(self):
        with open(os.path.join(SOURCE_DIR, "tools", "demo-store", "data", "default.json"), encoding="utf-8") as f:
            store_keys = set(json.load(f))
        self.assertLessEqual(set(self.data), store_keys)
        self.assertEqual(self.data["accounts"], {"demo": "demo"})
        self.assertEqual(self.data["catalog"]["size"], "demo")
        self.assertIn(self.data["catalog"]["size"], make_catalog.SIZES)

        ids = [e["id"] for e in self.files]
        keys = [e["key"] for e in self.files]
        self.assertEqual(len(set(ids)), len(ids))
        self.assertEqual(len(set(keys)), len(keys))
        for entry in self.files:
            with self.subTest(entry["id"]):
                self.assertLessEqual(BASKET_KEYS, set(entry))
                self.assertRegex(entry["key"], r"^[0-9a-f]{64}$")
                self.assertIn(entry["filetype"], (0, 1, 2))
                if "content" in entry:
                    self.assertTrue(os.path.isabs(entry["content"]))
                    self.assertEqual(os.path.dirname(entry["content"]), os.path.abspath(self.out))
                    self.assertEqual(entry["filesize"], os.path.getsize(entry["content"]))
                    self.assertGreater(entry["filesize"], 0)
                    self.assertEqual(cd.basket_extension(entry), os.path.splitext(entry["content"])[1])
        encoding = [e for e in self.files if "content" not in e]
        self.assertEqual([e["filesize"] for e in encoding], [0])
        exts = [e["fileext"] for e in self.files]
        self.assertTrue(any(x.startswith(".") for x in exts) and any(not x.startswith(".") for x in exts))
        names = " ".join(e[k] for e in self.files for k in ("groupname", "albumname", "songname"))
        self.assertRegex(names, "[а-яА-Я]")
        self.assertRegex(names, "[éèàùçñøåöüë]")

    def test_originals_carry_no_tags_but_the_m4a(self):
        for entry in self.songs:
            with self.subTest(entry["content"]):
                if entry["content"].endswith(".m4a"):
                    self.assertEqual(cd.tag_problems(entry["content"], entry), [])
                else:
                    self.assertEqual(cd.read_tags(entry["content"]),
                                     {"artist": [], "album": [], "title": [], "track": [], "year": []})

    def test_cache_and_determinism(self):
        before = {e["content"]: os.stat(e["content"]).st_mtime_ns for e in self.songs}
        r = run_tool("make_demo.py", "--out", self.out)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertIn("up to date", r.stdout)
        self.assertEqual({p: os.stat(p).st_mtime_ns for p in before}, before)

        # A damaged cache is made again, byte for byte the same.
        target = self.songs[0]["content"]
        with open(target, "rb") as f:
            original = f.read()
        with open(target, "ab") as f:
            f.write(b"x")
        r = run_tool("make_demo.py", "--out", self.out, "--quiet")
        self.assertEqual((r.returncode, r.stdout), (0, ""), r.stderr)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), original)
        with open(self.data_path, encoding="utf-8") as f:
            self.assertEqual(json.load(f), self.data)

    def test_file_names_follow_the_client_rules(self):
        d = "%G/%A (%Y)/%T - %S"
        cases = [
            # mask, group, album, song, ext, track, year, replace spaces, name
            (d, "Лунный Берег", "Тихий берег", "Северный ветер", ".mp3", 1, 2004, False,
             "Лунный Берег/Тихий берег (2004)/01 - Северный ветер.mp3"),
            (d, "AC/DC", "Vol. 2: Live", 'Say "Où?" *|<>\\', ".ogg", 123, 0, False,
             "AC-DC/Vol- 2- Live (0)/123 - Say -Où-- -----.ogg"),
            (d, "A B", "C D", "E F", ".wma", 7, 1999, True, "A_B/C_D (1999)/07 - E_F.wma"),
            ("  /%l/%g - %s %% %t\t", "/slash", "x", "y", ".flac", 0, 1, False, "-/-slash - y % 00.flac"),
            ("%L/%S", "Émile", "x", "Ça", ".mpc", 1, 1, False, "É/Ça.mpc"),
        ]
        for mask, group, album, song, ext, track, year, spaces, name in cases:
            with self.subTest(mask=mask, group=group):
                self.assertEqual(cd.file_name_by_mask(mask, group, album, song, ext, track, year, spaces), name)
        for mask in ("%G/%X", "%G/%", "%G/%%%"):
            with self.subTest(mask=mask), self.assertRaises(ValueError):
                cd.file_name_by_mask(mask, "g", "a", "s", ".mp3", 1, 1)
        entry = {"groupname": "Rock `n` Roll", "albumname": "a", "songname": "s", "fileext": " m4a ", "tracknum": 2,
                 "albumyear": 2000}
        self.assertEqual(cd.expected_path(entry), "Rock 'n' Roll/a (2000)/02 - s.m4a")

    def make_downloads(self, name):
        """A download folder as the client leaves it: each song at its path, tagged."""
        folder = os.path.join(self.dir, name)
        for entry in self.songs:
            path = os.path.join(folder, cd.expected_path(entry))
            os.makedirs(os.path.dirname(path), exist_ok=True)
            shutil.copyfile(entry["content"], path)
            tag_like_the_client(path, entry)
        return folder

    def path_of(self, folder, ext):
        entry = next(e for e in self.songs if e["content"].endswith(ext))
        return entry, os.path.join(folder, cd.expected_path(entry))

    def test_checker_passes_tagged_downloads(self):
        folder = self.make_downloads("good")
        r = run_tool("check_downloads.py", folder, self.data_path)
        self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        lines = r.stdout.splitlines()
        self.assertEqual(sum(line.startswith("OK") for line in lines), len(self.files), r.stdout)
        self.assertIn("Лунный Берег/Тихий берег (2004)/01 - Северный ветер.mp3", r.stdout)

    def test_checker_finds_a_changed_audio_byte_in_every_format(self):
        folder = self.make_downloads("flipped")
        for ext in sorted(SIX):
            with self.subTest(ext):
                entry, path = self.path_of(folder, ext)
                offset = flip_audio_byte(path)
                self.assertGreater(offset, 2048)
                problems = cd.check_file(entry, path)
                self.assertTrue(any("audio" in p or "ffmpeg" in p for p in problems), problems)

    def test_checker_finds_wrong_tags_changed_audio_and_stray_files(self):
        folder = self.make_downloads("wrong")
        entry, path = self.path_of(folder, ".flac")
        audio = mutagen.flac.FLAC(path)
        audio["ARTIST"] = [entry["groupname"], "Someone Else"]
        audio["DATE"] = "1999"
        audio.save()
        entry, path = self.path_of(folder, ".mp3")
        tags = mutagen.id3.ID3(path)
        tags.delall("TRCK")
        tags.save(path, v2_version=3)
        os.remove(self.path_of(folder, ".wma")[1])
        flip_audio_byte(self.path_of(folder, ".mpc")[1])
        encoding = next(e for e in self.files if "content" not in e)
        stray = os.path.join(folder, cd.expected_path(encoding) + ".downloading")
        os.makedirs(os.path.dirname(stray), exist_ok=True)
        open(stray, "wb").close()

        r = run_tool("check_downloads.py", folder, self.data_path)
        self.assertEqual(r.returncode, 1, r.stdout + r.stderr)
        fails = [line for line in r.stdout.splitlines() if line.startswith("FAIL")]
        text = "\n".join(fails)
        self.assertRegex(text, r"\.flac: artist \[.*'Someone Else'\].*year \['1999'\], expected 2011")
        self.assertRegex(text, r"01 - Северный ветер\.mp3: track missing, expected 1")
        self.assertRegex(text, r"\.wma: not downloaded")
        self.assertRegex(text, r"\.mpc: audio packets differ from the original; decoded audio differs")
        self.assertRegex(text, r"still encoding\): a working file exists")
        self.assertRegex(text, r"working file left: .*Последний трамвай\.mp3\.downloading")
        self.assertEqual(len(fails), 6, r.stdout)

    def test_checker_refuses_a_bad_mask(self):
        r = run_tool("check_downloads.py", self.dir, self.data_path, "--mask", "%G/%Q")
        self.assertEqual(r.returncode, 2)
        self.assertIn("unsupported sequence", r.stderr)


if __name__ == "__main__":
    unittest.main()
