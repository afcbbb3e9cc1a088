"""The store's answer envelope.

    "Sorvelin v1" <rest of the first line> CRLF
    MD5=<32 hex digits of the body as sent> CRLF
    COMPRESSED=1 CRLF            (only when the body is zlib-compressed)
    NUL
    body                          (XML, or its zlib stream)

Faults (a dict, usually the "envelope" part of the store's configuration)
break the answer in the ways the client must detect:

  raw_response       str: sent as it is (Latin-1 bytes), nothing else applies
  raw_response_hex   the same as hex digits
  short_response     send only "Sorvelin" (fewer than 11 bytes)
  bad_signature      a wrong first line
  no_nul             no NUL separator at all
  bad_md5            a digest that does not match the body
  omit_md5           no MD5 line
  uppercase_digest   the digest in upper-case hex
  lowercase_names    "md5=" and "compressed=" instead of upper case
  compressed_value   the text after COMPRESSED= (default "1"); given, the
                     line is sent even with a plain body
  compress           true/false: compress or not, whatever the client asked
  bad_zlib           "trailer" (default when true): wrong Adler-32 checksum;
                     "header": broken zlib header; "truncate": stream cut short
  nul_in_body        grow the XML with a comment until the compressed body
                     holds a NUL byte
  empty_body         an empty body (its digest is still right)
  body               str: the XML body to send instead of the action's answer
  body_encoding      encode a str body with this codec (default utf-8)
  line_break         "crlf" (default), "lf" or "cr"
"""

import hashlib
import zlib

SIGNATURE = b"Sorvelin v1"


def _compress(xml, faults):
    data = zlib.compress(xml)
    if faults.get("nul_in_body"):
        filler = 0
        while b"\x00" not in data:
            filler += 1
            if filler > 10000:
                raise ValueError("no compressed body with a NUL byte found")
            padded = xml + b"<!--" + bytes(range(65, 65 + filler % 26)) * (filler // 26 + 1) + b"-->"
            data = zlib.compress(padded)
    mode = faults.get("bad_zlib")
    if mode:
        if mode == "header":
            data = b"\x78\x00" + data[2:]
        elif mode == "truncate":
            data = data[:len(data) // 2]
        else:
            data = data[:-4] + bytes(b ^ 0xFF for b in data[-4:])
    return data


def build(xml, compress=False, faults=None):
    """The envelope bytes for the XML body xml (bytes or str)."""
    faults = faults or {}
    if "raw_response" in faults:
        return faults["raw_response"].encode("latin-1")
    if "raw_response_hex" in faults:
        return bytes.fromhex(faults["raw_response_hex"])
    if faults.get("short_response"):
        return SIGNATURE[:8]

    if "body" in faults:
        xml = faults["body"]
    if isinstance(xml, str):
        xml = xml.encode(faults.get("body_encoding", "utf-8"))
    if faults.get("empty_body"):
        xml = b""
    if "compress" in faults:
        compress = bool(faults["compress"])

    body = _compress(xml, faults) if compress else xml
    digest = hashlib.md5(body).hexdigest()
    if faults.get("bad_md5"):
        digest = hashlib.md5(body + b"!").hexdigest()
    if faults.get("uppercase_digest"):
        digest = digest.upper()

    brk = {"crlf": b"\r\n", "lf": b"\n", "cr": b"\r"}[faults.get("line_break", "crlf")]
    md5_name, compressed_name = (b"md5", b"compressed") if faults.get("lowercase_names") else (b"MD5", b"COMPRESSED")
    first = b"Sorvelin v2 demo" if faults.get("bad_signature") else SIGNATURE + b" demo store"
    lines = [first]
    if not faults.get("omit_md5"):
        lines.append(md5_name + b"=" + digest.encode("ascii"))
    if compress or "compressed_value" in faults:
        value = str(faults.get("compressed_value", "1")).encode("ascii")
        lines.append(compressed_name + b"=" + value)
    header = brk.join(lines) + brk
    if faults.get("no_nul"):
        return header + body.replace(b"\x00", b"")
    return header + b"\x00" + body


def parse(data):
    """(headers dict with upper-case names, body bytes) of an envelope; for
    the store's own checks."""
    if not data.startswith(SIGNATURE):
        raise ValueError("INVALID_FORMAT")
    nul = data.index(b"\x00")
    headers = {}
    for line in data[:nul].replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n")[1:]:
        if b"=" in line:
            name, value = line.split(b"=", 1)
            headers[name.decode("latin-1").upper()] = value.decode("latin-1")
    return headers, data[nul + 1:]
