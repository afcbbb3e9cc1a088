"""Catalog updates: "catalogupdate" and the packages it lists.

catalogupdate  CatalogVersion -> <catalog updated="yes" updatetype="full">
               with file_full, or updatetype="partial" with one file_update
               per version from the client's next up to the store's; or
               updated="no" when the client is up to date. Packages are
               listed under their older names svc_*.zip and served only as
               svxc_*.zip from /catalog/.
"""

import re
from xml.sax.saxutils import escape

from .. import data, packages
from ..registry import action, route
from .session import signed_in

PACKAGE_NAME = re.compile(r"svxc_(full_)?(\d+)\.zip")


def _answer(body):
    return '<?xml version="1.0" encoding="utf-8"?><response>%s</response>' % body


def _entry(ctx, catalog, tag, full, version):
    content = packages.package(catalog, full, version)
    size = len(content) if content is not None else 0
    url = "%s/catalog/svc_%s%06d.zip" % (ctx.base_url(), "full_" if full else "", version)
    return '<%s version="%d" size="%d">%s</%s>' % (tag, version, size, escape(url), tag)


@action("catalogupdate")
def catalog_update(ctx):
    signed_in(ctx)
    catalog = data.effective(ctx.state)["catalog"]
    if "answer" in catalog:
        return str(catalog["answer"])
    try:
        client = int((ctx.field("CatalogVersion") or "").strip())
    except ValueError:
        client = 0
    version, full_version = int(catalog["version"]), int(catalog["full_version"])
    if client >= version:
        return _answer('<catalog updated="no"/>')
    mode = catalog.get("update", "auto")
    if mode == "full" or (mode == "auto" and (client == 0 or client < full_version)):
        return _answer('<catalog updated="yes" updatetype="full">%s</catalog>'
                       % _entry(ctx, catalog, "file_full", True, full_version))
    first = max(client, full_version) + 1
    items = "".join(_entry(ctx, catalog, "file_update", False, v) for v in range(first, version + 1))
    return _answer('<catalog updated="yes" updatetype="partial">%s</catalog>' % items)


@route("GET", "/catalog/")
def package_file(ctx):
    name = ctx.path[len("/catalog/"):]
    match = PACKAGE_NAME.fullmatch(name)
    content = None
    if match:
        catalog = data.effective(ctx.state)["catalog"]
        content = packages.package(catalog, bool(match.group(1)), int(match.group(2)))
    if content is None:
        ctx.send(404, "no package " + name, "text/plain")
        return
    ctx.send(200, content, "application/zip")
