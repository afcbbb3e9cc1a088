"""The demo store: a small stand-in for the store server the client talks to.

Modules:
  server     HTTP server, request log and the control interface for tests
  state      the store's run-time state (configuration, request log)
  registry   decorators that register store actions and plain routes
  envelope   the store's answer envelope, with switches that break it
  ciphers    key texts and the RSA string ciphers of the key exchange
  handlers/  actions and routes; every module in it is loaded at start
"""
