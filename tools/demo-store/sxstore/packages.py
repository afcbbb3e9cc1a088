"""Catalog update packages built with the catalog generator
(tools/catalog-gen/make_catalog.py) and cached for the life of the store.

A chain is one full catalog at full_version and the partial packages that
lift it one version at a time; partial package v is planned against the
catalog at v-1, so installing the chain in order gives the generator's own
catalog at v. A package is a ZIP whose first entry is the file to install:
"svxc.s3db" for the full package, "svxc_<v>.xml" for a partial one.
"""

import atexit
import io
import os
import shutil
import sys
import tempfile
import threading
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "catalog-gen"))
import make_catalog  # noqa: E402

_lock = threading.Lock()
_root = None


def _cache_root():
    global _root
    if _root is None:
        _root = tempfile.mkdtemp(prefix="sx-demo-store-")
        atexit.register(shutil.rmtree, _root, True)
    return _root


class Chain:
    def __init__(self, size, seed, full_version, records):
        self.size, self.seed, self.full_version, self.records = size, int(seed), int(full_version), int(records)
        self.folder = os.path.join(_cache_root(), "%s-%d-%d-%d" % (size, self.seed, self.full_version, self.records))
        self.full_path = os.path.join(self.folder, "full.s3db")
        self.work_path = os.path.join(self.folder, "work.s3db")
        os.makedirs(self.folder, exist_ok=True)
        make_catalog.create_catalog(self.full_path, size, self.seed, self.full_version)
        shutil.copyfile(self.full_path, self.work_path)
        self.top = self.full_version

    def partial_path(self, version):
        return os.path.join(self.folder, "partial-%06d.xml" % version)

    def build_up_to(self, version):
        while self.top < version:
            nxt = self.top + 1
            make_catalog.make_partial(self.work_path, self.partial_path(nxt), to_version=nxt,
                                      records=self.records, seed=self.seed * 1000 + nxt, apply=True)
            self.top = nxt


_chains = {}


def chain(catalog):
    """The chain of a "catalog" data description, built up to its version."""
    key = (catalog["size"], int(catalog["seed"]), int(catalog["full_version"]), int(catalog["records"]))
    with _lock:
        found = _chains.get(key)
        if found is None:
            found = Chain(*key)
            _chains[key] = found
        found.build_up_to(int(catalog["version"]))
        return found


def _zip(entries):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for name, payload in entries:
            z.writestr(zipfile.ZipInfo(name, date_time=(2024, 1, 1, 0, 0, 0)), payload, zipfile.ZIP_DEFLATED)
    return out.getvalue()


def _partial_text(found, version, encoding):
    with open(found.partial_path(version), encoding="utf-8") as f:
        text = f.read()
    if encoding and encoding.lower() not in ("utf-8", "utf8"):
        text = text.replace('encoding="UTF-8"', 'encoding="%s"' % encoding, 1)
        return text.encode(encoding, "xmlcharrefreplace")
    return text.encode("utf-8")


def package(catalog, full, version):
    """The ZIP bytes of a package as served, or None for a missing one."""
    fault = str((catalog.get("faults") or {}).get(str(version), ""))
    if fault == "missing":
        return None
    if fault == "empty_zip":
        return _zip([])
    if fault == "not_zip":
        return b"this is not a zip archive\n" * 10
    found = chain(catalog)
    with _lock:
        if full:
            name = "svxc.s3db"
            with open(found.full_path, "rb") as f:
                payload = f.read()
        else:
            if version <= found.full_version or version > found.top:
                return None
            name = "svxc_%06d.xml" % version
            payload = _partial_text(found, version, catalog.get("encoding"))
    if fault == "bad_xml":
        payload = payload[:len(payload) // 2]
    elif fault == "old_version" and not full:
        payload = payload.replace(b'version="%d"' % version, b'version="%d"' % (version - 1), 1)
    if fault == "dotdot":
        name = "../x"
    elif fault == "nested":
        name = "sub/dir/" + name
    return _zip([(name, payload)])
