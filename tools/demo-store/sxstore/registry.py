"""Registries that handler modules fill when they are imported.

    @action("getmydownloads")
    def my_downloads(ctx): return "<mydownloads/>"   # wrapped in the envelope

    @route("GET", "/files/")          # a path prefix
    def file_block(ctx): ctx.send(200, b"...")
"""

ACTIONS = {}
ROUTES = []


class ActionError(Exception):
    """Raised by an action to answer with an HTTP error status instead of an
    envelope (the store refuses the request: wrong password, no session)."""

    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


def action(word):
    """Registers fn(ctx) for the store action word. It returns the XML body
    (str or bytes); the server wraps it in the envelope."""
    def register(fn):
        ACTIONS[word] = fn
        return fn
    return register


def route(methods, prefix):
    """Registers fn(ctx) for requests whose path starts with prefix. The
    handler answers through ctx.send(...) or ctx.handler directly."""
    if isinstance(methods, str):
        methods = [methods]

    def register(fn):
        ROUTES.append((tuple(m.upper() for m in methods), prefix, fn))
        return fn
    return register


def find_route(method, path):
    best = None
    for methods, prefix, fn in ROUTES:
        if method in methods and path.startswith(prefix):
            if best is None or len(prefix) > len(best[0]):
                best = (prefix, fn)
    return best[1] if best else None
