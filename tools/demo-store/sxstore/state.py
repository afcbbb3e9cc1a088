"""The store's run-time state, shared by the request threads."""

import copy
import threading


def merge(target, changes):
    """Merges changes into target: dicts recursively, None deletes a key."""
    for key, value in changes.items():
        if value is None:
            target.pop(key, None)
        elif isinstance(value, dict) and isinstance(target.get(key), dict):
            merge(target[key], value)
        else:
            target[key] = copy.deepcopy(value)


class StoreState:
    def __init__(self, initial=None):
        self.lock = threading.RLock()
        self.stopping = threading.Event()
        self._initial = copy.deepcopy(initial or {})
        self.config = copy.deepcopy(self._initial)
        self.requests = []
        # Per-run memory of handler modules (sessions, baskets, ...).
        self.memory = {}

    def reset(self):
        with self.lock:
            self.config = copy.deepcopy(self._initial)
            self.requests = []
            self.memory = {}

    def configure(self, changes):
        with self.lock:
            merge(self.config, changes)

    def get(self, *path, default=None):
        """A copy of a configuration value, e.g. get("envelope")."""
        with self.lock:
            node = self.config
            for key in path:
                if not isinstance(node, dict) or key not in node:
                    return copy.deepcopy(default)
                node = node[key]
            return copy.deepcopy(node)

    def record(self, entry):
        with self.lock:
            self.requests.append(entry)

    def recorded(self):
        with self.lock:
            return copy.deepcopy(self.requests)
