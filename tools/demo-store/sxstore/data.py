"""The store's data description: accounts, balance, program version, prices,
page addresses, the catalog it offers and the basket of bought files.

Every key has a default in data/default.json; the configuration (--data FILE
and the control interface) changes it. Dicts merge key by key, lists are replaced whole, so a
test that sets "basket": {"files": [...]} replaces the basket's files.

  accounts        {login: password}
  login           the log-in answer: {"confirmation": "no", "have_messages": "0"}
  balance         the balance shown by the balance page (text)
  balance_page    the whole balance page instead (text)
  app_version     {"version", "release", "url"} of the version text
  app_version_text  the whole version text instead
  prices          {"price_per_mb": hundredths, "ownerlist": [{"id", "bitcostint", "fixcostint"}]}
                  (no "ownerlist" key: the element is left out)
  urls            {url name: address} over the defaults; "{base}" is this
                  store's http://host:port; false leaves the url element out
  catalog         the catalog offered:
                    version       the store's catalog data version
                    full_version  the version of the full package; a client
                                  below it (or at 0) gets the full package,
                                  one at or above it the partial packages up
                                  to "version"
                    size, seed    the generator's catalog of the full package
                    records       records per partial package
                    update        "auto" (above), "full" or "partial"
                    faults        {package version: fault} for the served
                                  package: "missing" (404), "empty_zip",
                                  "not_zip", "dotdot" (entry "../x"),
                                  "nested" (entry "sub/dir/<name>"),
                                  "bad_xml", "old_version" (a partial whose
                                  version is not newer)
                    encoding      the partial packages' XML encoding, e.g.
                                  "windows-1251" (default UTF-8)
                    answer        raw XML answer to "catalogupdate"
  basket          the bought files:
                    files         list of files; each: id, filetype, groupname,
                                  albumname, songname, tracknum, albumyear,
                                  format, fileext, filesize, filecost,
                                  duration, ipport (default: this store),
                                  key (the 64-character file key; default
                                  the SHA-256 hex digest of "file-<id>")
                    delete_result the "result" text of "deletefiles"; false
                                  leaves the element out
"""

import copy
import datetime
import hashlib
import json
import os

from .state import merge

URL_NAMES = (
    "NewsUrl", "ChartsUrl", "CoversUrl", "CoversPageUrl", "PreviewBuiltinUrl", "HelpUrl",
    "PreviewSystemSongUrl", "PreviewSystemAlbumUrl", "PreviewSiteUrl", "OrderFileURL", "OrderOEFileURL",
    "BalanceURL", "OrderBookmarkOEFileURL", "SimilarGroupsURL", "SimilarALbumsURL", "WhatElseAlbumsURL",
    "RelatedInfoURL", "PasswordReminderURL", "SupportURL", "ReplenishBalanceURL",
)

DEFAULT_URLS = {
    "NewsUrl": "{base}/pages/news?session=%SESSION%",
    "ChartsUrl": "{base}/pages/charts?session=%SESSION%",
    "CoversUrl": "{base}/covers/%GROUP%/%ALBUM%.jpg?pic=2",
    "CoversPageUrl": "{base}/pages/covers?group=%GROUP%&album=%ALBUM%",
    "PreviewBuiltinUrl": "{base}/preview?group=%GROUP%&album=%ALBUM%&song=%SONG%&r=%RANDOM%",
    "HelpUrl": "{base}/pages/help",
    "PreviewSystemSongUrl": "{base}/pages/preview?group=%GROUP%&album=%ALBUM%&song=%SONG%",
    "PreviewSystemAlbumUrl": "{base}/pages/preview?group=%GROUP%&album=%ALBUM%",
    "PreviewSiteUrl": "{base}/pages/preview",
    "OrderFileURL": "{base}/pages/order?session=%SESSION%&group=%GROUP%&album=%ALBUM%&%SONGS%ref=%ALBREF%&lang=%LANGUAGE%",
    "OrderOEFileURL": "{base}/pages/order-oe?session=%SESSION%&group=%GROUP%&album=%ALBUM%&%SONGS%&ref=%ALBREF%&lang=%LANGUAGE%",
    "BalanceURL": "{base}/pages/balance?session=%SESSION%",
    "OrderBookmarkOEFileURL": "{base}/pages/bookmark?session=%SESSION%",
    "SimilarGroupsURL": "{base}/pages/similar-groups?group=%GROUP%",
    "SimilarALbumsURL": "{base}/pages/similar-albums?group=%GROUP%&album=%ALBUM%",
    "WhatElseAlbumsURL": "{base}/pages/what-else?group=%GROUP%&album=%ALBUM%",
    "RelatedInfoURL": "{base}/pages/related?group=%GROUP%",
    "PasswordReminderURL": "{base}/pages/password",
    "SupportURL": "{base}/pages/support?session=%SESSION%",
    "ReplenishBalanceURL": "{base}/version.txt",
}


def _load_defaults():
    path = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data", "default.json")
    with open(path, encoding="utf-8") as f:
        return json.load(f)


# The store's own data description (data/default.json).
DEFAULT_DATA = _load_defaults()


def effective(state):
    """The data description in force: the defaults with the configuration merged in."""
    data = copy.deepcopy(DEFAULT_DATA)
    config = state.get(default={})
    for key in DEFAULT_DATA:
        if key in config:
            if isinstance(config[key], dict) and isinstance(data[key], dict):
                merge(data[key], config[key])
            else:
                data[key] = config[key]
    for key, value in config.items():
        data.setdefault(key, value)
    return data


def expand(text, ctx):
    return str(text).replace("{base}", ctx.base_url())


def file_key(entry):
    """The 64-character key of a basket file."""
    if "key" in entry:
        return str(entry["key"])
    return hashlib.sha256(("file-%s" % entry["id"]).encode("ascii")).hexdigest()


DAY_ZERO = datetime.datetime(1899, 12, 30)


def days_now():
    """Local time as days since 30 December 1899 (the client's date-time numbers)."""
    return (datetime.datetime.now() - DAY_ZERO).total_seconds() / 86400.0


def format_days(value):
    return repr(round(value, 10))


def parse_days(text):
    """A date-time number sent by the client; None when it is not one."""
    try:
        value = float((text or "").strip())
    except ValueError:
        return None
    return value if value == value and abs(value) < 1e7 else None
