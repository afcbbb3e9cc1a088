"""HTTP server of the demo store.

Store actions: POST (or GET) /sorvelin/interface.html?r=<n>&action=<word>,
answered with the envelope of what the registered action returns.
Other paths go to the registered routes. Every request except the control
interface is recorded. The configuration key "delay" ({"<action>": seconds})
slows an action down.

Control interface for tests:
  GET  /_control/requests   the recorded requests as JSON
  GET  /_control/config     the configuration as JSON
  POST /_control/config     JSON merged into the configuration (null deletes)
  POST /_control/reset      configuration back to the start, log emptied
"""

import importlib
import json
import pkgutil
import sys
import threading
import time
import traceback
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from . import envelope, handlers, registry
from .state import StoreState

ACTION_PATH = "/sorvelin/interface.html"


def load_handlers():
    for info in pkgutil.iter_modules(handlers.__path__):
        importlib.import_module(handlers.__name__ + "." + info.name)


class Context:
    """One request as the handlers see it."""

    def __init__(self, handler, state, method, path, query, fields, body):
        self.handler = handler
        self.state = state
        self.method = method
        self.path = path
        self.query = query
        self.fields = fields
        self.body = body
        self.headers = {k.lower(): v for k, v in handler.headers.items()}

    def query_value(self, name, default=None):
        for key, value in self.query:
            if key == name:
                return value
        return default

    def field(self, name, default=None):
        """The first form field of that name."""
        for key, value in self.fields:
            if key == name:
                return value
        return default

    def base_url(self):
        """http://host:port of this store as the client addressed it."""
        host = self.headers.get("host") or "%s:%d" % self.handler.server.server_address[:2]
        return "http://" + host

    def send(self, code, body=b"", content_type="application/octet-stream", headers=None, reason=None):
        if isinstance(body, str):
            body = body.encode("utf-8")
        h = self.handler
        h.send_response(code, reason)
        h.send_header("Content-Type", content_type)
        h.send_header("Content-Length", str(len(body)))
        for name, value in (headers or {}).items():
            h.send_header(name, value)
        h.end_headers()
        if self.method != "HEAD" and body:
            h.wfile.write(body)


class Handler(BaseHTTPRequestHandler):
    server_version = "SorvelinDemoStore/1.0"

    def log_message(self, fmt, *args):
        if self.server.verbose:
            sys.stderr.write("demo-store: " + (fmt % args) + "\n")

    def do_GET(self):
        self._dispatch("GET")

    def do_POST(self):
        self._dispatch("POST")

    def do_HEAD(self):
        self._dispatch("HEAD")

    def _read_body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def _dispatch(self, method):
        state = self.server.state
        parts = urlsplit(self.path)
        path = parts.path
        query = parse_qsl(parts.query, keep_blank_values=True)
        body = self._read_body() if method == "POST" else b""

        if path.startswith("/_control/"):
            self._control(method, path, body)
            return

        fields = []
        content_type = self.headers.get("Content-Type", "")
        if method == "POST" and content_type.startswith("application/x-www-form-urlencoded"):
            fields = parse_qsl(body.decode("latin-1"), keep_blank_values=True, encoding="utf-8")
        ctx = Context(self, state, method, path, query, fields, body)
        action = ctx.query_value("action") if path == ACTION_PATH else None
        state.record({
            "time": time.time(),
            "method": method,
            "path": path,
            "query": [[k, v] for k, v in query],
            "action": action,
            "content_type": content_type,
            "fields": [[k, v] for k, v in fields],
            "body": body.decode("latin-1"),
            "headers": ctx.headers,
        })

        try:
            if path == ACTION_PATH:
                self._action(ctx, action)
                return
            fn = registry.find_route(method, path)
            if fn is None:
                ctx.send(404, "not found: " + path, "text/plain")
                return
            fn(ctx)
        except (BrokenPipeError, ConnectionResetError):
            pass
        except Exception:  # the store keeps serving; the test sees a 500
            traceback.print_exc()
            try:
                ctx.send(500, "internal error", "text/plain")
            except OSError:
                pass

    def _action(self, ctx, word):
        fn = registry.ACTIONS.get(word or "")
        if fn is None:
            ctx.send(404, "unknown action: %s" % word, "text/plain")
            return
        # delay.<action word>: seconds to wait before answering (a slow store).
        delay = ctx.state.get("delay", word or "", default=0)
        if delay:
            ctx.state.stopping.wait(float(delay))
        try:
            xml = fn(ctx)
        except registry.ActionError as refused:
            ctx.send(refused.status, refused.reason, "text/plain", reason=refused.reason)
            return
        compress = ctx.field("Compress") == "1"
        data = envelope.build(xml, compress, ctx.state.get("envelope", default={}))
        ctx.send(200, data, "text/html")

    def _control(self, method, path, body):
        state = self.server.state
        answer = {"ok": True}
        if method == "GET" and path == "/_control/requests":
            answer = state.recorded()
        elif method == "GET" and path == "/_control/config":
            answer = state.get(default={})
        elif method == "POST" and path == "/_control/config":
            state.configure(json.loads(body.decode("utf-8") or "{}"))
            answer = state.get(default={})
        elif method == "POST" and path == "/_control/reset":
            state.reset()
        else:
            self.send_error(404)
            return
        data = json.dumps(answer).encode("utf-8")
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


class StoreServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    # The download engine opens up to 30 connections at once.
    request_queue_size = 128

    def __init__(self, port, state, verbose=False):
        self.state = state
        self.verbose = verbose
        super().__init__(("127.0.0.1", port), Handler)

    def handle_error(self, request, client_address):
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    def stop(self):
        self.state.stopping.set()
        threading.Thread(target=self.shutdown, daemon=True).start()
