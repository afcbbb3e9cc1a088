"""Plain pages of the store: the balance page with its marker, the other
web pages as small placeholders, and the program's version text.

  /pages/balance   ... SORVELIN_BALANCE="<balance>" ...  (or "balance_page")
  /pages/<name>    a small HTML page
  /version.txt     version=, release=, url= lines (or "app_version_text")
"""

from xml.sax.saxutils import escape

from .. import data
from ..registry import route


def _html(title, body):
    return ("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%s</title></head>"
            "<body>%s</body></html>" % (escape(title), body))


@route("GET", "/pages/balance")
def balance(ctx):
    info = data.effective(ctx.state)
    if "balance_page" in info:
        ctx.send(200, str(info["balance_page"]), "text/html; charset=utf-8")
        return
    value = str(info["balance"])
    body = ('<p>Your balance: %s</p><script>var SORVELIN_BALANCE="%s";</script>' % (escape(value), value))
    ctx.send(200, _html("Balance", body), "text/html; charset=utf-8")


@route("GET", "/pages/")
def page(ctx):
    name = ctx.path[len("/pages/"):] or "index"
    ctx.send(200, _html(name, "<h1>%s</h1>" % escape(name)), "text/html; charset=utf-8")


@route("GET", "/version.txt")
def version_text(ctx):
    info = data.effective(ctx.state)
    if "app_version_text" in info:
        ctx.send(200, str(info["app_version_text"]), "text/plain; charset=utf-8")
        return
    v = info["app_version"]
    text = "version=%s\r\nrelease=%s\r\nurl=%s\r\n" % (v.get("version", ""), v.get("release", ""),
                                                      data.expand(v.get("url", ""), ctx))
    ctx.send(200, text, "text/plain; charset=utf-8")
