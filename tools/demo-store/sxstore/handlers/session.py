"""Signing in: "exchangekeys", "login" and "startup".

exchangekeys  UserPublicKey -> session_id, explorer_id, public_key,
              traffic_key, each encrypted for the client's key. A SessionID
              the store knows keeps its identifiers; the keys are new.
login         username, password (encrypted with the store's public key),
              Key (that public key) -> confirmation, have_messages. A wrong
              password, an unknown session or a wrong Key is refused with
              HTTP 403 and a reason.
startup       Build, CatalogVersion, LanguageVersion -> the server settings
              document; catalog updated="yes" while the client's version is
              behind the store's.
"""

import secrets
from xml.sax.saxutils import escape, quoteattr

from .. import ciphers, data
from ..registry import ActionError, action


def _sessions(ctx):
    return ctx.state.memory.setdefault("sessions", {})


def signed_in(ctx):
    """The session of a signed-in client; refuses the request otherwise."""
    with ctx.state.lock:
        session = _sessions(ctx).get(ctx.field("SessionID") or "")
        if session is None or not session.get("login"):
            raise ActionError(403, "Not signed in")
        return dict(session)


def _int_field(ctx, name):
    try:
        return int((ctx.field(name) or "").strip())
    except ValueError:
        return 0


@action("exchangekeys")
def exchange_keys(ctx):
    client_key = ctx.field("UserPublicKey") or ""
    if not client_key:
        raise ActionError(400, "UserPublicKey missing")
    public, private = ciphers.generate_keys()
    with ctx.state.lock:
        sessions = _sessions(ctx)
        session_id = ctx.field("SessionID") or ""
        session = sessions.get(session_id)
        if session is None:
            session_id = "S" + secrets.token_hex(8).upper()
            session = {"session_id": session_id, "explorer_id": "E" + secrets.token_hex(6).upper()}
            sessions[session_id] = session
        session.update({"public": public, "private": private, "login": None,
                        "traffic_key": secrets.token_hex(8).upper()})
        values = [session_id, session["explorer_id"], public, session["traffic_key"]]
    try:
        parts = [ciphers.encrypt(v.encode("utf-8"), client_key) for v in values]
    except (ValueError, ciphers.CipherError):
        raise ActionError(400, "Invalid UserPublicKey")
    names = ("session_id", "explorer_id", "public_key", "traffic_key")
    items = "".join("<%s>%s</%s>" % (n, p, n) for n, p in zip(names, parts))
    return '<?xml version="1.0" encoding="utf-8"?><response>%s</response>' % items


@action("login")
def login(ctx):
    with ctx.state.lock:
        session = _sessions(ctx).get(ctx.field("SessionID") or "")
        session = dict(session) if session else None
    if session is None:
        raise ActionError(403, "Unknown session")
    if (ctx.field("Key") or "") != session["public"]:
        raise ActionError(403, "Invalid key")
    try:
        user = ciphers.decrypt(ctx.field("username") or "", session["private"]).decode("utf-8")
        password = ciphers.decrypt(ctx.field("password") or "", session["private"]).decode("utf-8")
    except (ciphers.CipherError, UnicodeDecodeError, ValueError):
        raise ActionError(403, "Invalid login data")
    info = data.effective(ctx.state)
    if info["accounts"].get(user) != password:
        raise ActionError(403, "Invalid login or password")
    with ctx.state.lock:
        _sessions(ctx)[session["session_id"]]["login"] = user
    answer = info["login"]
    return ('<?xml version="1.0" encoding="utf-8"?><response><confirmation>%s</confirmation>'
            '<have_messages>%s</have_messages></response>'
            % (escape(str(answer.get("confirmation", ""))), escape(str(answer.get("have_messages", "")))))


def server_settings(ctx, client_catalog_version):
    info = data.effective(ctx.state)
    updated = "yes" if client_catalog_version < int(info["catalog"]["version"]) else "no"
    parts = ['<catalog updated="%s"/>' % updated]
    urls = dict(data.DEFAULT_URLS)
    urls.update(info.get("urls") or {})
    for name in data.URL_NAMES:
        value = urls.get(name)
        if value is False or value is None:
            continue
        parts.append("<url name=%s>%s</url>" % (quoteattr(name), escape(data.expand(value, ctx))))
    for name, value in (info.get("urls") or {}).items():
        if name not in data.URL_NAMES and value is not False:
            parts.append("<url name=%s>%s</url>" % (quoteattr(name), escape(data.expand(value, ctx))))
    prices = info["prices"]
    parts.append('<price_per_mb value=%s/>' % quoteattr(str(prices["price_per_mb"])))
    if "ownerlist" in prices:
        owners = "".join("<owner id=%s bitcostint=%s fixcostint=%s/>" % (
            quoteattr(str(o.get("id", ""))), quoteattr(str(o.get("bitcostint", ""))),
            quoteattr(str(o.get("fixcostint", "")))) for o in prices["ownerlist"])
        parts.append("<ownerlist>%s</ownerlist>" % owners)
    return '<?xml version="1.0" encoding="utf-8"?><settings>%s</settings>' % "".join(parts)


@action("startup")
def startup(ctx):
    signed_in(ctx)
    return server_settings(ctx, _int_field(ctx, "CatalogVersion"))
