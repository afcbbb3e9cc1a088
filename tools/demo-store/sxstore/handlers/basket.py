"""The basket of bought files: "getmydownloads", "filedownloaded" and
"deletefiles".

getmydownloads  lastrequest: "0" (or anything that is not a date-time
                number) gets the full basket; a date-time number gets the
                files that changed or left the basket after it (partial).
                The store stamps a file with the time it first sees it or
                sees it changed in the data description, and a removed file
                with the time it notices the removal.
filedownloaded  UnicID, OE, Application -> filekey (the file's key; empty
                for a file not in the basket)
deletefiles     FileCount, FileID<i>, FileOE<i> -> result; the files leave
                the basket.
"""

import json
from xml.sax.saxutils import escape, quoteattr

from .. import data
from ..registry import action
from .session import signed_in

FILE_ATTRIBUTES = (
    ("id", "uniqid"), ("filetype", "filetype"), ("groupname", "groupname"), ("albumname", "albumname"),
    ("songname", "songname"), ("tracknum", "tracknum"), ("albumyear", "albumyear"), ("format", "format"),
    ("fileext", "fileext"), ("filesize", "filesize"), ("filecost", "filecost"), ("duration", "duration"),
    ("ipport", "ipport"),
)


def basket_files(ctx):
    """{id: file} of the basket now, without the files the client deleted."""
    info = data.effective(ctx.state)
    with ctx.state.lock:
        deleted = set(ctx.state.memory.get("deleted_by_client", ()))
    files = {}
    for entry in info["basket"].get("files", []):
        if str(entry["id"]) not in deleted:
            files[str(entry["id"])] = entry
    return files


def _updated_element(entry, ctx):
    attributes = []
    for key, name in FILE_ATTRIBUTES:
        if key == "ipport":
            value = entry.get("ipport", ctx.base_url()[len("http://"):])
        elif key in entry:
            value = entry[key]
        else:
            continue
        attributes.append("%s=%s" % (name, quoteattr(str(value))))
    return "<updated %s/>" % " ".join(attributes)


def _stamp(ctx, files, now):
    """Brings the store's change stamps up to date with the basket."""
    with ctx.state.lock:
        stamps = ctx.state.memory.setdefault("basket_stamps", {})
        gone = ctx.state.memory.setdefault("basket_gone", {})
        for file_id, entry in files.items():
            text = json.dumps(entry, sort_keys=True)
            if file_id not in stamps or stamps[file_id][0] != text:
                stamps[file_id] = (text, now)
            gone.pop(file_id, None)
        for file_id in list(stamps):
            if file_id not in files:
                del stamps[file_id]
                gone[file_id] = now
        return dict(stamps), dict(gone)


@action("getmydownloads")
def my_downloads(ctx):
    signed_in(ctx)
    files = basket_files(ctx)
    now = data.days_now()
    stamps, gone = _stamp(ctx, files, now)
    since = data.parse_days(ctx.field("lastrequest"))
    if not since:
        kind, changed, removed = "full", list(files), []
    else:
        kind = "partial"
        changed = [i for i in files if stamps[i][1] > since]
        removed = [i for i, t in gone.items() if t > since]
    updated = "yes" if kind == "full" or changed or removed else "no"
    items = "".join(_updated_element(files[i], ctx) for i in changed)
    items += "".join("<deleted uniqid=%s/>" % quoteattr(i) for i in removed)
    return ('<?xml version="1.0" encoding="utf-8"?><response><mydownloads updated="%s" lastupdatedate="%s" '
            'updatetype="%s">%s</mydownloads></response>' % (updated, data.format_days(now), kind, items))


@action("filedownloaded")
def file_downloaded(ctx):
    signed_in(ctx)
    entry = basket_files(ctx).get((ctx.field("UnicID") or "").strip())
    key = data.file_key(entry) if entry else ""
    return '<?xml version="1.0" encoding="utf-8"?><response><filekey>%s</filekey></response>' % key


@action("deletefiles")
def delete_files(ctx):
    signed_in(ctx)
    try:
        count = int(ctx.field("FileCount") or "0")
    except ValueError:
        count = 0
    ids = [(ctx.field("FileID%d" % i) or "").strip() for i in range(max(0, count))]
    with ctx.state.lock:
        deleted = ctx.state.memory.setdefault("deleted_by_client", [])
        deleted.extend(i for i in ids if i and i not in deleted)
    result = data.effective(ctx.state)["basket"].get("delete_result", "ok")
    element = "" if result is False else "<result>%s</result>" % escape(str(result))
    return '<?xml version="1.0" encoding="utf-8"?><response>%s</response>' % element
