#!/usr/bin/python3
"""The demo store: serves the store protocol on 127.0.0.1.

    demo_store.py [--port N] [--data FILE] [--exit-on-stdin-eof] [--verbose]

--port 0 picks a free port. The line "PORT <n>" on standard output tells
which port is served. --data names a JSON file with the starting
configuration (fault switches and data, see sxstore/).
"""

import argparse
import json
import os
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from sxstore.server import StoreServer, load_handlers  # noqa: E402
from sxstore.state import StoreState  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description="SorvelinX demo store")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--data", help="JSON file with the starting configuration")
    parser.add_argument("--exit-on-stdin-eof", action="store_true",
                        help="stop when standard input closes (the starting process is gone)")
    parser.add_argument("--verbose", action="store_true", help="log every request on stderr")
    args = parser.parse_args()

    initial = {}
    if args.data:
        with open(args.data, encoding="utf-8") as f:
            initial = json.load(f)

    load_handlers()
    server = StoreServer(args.port, StoreState(initial), args.verbose)
    print("PORT %d" % server.server_address[1], flush=True)

    if args.exit_on_stdin_eof:
        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            server.stop()
        threading.Thread(target=watch_stdin, daemon=True).start()

    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.state.stopping.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
