#!/usr/bin/python3
"""Catalog files and partial update packages for tests, the demo store and
the benchmarks.

A catalog file is the SQLite database the client keeps as svxc.s3db: the
tables Volumes, Groups, Albums, AlbumTypes, Songs and the one-row Version
table. A partial package is the XML change document that lifts a catalog
from one data version to the next with records that insert, replace or
delete groups, albums and songs.

Everything is deterministic for a given seed. Standard library only.

Command line:
  make_catalog.py catalog OUT.s3db [--size empty|tiny|demo|large] [--seed N] [--version V]
  make_catalog.py partial CATALOG.s3db OUT.xml [--to-version V] [--records N]
                  [--seed N] [--sql OUT.sql] [--apply]

Functions for other tools (the demo store imports this module):
  create_catalog(path, size, seed, version)       -> summary dict
  plan_partial(catalog_path, records, seed)       -> list of Record
  write_partial_xml(records, path, version)       the package document
  partial_sql(records, version)                   the same changes as SQL text
  apply_partial(catalog_path, records, version)   applies them to a catalog file
  make_partial(catalog_path, xml_path, ...)       plan + XML (+ SQL, + apply)
  read_version(catalog_path)                      (structure, data)
"""

import argparse
import datetime
import math
import os
import random
import sqlite3
import sys
from collections import namedtuple
from xml.sax.saxutils import escape, quoteattr

SIZES = ("empty", "tiny", "demo", "large")

# Day 0 of the store's day numbers.
DAY_ZERO = datetime.date(1899, 12, 30)

# Access types kept in Albums.Type.
AT_FREE, AT_VIP, AT_OE, AT_OEEX = 0, 1, 2, 3
# Album kinds kept in Albums.AlbumType.
KIND_NAMES = {1: "Album", 2: "Compilation", 3: "Single", 4: "Remix", 5: "Live show"}

VOLUMES = [
    (1, "Music", "Музыка"),
    (5, "Soundtracks", "Саундтреки"),
    (7, "Classical music", "Классическая музыка"),
]

SCHEMA = """
create table Volumes (VolumeID integer primary key, Name varchar(100), RussianName varchar(100));
create table Groups (GroupID integer primary key, Volume integer not null, Name varchar(300));
create index Groups_Volume on Groups (Volume);
create table Albums (GroupID integer not null, AlbumID integer not null, Name varchar(300),
    Type smallint, RDate date, AlbumType smallint, primary key (GroupID, AlbumID)) without rowid;
create table AlbumTypes (ID integer primary key, Name varchar(50));
create table Songs (GroupID integer not null, AlbumID integer not null, SongID integer not null,
    Name varchar(300), TrackNum integer, Duration smallint, Bitrate smallint,
    primary key (GroupID, AlbumID, SongID)) without rowid;
create table Version (Structure integer not null, Data integer not null);
"""

# One change of a partial package. action is "DEL" or "" (insert or
# replace); rectype 1 group, 2 album, 3 song. sd is the release date as the
# package writes it (days since 30 December 1899, maybe with a fraction),
# type the store's sale code (5 on-line encoding, 6 its extended form,
# anything else VIP), albumtype the album kind.
Record = namedtuple(
    "Record",
    "action rectype group album song volume name sd type albumtype track duration bitrate",
    defaults=(0, 0, 0, "", "0", 1, 1, 0, 0, 0),
)

# --------------------------------------------------------------------------
# Names

ADJECTIVES = (
    "Silent Golden Broken Electric Crimson Hollow Velvet Distant Burning Frozen Wild Lonely Secret "
    "Midnight Northern Paper Glass Silver Restless Sleeping Endless Quiet Bitter Sweet Faded Hidden "
    "Open Lost Little Crooked Gentle Savage Bright Heavy Hungry Neon Rusty Wooden Copper Scarlet"
).split()
NOUNS = (
    "River Heart Road Window Summer Ocean Mirror Garden Harbour Lantern Shadow Morning Train City "
    "Mountain Letter Station Fire Island Bridge Winter Signal Machine Forest Desert Stranger Engine "
    "Moon Horizon Kingdom Anchor Compass Orchard Canyon Meadow Skyline Tide Echo Coast Valley Storm"
).split()
SONG_PATTERNS = (
    "{A} {N}", "The {A} {N}", "{N} of the {N}", "Under the {A} {N}", "{N} Song", "Back to the {N}",
    "{A} Hearts", "Waiting for the {N}", "{N} (Reprise)", "{A} {N}, Pt. 2", "Where the {N} Ends",
    "Don't Leave the {N}", "{N} & {N}", "Another {A} Day", "{A} {N} (Live)", "Call of the {N}",
)
ALBUM_PATTERNS = (
    "{A} {N}", "The {N} Sessions", "{N}s", "Songs from the {N}", "{A} Days", "{A} {N}s",
    "{N} EP", "Return to {N}", "A {A} Year", "{N} and {N}",
)
# Album names that go with a kind other than a plain album.
KIND_PATTERNS = {2: ("The Best of {G}", "Collected {N}s", "{G}: Anthology"),
                 4: ("{N} Remixed", "{A} {N} (Remixes)"),
                 5: ("Live in Lisbon", "Live at the {N}", "Live in Kraków", "Live in Montréal", "Концерт в Москве")}
CYRILLIC_ADJECTIVES = "Тихий Белый Северный Звёздный Последний Ночной Летний Золотой Синий Далёкий".split()
CYRILLIC_NOUNS = "берег ветер город дождь мост вокзал сад свет поезд океан".split()
SCORE_TITLES = (
    "Main Title", "The Chase", "Arrival", "Across the Ice", "Night Watch", "Homecoming", "End Credits",
    "The Long Road", "Departure", "Storm Over the Bay", "First Light", "The Council", "Escape",
)
CLASSICAL_FORMS = (
    ("Sonata No. {n} in {k}", ("I. Allegro", "II. Adagio", "III. Rondo. Allegretto")),
    ("Symphony No. {n} in {k}", ("I. Allegro con brio", "II. Andante", "III. Scherzo", "IV. Finale. Presto")),
    ("String Quartet No. {n} in {k}", ("I. Moderato", "II. Lento", "III. Allegro vivace")),
    ("Concerto No. {n} in {k}", ("I. Allegro maestoso", "II. Larghetto", "III. Vivace")),
)
KEYS = ("C major", "E minor", "G major", "D minor", "B-flat major", "F-sharp minor", "A major", "E-flat major")

# The demo catalog's groups: (section, name). Cyrillic, accented Latin,
# digits and punctuation-led names, upper and lower case.
DEMO_GROUPS = [
    (1, "Amber Coastline"), (1, "amber Waves"), (1, "Blue Harbour Trio"), (1, "Copper Lanterns"),
    (1, "Delta Nine"), (1, "Echo Parade"), (1, "Élodie Marchand"), (1, "Émeraude"),
    (1, "Åsa Lindqvist & the Northern Lights"), (1, "Zephyr Kings"), (1, "Zoë Brandt"),
    (1, "Über Lärm"), (1, "Ñandú Club"), (1, "Лунный Берег"), (1, "Северный Ветер"),
    (1, "Белые Ночи"), (1, "Ёлочные Огни"), (1, "Ярослава"), (1, "3 Moons over Tallinn"),
    (1, "50 Rivers"), (1, "7th Avenue Quartet"), (1, "(Parenthesis)"), (1, "...And the Tide"),
    (1, "'Til Morning"), (1, "!Nova"), (1, "?Uestion Mark Society"), (1, "[Bracket] Collective"),
    (1, "#Hashtag Hearts"), (1, "@Home"),
    (5, "Orchestra of Lost Cities"), (5, "Neon Skyline Score"), (5, "Хроники Севера"),
    (5, "9 Worlds Ensemble"), (5, "Études Cinématiques"), (5, "\"Quoted\" Pictures Orchestra"),
    (5, "Pixel Dreams Sound Team"),
    (7, "Anna Kowalczyk (piano)"), (7, "Sinfonietta Borealis"), (7, "Čapek Trio"),
    (7, "Мария Соколова"), (7, "Quartetto Aurelio"), (7, "1st Chamber Soloists"), (7, "Orchestre Lumière"),
]


def _song_name(rng, cyrillic=False):
    if cyrillic:
        return "%s %s" % (rng.choice(CYRILLIC_ADJECTIVES), rng.choice(CYRILLIC_NOUNS))
    pattern = rng.choice(SONG_PATTERNS)
    return pattern.replace("{A}", rng.choice(ADJECTIVES), 1).replace("{N}", rng.choice(NOUNS), 1) \
        .replace("{N}", rng.choice(NOUNS), 1)


def _album_name(rng, group_name, cyrillic=False, kind=1):
    if kind in KIND_PATTERNS and group_name:
        pattern = rng.choice(KIND_PATTERNS[kind])
    elif cyrillic:
        return "%s %s" % (rng.choice(CYRILLIC_ADJECTIVES), rng.choice(CYRILLIC_NOUNS))
    else:
        pattern = rng.choice(ALBUM_PATTERNS)
    for noun in (rng.choice(NOUNS), rng.choice(NOUNS)):
        pattern = pattern.replace("{N}s", noun + ("es" if noun.endswith("s") else "s"), 1).replace("{N}", noun, 1)
    return pattern.replace("{A}", rng.choice(ADJECTIVES)).replace("{G}", group_name)


def _is_cyrillic(text):
    return any("\u0400" <= ch <= "\u04ff" for ch in text)


def _random_date(rng, first_year=1965, last_year=2024):
    start = datetime.date(first_year, 1, 1).toordinal()
    end = datetime.date(last_year, 12, 31).toordinal()
    return datetime.date.fromordinal(rng.randint(start, end))


def _iso(date):
    return date.isoformat()


def date_to_day(date):
    """The store's day number of a date."""
    return (date - DAY_ZERO).days


def day_to_date(day):
    return DAY_ZERO + datetime.timedelta(days=day)


def convert_to_album_type(code):
    """The access type stored for the store's sale code."""
    return {5: AT_OE, 6: AT_OEEX}.get(int(code), AT_VIP)


def _sale_code(rng, access_type):
    """A sale code that maps back to the access type (atFree never comes from a package)."""
    if access_type == AT_OE:
        return 5
    if access_type == AT_OEEX:
        return 6
    return rng.choice((0, 1, 2, 3, 4, 7))


# --------------------------------------------------------------------------
# Catalog files

def _create_schema(db, version):
    for statement in SCHEMA.split(";"):
        if statement.strip():
            db.execute(statement)
    db.executemany("insert into Volumes values (?, ?, ?)", VOLUMES)
    db.executemany("insert into AlbumTypes values (?, ?)", sorted(KIND_NAMES.items()))
    db.execute("insert into Version (Structure, Data) values (1, ?)", (version,))


def _demo_rows(rng):
    groups, albums, songs = [], [], []
    kinds = [1, 2, 3, 4, 5]
    kind_turn = 0
    for group_id, (volume, name) in enumerate(DEMO_GROUPS, start=1):
        group_id *= 10  # not dense, like the store's
        groups.append((group_id, volume, name))
        cyrillic = _is_cyrillic(name)
        for album_id in range(1, rng.randint(1, 4) + 1):
            kind = kinds[kind_turn % len(kinds)] if rng.random() < 0.5 else 1
            kind_turn += 1
            access = rng.choice((AT_VIP, AT_VIP, AT_VIP, AT_OE, AT_OEEX, AT_FREE))
            if volume == 7:
                form, movements = rng.choice(CLASSICAL_FORMS)
                album_name = form.format(n=rng.randint(1, 9), k=rng.choice(KEYS))
                titles = ["%s: %s" % (album_name, m) for m in movements]
                titles += ["Encore: %s" % rng.choice(SCORE_TITLES)] if rng.random() < 0.3 else []
                durations = [rng.randint(240, 1500) for _ in titles]
            elif volume == 5:
                album_name = "%s (Original Soundtrack)" % _album_name(rng, name)
                titles = rng.sample(SCORE_TITLES, rng.randint(5, 10))
                durations = [rng.randint(60, 420) for _ in titles]
            else:
                album_name = _album_name(rng, name, cyrillic, kind)
                titles = [_song_name(rng, cyrillic and rng.random() < 0.8) for _ in range(rng.randint(4, 12))]
                if kind == 3:
                    titles = titles[:rng.randint(1, 3)]
                    album_name = titles[0]
                durations = [rng.randint(95, 540) for _ in titles]
            albums.append((group_id, album_id, album_name, access, _iso(_random_date(rng)), kind))
            bitrate = rng.choice((128, 192, 256, 320))
            for track, (title, duration) in enumerate(zip(titles, durations), start=1):
                songs.append((group_id, album_id, track, title, track, duration, bitrate))
    # Every kind at least once, whatever the seed.
    present = {a[5] for a in albums}
    for i, kind in enumerate(k for k in kinds if k not in present):
        g, a, n, t, d, _ = albums[i]
        albums[i] = (g, a, n, t, d, kind)
    return groups, albums, songs


def _tiny_rows(rng):
    groups, albums, songs = [], [], []
    names = [(1, "Alpha Band"), (1, "beta Rays"), (1, "Ёж и Ко"), (5, "Gamma Score"), (5, "3 Deltas")]
    for group_id, (volume, name) in enumerate(names, start=1):
        groups.append((group_id, volume, name))
        for album_id in (1, 2):
            kind = (group_id + album_id) % 5 + 1
            access = (AT_VIP, AT_OE, AT_OEEX)[(group_id + album_id) % 3]
            albums.append((group_id, album_id, "%s %d" % (_album_name(rng, name), album_id), access,
                           _iso(_random_date(rng, 1990, 2020)), kind))
            for song_id in (1, 2, 3):
                songs.append((group_id, album_id, song_id, _song_name(rng), song_id, rng.randint(100, 400),
                              rng.choice((128, 192, 320))))
    return groups, albums, songs


def _large_rows(rng, group_count=100000, albums_per_group=2, songs_per_album=5):
    """All groups in section 1: the benchmark loads one 100,000-group section."""
    song_pool = [_song_name(rng) for _ in range(5000)]
    album_pool = [_album_name(rng, "") for _ in range(2000)]
    starts = [""] * 80 + ["The "] * 8 + ["(", "'", "3 ", "50 ", "?", "[", "!", "Ñ"] + ["Й", "Ж", "Ё", "É"]

    def groups():
        for g in range(1, group_count + 1):
            name = "%s%s %s %d" % (rng.choice(starts), rng.choice(ADJECTIVES), rng.choice(NOUNS), g)
            if rng.random() < 0.1:
                name = name.lower()
            yield (g, 1, name)

    def albums():
        r = random.Random(rng.random())
        base = date_to_day(datetime.date(1960, 1, 1))
        for g in range(1, group_count + 1):
            for a in range(1, albums_per_group + 1):
                day = base + r.randrange(23000)
                yield (g, a, r.choice(album_pool), r.choice((1, 1, 1, 2, 3)), _iso(day_to_date(day)),
                       r.randint(1, 5))

    def songs():
        r = random.Random(rng.random())
        for g in range(1, group_count + 1):
            for a in range(1, albums_per_group + 1):
                bitrate = r.choice((128, 192, 256, 320))
                for s in range(1, songs_per_album + 1):
                    yield (g, a, s, r.choice(song_pool), s, r.randint(90, 600), bitrate)

    return groups(), albums(), songs()


def create_catalog(path, size="tiny", seed=1, version=1):
    """Writes a catalog file (replacing any file at path) and returns counts."""
    if size not in SIZES:
        raise ValueError("unknown size %r (one of %s)" % (size, ", ".join(SIZES)))
    if os.path.exists(path):
        os.remove(path)
    rng = random.Random("%s:%s" % (size, seed))
    db = sqlite3.connect(path, isolation_level=None)
    try:
        db.execute("pragma journal_mode = off" if size == "large" else "pragma journal_mode = delete")
        db.execute("pragma synchronous = off")
        db.execute("begin")
        _create_schema(db, version)
        if size == "tiny":
            rows = _tiny_rows(rng)
        elif size == "demo":
            rows = _demo_rows(rng)
        elif size == "large":
            rows = _large_rows(rng)
        else:
            rows = ([], [], [])
        groups, albums, songs = rows
        db.executemany("insert into Groups (GroupID, Volume, Name) values (?, ?, ?)", groups)
        db.executemany("insert into Albums (GroupID, AlbumID, Name, Type, RDate, AlbumType) "
                       "values (?, ?, ?, ?, ?, ?)", albums)
        db.executemany("insert into Songs (GroupID, AlbumID, SongID, Name, TrackNum, Duration, Bitrate) "
                       "values (?, ?, ?, ?, ?, ?, ?)", songs)
        db.execute("commit")
        db.execute("pragma journal_mode = delete")
        counts = {t: db.execute("select count(*) from %s" % t).fetchone()[0]
                  for t in ("Groups", "Albums", "Songs")}
    finally:
        db.close()
    counts.update(path=path, size=size, seed=seed, version=version)
    return counts


def read_version(catalog_path):
    db = sqlite3.connect(catalog_path)
    try:
        return tuple(db.execute("select Structure, Data from Version").fetchone())
    finally:
        db.close()


# --------------------------------------------------------------------------
# Partial packages

class _Planner:
    """Chooses the changes of a package against an existing catalog."""

    def __init__(self, db, rng):
        self.db = db
        self.rng = rng
        self.group_ids = [r[0] for r in db.execute("select GroupID from Groups order by GroupID")]
        self.volumes = dict(db.execute("select GroupID, Volume from Groups"))
        self.sections = [r[0] for r in db.execute("select VolumeID from Volumes order by VolumeID")] or [1]
        rng.shuffle(self.group_ids)
        self.turn = 0
        self.next_group = max(self.group_ids, default=0) + 1
        self.cache = {}
        self.touched = set()      # keys already changed: (g,), (g, a), (g, a, s)
        self.deleted_groups = set()
        self.records = []

    def _group(self):
        """The next existing group in shuffled order, or None."""
        for _ in range(len(self.group_ids)):
            g = self.group_ids[self.turn % len(self.group_ids)]
            self.turn += 1
            if g not in self.deleted_groups:
                return g
        return None

    def _content(self, g):
        if g not in self.cache:
            albums = {a: list(rest) for a, *rest in self.db.execute(
                "select AlbumID, Name, Type, RDate, AlbumType from Albums where GroupID = ? order by AlbumID", (g,))}
            songs = {}
            for a, s, track in self.db.execute(
                    "select AlbumID, SongID, TrackNum from Songs where GroupID = ? order by AlbumID, SongID", (g,)):
                songs.setdefault(a, []).append((s, track))
            self.cache[g] = (albums, songs)
        return self.cache[g]

    def _album_record(self, g, a, name=None):
        rng = self.rng
        access = rng.choice((AT_VIP, AT_VIP, AT_OE, AT_OEEX))
        day = date_to_day(_random_date(rng, 1970, 2025))
        sd = rng.choice(("%d" % day, "%d.0" % day, "%d.25" % day, "%d.75" % day, "%d.5" % day))
        return Record("", 2, g, a, name=name or _album_name(rng, "", rng.random() < 0.1), sd=sd, type=_sale_code(rng, access),
                      albumtype=rng.randint(1, 5))

    def _song_record(self, g, a, s, track):
        rng = self.rng
        return Record("", 3, g, a, s, name=_song_name(rng, rng.random() < 0.1), track=track,
                      duration=rng.randint(90, 600), bitrate=rng.choice((128, 192, 256, 320)))

    # Inserts
    def insert_group(self):
        g = self.next_group
        self.next_group += 1
        rng = self.rng
        name = "%s %s" % (rng.choice(ADJECTIVES), rng.choice(NOUNS))
        if rng.random() < 0.2:
            name = "%s %s" % (rng.choice(CYRILLIC_ADJECTIVES), rng.choice(CYRILLIC_NOUNS))
        out = [Record("", 1, g, volume=rng.choice(self.sections), name=name)]
        for a in range(1, rng.randint(1, 2) + 1):
            out.append(self._album_record(g, a))
            out += [self._song_record(g, a, s, s) for s in range(1, rng.randint(1, 4) + 1)]
        self.touched.add((g,))
        return out

    def insert_album(self):
        g = self._group()
        if g is None:
            return []
        albums, _ = self._content(g)
        a = max(albums, default=0) + 1
        albums[a] = ["", AT_VIP, "", 1]
        self.touched.add((g, a))
        return [self._album_record(g, a)] + [self._song_record(g, a, s, s)
                                             for s in range(1, self.rng.randint(1, 3) + 1)]

    def insert_song(self):
        g = self._group()
        if g is None:
            return []
        albums, songs = self._content(g)
        if not albums:
            return []
        a = self.rng.choice(sorted(albums))
        present = songs.setdefault(a, [])
        s = max((x[0] for x in present), default=0) + 1
        present.append((s, s))
        self.touched.add((g, a, s))
        return [self._song_record(g, a, s, s)]

    # Replaces
    def replace_group(self):
        g = self._group()
        if g is None or (g,) in self.touched:
            return []
        self.touched.add((g,))
        rng = self.rng
        return [Record("", 1, g, volume=self.volumes.get(g, 1),
                       name="%s %s (%d)" % (rng.choice(ADJECTIVES), rng.choice(NOUNS), g))]

    def replace_album(self):
        g = self._group()
        if g is None:
            return []
        albums, _ = self._content(g)
        free = [a for a in sorted(albums) if (g, a) not in self.touched]
        if not free:
            return []
        a = self.rng.choice(free)
        self.touched.add((g, a))
        return [self._album_record(g, a, name=(albums[a][0] or "") + " (Remastered)")]

    def replace_song(self):
        g = self._group()
        if g is None:
            return []
        _, songs = self._content(g)
        free = [(a, s, t) for a in sorted(songs) for s, t in songs[a] if (g, a, s) not in self.touched]
        if not free:
            return []
        out = []
        for a, s, t in self.rng.sample(free, min(len(free), self.rng.randint(1, 3))):
            self.touched.add((g, a, s))
            out.append(self._song_record(g, a, s, t))
        return out

    # Deletes
    def delete_song(self):
        g = self._group()
        if g is None:
            return []
        _, songs = self._content(g)
        free = [(a, s) for a in sorted(songs) for s, _ in songs[a] if (g, a, s) not in self.touched]
        if not free:
            return []
        a, s = self.rng.choice(free)
        self.touched.add((g, a, s))
        songs[a] = [x for x in songs[a] if x[0] != s]
        return [Record("DEL", 3, g, a, s)]

    def delete_album(self):
        g = self._group()
        if g is None:
            return []
        albums, songs = self._content(g)
        free = [a for a in sorted(albums) if (g, a) not in self.touched
                and all((g, a, s) not in self.touched for s, _ in songs.get(a, []))]
        if not free:
            return []
        a = self.rng.choice(free)
        self.touched.add((g, a))
        out = [Record("DEL", 3, g, a, s) for s, _ in songs.pop(a, [])]
        del albums[a]
        return out + [Record("DEL", 2, g, a)]

    def delete_group(self):
        g = self._group()
        if g is None or any(k[0] == g for k in self.touched):
            return []
        albums, songs = self._content(g)
        out = []
        for a in sorted(albums):
            out += [Record("DEL", 3, g, a, s) for s, _ in songs.get(a, [])]
            out.append(Record("DEL", 2, g, a))
        out.append(Record("DEL", 1, g))
        self.deleted_groups.add(g)
        self.touched.add((g,))
        return out


# (operation, weight): inserts about 40%, replaces 40%, deletes 20% of the records.
_OPERATIONS = (
    ("insert_group", 4), ("insert_album", 5), ("insert_song", 20),
    ("replace_group", 10), ("replace_album", 10), ("replace_song", 15),
    ("delete_song", 12), ("delete_album", 3), ("delete_group", 1),
)


def plan_partial(catalog_path, records=40, seed=1):
    """The records of a package against the catalog at catalog_path: inserts,
    replaces and deletes of groups, albums and songs, exactly `records` long
    (at least nine, so that every one of the nine changes appears)."""
    records = max(int(records), len(_OPERATIONS))
    rng = random.Random("partial:%s" % seed)
    db = sqlite3.connect(catalog_path)
    try:
        planner = _Planner(db, rng)
        out = []
        # Each kind of change once first, then by weight.
        for name, _ in _OPERATIONS:
            out += getattr(planner, name)()
        names = [n for n, _ in _OPERATIONS]
        weights = [w for _, w in _OPERATIONS]
        idle = 0
        while len(out) < records:
            batch = getattr(planner, rng.choices(names, weights)[0])()
            idle = 0 if batch else idle + 1
            if idle > 50:  # a small catalog is used up: only inserts remain
                batch = planner.insert_group()
            out += batch
        return out[:records]
    finally:
        db.close()


def _attributes(record):
    r = record
    if r.action == "DEL":
        keys = {1: ("group",), 2: ("group", "album"), 3: ("group", "album", "song")}[r.rectype]
        pairs = [("action", "DEL"), ("rectype", r.rectype)] + [(k, getattr(r, k)) for k in keys]
    elif r.rectype == 1:
        pairs = [("rectype", 1), ("group", r.group), ("volume", r.volume)]
    elif r.rectype == 2:
        pairs = [("rectype", 2), ("group", r.group), ("album", r.album), ("sd", r.sd), ("type", r.type),
                 ("albumtype", r.albumtype)]
    else:
        pairs = [("rectype", 3), ("group", r.group), ("album", r.album), ("song", r.song), ("track", r.track),
                 ("duration", r.duration), ("bitrate", r.bitrate)]
    return " ".join("%s=%s" % (k, quoteattr(str(v))) for k, v in pairs)


def partial_xml(records, version, structure=1):
    lines = ['<?xml version="1.0" encoding="UTF-8"?>',
             '<catalogupdate structure="%d" version="%d">' % (structure, version)]
    for r in records:
        if r.action == "DEL":
            lines.append("  <record %s/>" % _attributes(r))
        else:
            lines.append("  <record %s>%s</record>" % (_attributes(r), escape(r.name)))
    lines.append("</catalogupdate>")
    return "\n".join(lines) + "\n"


def write_partial_xml(records, path, version, structure=1):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(partial_xml(records, version, structure))


def _sql_text(text):
    return "'" + text.replace("'", "''") + "'"


def _statement(r):
    if r.action == "DEL":
        if r.rectype == 1:
            return "delete from Groups where GroupID = %d;" % r.group
        if r.rectype == 2:
            return "delete from Albums where GroupID = %d and AlbumID = %d;" % (r.group, r.album)
        return "delete from Songs where GroupID = %d and AlbumID = %d and SongID = %d;" % (r.group, r.album, r.song)
    if r.rectype == 1:
        return "replace into Groups (GroupID, Volume, Name) values (%d, %d, %s);" % (
            r.group, r.volume, _sql_text(r.name))
    if r.rectype == 2:
        date = day_to_date(math.trunc(float(r.sd)))
        return "replace into Albums (GroupID, AlbumID, Name, Type, RDate, AlbumType) values (%d, %d, %s, %d, '%s', %d);" % (
            r.group, r.album, _sql_text(r.name), convert_to_album_type(r.type), _iso(date), r.albumtype)
    return "replace into Songs (GroupID, AlbumID, SongID, Name, TrackNum, Duration, BitRate) values (%d, %d, %d, %s, %d, %d, %d);" % (
        r.group, r.album, r.song, _sql_text(r.name), r.track, r.duration, r.bitrate)


def partial_sql(records, version):
    """The package's changes as one SQL transaction (what installing it does)."""
    lines = ["begin;"]
    lines += [_statement(r) for r in records]
    lines.append("update Version set Data = %d where Structure = 1;" % version)
    lines.append("commit;")
    return "\n".join(lines) + "\n"


def apply_partial(catalog_path, records, version):
    db = sqlite3.connect(catalog_path, isolation_level=None)
    try:
        db.executescript(partial_sql(records, version))
    finally:
        db.close()


def make_partial(catalog_path, xml_path, to_version=None, records=40, seed=1, sql_path=None, apply=False):
    """Plans a package against the catalog, writes its XML (and the
    equivalent SQL), optionally applies it to the catalog; returns a summary."""
    _, current = read_version(catalog_path)
    version = current + 1 if to_version is None else int(to_version)
    planned = plan_partial(catalog_path, records, seed)
    write_partial_xml(planned, xml_path, version)
    if sql_path:
        with open(sql_path, "w", encoding="utf-8", newline="\n") as f:
            f.write(partial_sql(planned, version))
    if apply:
        apply_partial(catalog_path, planned, version)
    kinds = {}
    for r in planned:
        key = ("delete" if r.action == "DEL" else "replace", {1: "group", 2: "album", 3: "song"}[r.rectype])
        kinds[key] = kinds.get(key, 0) + 1
    return {"path": xml_path, "from_version": current, "version": version, "records": len(planned),
            "kinds": kinds}


# --------------------------------------------------------------------------

def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("catalog", help="write a catalog file")
    c.add_argument("out")
    c.add_argument("--size", choices=SIZES, default="tiny")
    c.add_argument("--seed", type=int, default=1)
    c.add_argument("--version", type=int, default=1, help="the data version in the Version row")
    p = sub.add_parser("partial", help="write a partial package against a catalog file")
    p.add_argument("catalog")
    p.add_argument("out")
    p.add_argument("--to-version", type=int, help="the version the package brings (default: current + 1)")
    p.add_argument("--records", type=int, default=40)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--sql", help="also write the same changes as an SQL script")
    p.add_argument("--apply", action="store_true", help="also apply the changes to the catalog file")
    args = parser.parse_args(argv)
    if args.command == "catalog":
        summary = create_catalog(args.out, args.size, args.seed, args.version)
        print("%(path)s: %(Groups)d groups, %(Albums)d albums, %(Songs)d songs, version %(version)d" % summary)
    else:
        summary = make_partial(args.catalog, args.out, args.to_version, args.records, args.seed, args.sql, args.apply)
        print("%(path)s: %(records)d records, version %(from_version)d -> %(version)d" % summary)
    return 0


if __name__ == "__main__":
    sys.exit(main())
