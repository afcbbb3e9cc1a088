"""The catalog generator: catalogs and partial packages, deterministic by seed."""

import os
import shutil
import sqlite3
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.join(os.environ.get("SX_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..")),
                                "tools", "catalog-gen"))
import make_catalog as mc  # noqa: E402


def dump(path):
    db = sqlite3.connect(path)
    try:
        return list(db.iterdump())
    finally:
        db.close()


def rows(path, sql, args=()):
    db = sqlite3.connect(path)
    try:
        return db.execute(sql, args).fetchall()
    finally:
        db.close()


class GeneratorTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sx-catalog-gen-")

    def tearDown(self):
        shutil.rmtree(self.dir)

    def path(self, name):
        return os.path.join(self.dir, name)

    def test_same_seed_same_catalog_and_package(self):
        for size in ("tiny", "demo"):
            with self.subTest(size=size):
                mc.create_catalog(self.path("a.s3db"), size, seed=5, version=3)
                mc.create_catalog(self.path("b.s3db"), size, seed=5, version=3)
                mc.create_catalog(self.path("c.s3db"), size, seed=6, version=3)
                self.assertEqual(dump(self.path("a.s3db")), dump(self.path("b.s3db")))
                self.assertNotEqual(dump(self.path("a.s3db")), dump(self.path("c.s3db")))
                mc.make_partial(self.path("a.s3db"), self.path("a.xml"), records=50, seed=2)
                mc.make_partial(self.path("b.s3db"), self.path("b.xml"), records=50, seed=2)
                with open(self.path("a.xml"), "rb") as a, open(self.path("b.xml"), "rb") as b:
                    self.assertEqual(a.read(), b.read())

    def test_demo_catalog_content(self):
        path = self.path("demo.s3db")
        summary = mc.create_catalog(path, "demo", seed=1, version=4)
        self.assertEqual(mc.read_version(path), (1, 4))
        self.assertEqual(rows(path, "select Volume, count(*) > 3 from Groups group by Volume"),
                         [(1, 1), (5, 1), (7, 1)])
        self.assertTrue(24 <= summary["Groups"] <= 60, summary)
        names = [n for (n,) in rows(path, "select Name from Groups")]
        self.assertTrue(any(mc._is_cyrillic(n) for n in names))
        self.assertTrue(any(not n.isascii() and not mc._is_cyrillic(n) for n in names))
        self.assertTrue(any(n[0].isdigit() for n in names))
        self.assertTrue(any(not n[0].isalnum() for n in names))
        self.assertTrue(any(n[0].islower() for n in names))
        self.assertEqual({k for (k,) in rows(path, "select distinct AlbumType from Albums")}, {1, 2, 3, 4, 5})
        self.assertTrue({t for (t,) in rows(path, "select distinct Type from Albums")} <= {0, 1, 2, 3})
        self.assertEqual(rows(path, "select count(*) from Albums a where not exists "
                                    "(select 1 from Songs s where s.GroupID = a.GroupID and s.AlbumID = a.AlbumID)"),
                         [(0,)])
        durations = rows(path, "select min(Duration), max(Duration) from Songs")[0]
        self.assertTrue(60 <= durations[0] and durations[1] <= 1500, durations)
        self.assertTrue({b for (b,) in rows(path, "select distinct Bitrate from Songs")} <= {128, 192, 256, 320})
        self.assertEqual(rows(path, "select count(*) from Albums where RDate not like '____-__-__'"), [(0,)])

    def test_partial_package_has_every_change_and_applies(self):
        catalog = self.path("demo.s3db")
        mc.create_catalog(catalog, "demo", seed=1, version=4)
        groups = {g for (g,) in rows(catalog, "select GroupID from Groups")}
        albums = set(rows(catalog, "select GroupID, AlbumID from Albums"))
        songs = set(rows(catalog, "select GroupID, AlbumID, SongID from Songs"))
        existing = {1: {(g,) for g in groups}, 2: albums, 3: songs}

        summary = mc.make_partial(catalog, self.path("p.xml"), records=80, seed=9, sql_path=self.path("p.sql"))
        self.assertEqual((summary["from_version"], summary["version"], summary["records"]), (4, 5, 80))

        root = ET.parse(self.path("p.xml")).getroot()
        self.assertEqual((root.get("structure"), root.get("version")), ("1", "5"))
        self.assertEqual(len(root), 80)
        seen = set()
        for record in root:
            self.assertEqual(record.tag, "record")
            rectype = int(record.get("rectype"))
            key = tuple(int(record.get(k)) for k in ("group", "album", "song")[:rectype])
            if record.get("action") == "DEL":
                seen.add(("delete", rectype))
                self.assertIn(key, existing[rectype])
            else:
                seen.add(("replace" if key in existing[rectype] else "insert", rectype))
                self.assertTrue(record.text)
        self.assertEqual(seen, {(c, r) for c in ("insert", "replace", "delete") for r in (1, 2, 3)})

        mc.apply_partial(catalog, mc.plan_partial(catalog, 80, 9), 5)
        self.assertEqual(mc.read_version(catalog), (1, 5))
        with open(self.path("p.sql"), encoding="utf-8") as f:
            self.assertTrue(f.read().startswith("begin;\n"))

    def test_small_catalog_still_fills_the_package(self):
        catalog = self.path("empty.s3db")
        mc.create_catalog(catalog, "empty", version=2)
        summary = mc.make_partial(catalog, self.path("e.xml"), records=30, to_version=9, apply=True)
        self.assertEqual(summary["records"], 30)
        self.assertEqual(mc.read_version(catalog), (1, 9))
        self.assertTrue(rows(catalog, "select count(*) from Groups")[0][0] > 0)


if __name__ == "__main__":
    unittest.main()
