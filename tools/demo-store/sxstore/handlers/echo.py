"""The "echo" action: answers with the form fields it received, so tests can
drive the envelope without a session."""

from xml.sax.saxutils import escape, quoteattr

from ..registry import action


@action("echo")
def echo(ctx):
    items = "".join("<field name=%s>%s</field>" % (quoteattr(k), escape(v)) for k, v in ctx.fields)
    return '<?xml version="1.0" encoding="utf-8"?><echo count="%d">%s</echo>' % (len(ctx.fields), items)
